// The HID library on the Windows HID stack: finds the device by its identifiers and hands its
// handle to the overlapped link, which carries the reports.
//
// With TINY_HID_CAPTURE naming a file, every call and report is appended to it in the simulated
// remote's log format: a recording of a session that the simulated remotes can replay.
#include <windows.h>

// MinGW's HID headers declare C functions without saying so.
extern "C" {
#include <hidsdi.h>
}
#include <setupapi.h>

#include "device/hid_library.h"
#include "hid/call_log.h"
#include "hid/overlapped_link.h"

namespace {

// Output caps beyond these are not looked at; a remote has a handful.
constexpr USHORT kMaxOutputCaps = 128;

// The exact length of each output report, from the output items the device's report descriptor
// declares under its ID: the ID byte and then its items' bits, rounded up to whole bytes.
void ReadOutputLengths(PHIDP_PREPARSED_DATA data, const HIDP_CAPS& caps,
                       unsigned short lengthById[256]) {
    unsigned bits[256] = {};
    HIDP_VALUE_CAPS values[kMaxOutputCaps];
    USHORT valueCount = kMaxOutputCaps;
    if (HidP_GetValueCaps(HidP_Output, values, &valueCount, data) == HIDP_STATUS_SUCCESS)
        for (USHORT i = 0; i < valueCount; ++i)
            bits[values[i].ReportID] += values[i].BitSize * values[i].ReportCount;

    HIDP_BUTTON_CAPS buttons[kMaxOutputCaps];
    USHORT buttonCount = kMaxOutputCaps;
    if (HidP_GetButtonCaps(HidP_Output, buttons, &buttonCount, data) == HIDP_STATUS_SUCCESS)
        for (USHORT i = 0; i < buttonCount; ++i)
            bits[buttons[i].ReportID] +=
                buttons[i].IsRange ? buttons[i].Range.UsageMax - buttons[i].Range.UsageMin + 1 : 1;

    for (int id = 0; id < 256; ++id) {
        unsigned length = bits[id] ? 1 + (bits[id] + 7) / 8 : 0;
        if (length > caps.OutputReportByteLength)
            length = caps.OutputReportByteLength;
        lengthById[id] = static_cast<unsigned short>(length);
    }
}

// Opens the device behind one HID interface if it has these identifiers; returns its link.
int OpenIfMatching(HDEVINFO devices, SP_DEVICE_INTERFACE_DATA& interfaceData, int vendorId,
                   int productId) {
    union {
        SP_DEVICE_INTERFACE_DETAIL_DATA_A detail;
        char bytes[1024];
    } path;
    path.detail.cbSize = sizeof path.detail;
    if (!SetupDiGetDeviceInterfaceDetailA(devices, &interfaceData, &path.detail, sizeof path,
                                          nullptr, nullptr))
        return -1;

    const HANDLE device = CreateFileA(path.detail.DevicePath, GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE)
        return -1;

    HIDD_ATTRIBUTES attributes;
    attributes.Size = sizeof attributes;
    PHIDP_PREPARSED_DATA data = nullptr;
    HIDP_CAPS caps;
    unsigned short outputLengthById[256];
    int link = -1;
    if (HidD_GetAttributes(device, &attributes) && attributes.VendorID == vendorId &&
        attributes.ProductID == productId && HidD_GetPreparsedData(device, &data)) {
        if (HidP_GetCaps(data, &caps) == HIDP_STATUS_SUCCESS) {
            ReadOutputLengths(data, caps, outputLengthById);
            link = AdoptLink(device, caps.InputReportByteLength, caps.OutputReportByteLength,
                             outputLengthById);
        }
        HidD_FreePreparsedData(data);
    }
    if (link < 0)
        CloseHandle(device);
    return link;
}

int FindAndOpen(int vendorId, int productId) {
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    const HDEVINFO devices =
        SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (devices == INVALID_HANDLE_VALUE)
        return -1;

    int link = -1;
    SP_DEVICE_INTERFACE_DATA interfaceData;
    interfaceData.cbSize = sizeof interfaceData;
    for (DWORD i = 0;
         link < 0 && SetupDiEnumDeviceInterfaces(devices, nullptr, &hidGuid, i, &interfaceData);
         ++i)
        link = OpenIfMatching(devices, interfaceData, vendorId, productId);
    SetupDiDestroyDeviceInfoList(devices);
    return link;
}

} // namespace

extern "C" int OpenHidHandle(int vendorId, int productId) {
    const double startMs = CallLogNowMs();
    OpenCallLog("TINY_HID_CAPTURE");
    const int link = FindAndOpen(vendorId, productId);
    LogCall(startMs, "OpenHidHandle %04X %04X -> %d", vendorId, productId, link);
    return link;
}

extern "C" int ReadReport(int handle, unsigned char* report, unsigned int* count) {
    const double startMs = CallLogNowMs();
    const int result = LinkRead(handle, report, count);
    LogRead(startMs, handle, result, report);
    return result;
}

extern "C" int WriteReport(int handle, unsigned char* report, unsigned int* count) {
    const double startMs = CallLogNowMs();
    int way = kExactWrite;
    const int result = LinkWrite(handle, report, count, &way);
    LogWrite(startMs, handle, result, report, kWriteWayNames[way]);
    return result;
}

extern "C" int CloseHidHandle(int handle) {
    const double startMs = CallLogNowMs();
    const int result = LinkClose(handle);
    LogCall(startMs, "CloseHidHandle %d -> %d", handle, result);
    return result;
}
