// The four operations of the HID library (tiny_hid_dll.dll) that carries all traffic with the
// remote. Any DLL with these exports can stand beside the program: the library of src/hid, built
// over the Windows HID stack (what ships) or over the simulated remote's stack.
#pragma once

// The callers' report buffers, for either direction, are this long; byte 0 is the report ID.
constexpr int kReportBufferSize = 256;

extern "C" {
// A handle for the first device with these identifiers, or -1 when none can be opened.
int OpenHidHandle(int vendorId, int productId);
// Stores one input report at report[0] (never more than kReportBufferSize bytes) and returns
// non-zero; returns 0 without touching the buffer when the link is closed or the read fails.
int ReadReport(int handle, unsigned char* report, unsigned int* count);
// Sends the output report that starts at report[0]; its length follows from its ID.
int WriteReport(int handle, unsigned char* report, unsigned int* count);
// Releases the device and wakes a read that waits on it; later calls with the handle fail.
int CloseHidHandle(int handle);
}
