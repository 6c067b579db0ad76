// The search for the remote among the system's HID devices, and what it asks of the system: the
// library's Windows search by default, searches of their own in tests.
#pragma once

#include <windows.h>

// MinGW's HID headers declare C functions without saying so.
extern "C" {
#include <hidsdi.h>
}

#include "hid/candidates.h"
#include "hid/overlapped_link.h"

// What a HID device says of itself.
struct DeviceFacts {
    HIDD_ATTRIBUTES attributes;
    HIDP_CAPS caps;
    unsigned short outputLengthById[kReportIds];
    bool outputDeclared[kReportIds]; // the IDs of the output reports the device declares
    bool described;                  // the capabilities could be read
};

enum class ListedPath {
    kListed,
    kEndOfList,
    kListFailed, // the list cannot go on: its end
    kPathFailed, // this interface's path cannot be read: it is passed over
};

struct DeviceSearch {
    // Lists the present HID interfaces; false, with the failed step and its error code, when the
    // system cannot.
    bool (*beginList)(void** list, const char** step, DWORD* error);
    // The index-th interface's path, or why there is none (with the error code).
    ListedPath (*interfacePath)(void* list, DWORD index, char* path, DWORD size, DWORD* error);
    void (*endList)(void* list);
    bool (*askDevice)(const char* path, DeviceFacts& facts, DWORD* error);
    // Opened for overlapped reports, or INVALID_HANDLE_VALUE with the error code.
    HANDLE (*openForReports)(const char* path, DWORD* error);
    const LinkStack* stack;
};
extern const DeviceSearch kWindowsDeviceSearch;

// The search behind the library's open: the Windows one in the shipped library
// (library_search.cpp), the simulated remote's stack in its DLL.
const DeviceSearch& LibrarySearch();

// Opens every device with these identifiers, at most kMaxCandidates, and returns the handle of
// their race (with one, its link), or -1 when none opens. Each device looked at is a line of the
// capture, any further one with the identifiers too.
int FindAndOpen(int vendorId, int productId, const DeviceSearch& search = kWindowsDeviceSearch);
