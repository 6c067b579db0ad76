// The plot of the IR objects: a small cross for each, at half the sensor's coordinates.
#pragma once

#include <windows.h>

// Draws the four markers with the pen selected in dc.
void DrawIrPoints(HDC dc);
// Draws one marker: two strokes of nine pixels each, crossing at (cx, cy).
void DrawCross(HDC dc, int cx, int cy);
