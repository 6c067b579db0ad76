// A hid.dll that someone left beside the program, for the case that proves the program never
// loads it: when loaded it leaves a mark in its own folder, and it has none of hid.dll's
// functions.
#include <windows.h>

#include <cstring>

#include "rig_facts.h"

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, void*) {
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    char path[MAX_PATH + 64];
    const DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
    char* name = length ? std::strrchr(path, '\\') : nullptr;
    if (!name)
        return TRUE;
    std::strcpy(name + 1, kPlantedDllMark);
    const HANDLE mark =
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (mark != INVALID_HANDLE_VALUE)
        CloseHandle(mark);
    return TRUE;
}
