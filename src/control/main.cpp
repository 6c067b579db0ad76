// The Windows entry of IR Sensor Test. The command line is ignored.
#include <windows.h>

#include "control/startup.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    return RunProgram(instance, showCommand);
}
