// The HID library's four exports, over the stack its search names: the Windows HID stack in the
// shipped library, the simulated remote's in its DLL.
//
// With TINY_HID_CAPTURE naming a file, every call and report is appended to it in the log format
// of hid/log_line.h: a recording of a session that the simulated remotes can replay. The open
// adds a line for each HID device it looked at.
#include "hid/hid_library.h"
#include "hid/call_log.h"
#include "hid/candidates.h"
#include "hid/device_search.h"
#include "hid/overlapped_link.h"

extern "C" int OpenHidHandle(int vendorId, int productId) {
    const double startMs = CallLogNowMs();
    OpenCallLog("TINY_HID_CAPTURE");
    const int handle = FindAndOpen(vendorId, productId, LibrarySearch());
    LogCall(startMs, "OpenHidHandle %04X %04X -> %d", vendorId, productId, handle);
    return handle;
}

extern "C" int ReadReport(int handle, unsigned char* report, unsigned int* count) {
    const double startMs = CallLogNowMs();
    const int result = CandidatesRead(handle, report, count);
    LogRead(startMs, handle, result, report);
    return result;
}

extern "C" int WriteReport(int handle, unsigned char* report, unsigned int* count) {
    const double startMs = CallLogNowMs();
    int way = kExactWrite;
    const int result = CandidatesWrite(handle, report, count, &way);
    LogWrite(startMs, handle, result, report, kWriteWayNames[way]);
    return result;
}

extern "C" int CloseHidHandle(int handle) {
    const double startMs = CallLogNowMs();
    const int result = CandidatesClose(handle);
    LogCall(startMs, "CloseHidHandle %d -> %d", handle, result);
    return result;
}
