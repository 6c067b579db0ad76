// The IR point plot.
#include "display/ir_plot.h"

#include "device/input_reports.h"

void DrawCross(HDC dc, int cx, int cy) {
    // LineTo leaves out its end point: each stroke runs from 4 before to 4 after the centre.
    MoveToEx(dc, cx - 4, cy, nullptr);
    LineTo(dc, cx + 5, cy);
    MoveToEx(dc, cx, cy - 4, nullptr);
    LineTo(dc, cx, cy + 5);
}

void DrawIrPoints(HDC dc) {
    // Every object is drawn, seen or not: an unseen one sits at (511, 511).
    for (int i = 0; i < kIrObjectCount; ++i)
        DrawCross(dc, RemoteState.irX[i] / 2, RemoteState.irY[i] / 2);
}
