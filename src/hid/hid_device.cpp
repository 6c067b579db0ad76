// The HID library on the Windows HID stack: finds the devices with the asked identifiers, hands
// each one's handle to an overlapped link, and lets the candidates race until one answers.
//
// With TINY_HID_CAPTURE naming a file, every call and report is appended to it in the simulated
// remote's log format: a recording of a session that the simulated remotes can replay. The open
// adds a line for each HID device it looked at.
#include <windows.h>

// MinGW's HID headers declare C functions without saying so.
extern "C" {
#include <hidsdi.h>
}
#include <setupapi.h>

#include "device/hid_library.h"
#include "hid/call_log.h"
#include "hid/candidates.h"
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

// What a HID device says of itself, asked on a handle opened without access rights, which
// devices the system keeps for itself (keyboards, mice) allow too. No strings: over Bluetooth
// each string request can block for seconds.
struct DeviceFacts {
    HIDD_ATTRIBUTES attributes;
    HIDP_CAPS caps;
    unsigned short outputLengthById[256];
    bool described; // the capabilities could be read
};

bool AskDevice(const char* path, DeviceFacts& facts, DWORD* error) {
    const HANDLE device = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    facts.attributes.Size = sizeof facts.attributes;
    const bool named = HidD_GetAttributes(device, &facts.attributes);
    *error = GetLastError();
    PHIDP_PREPARSED_DATA data = nullptr;
    facts.described = named && HidD_GetPreparsedData(device, &data);
    if (facts.described) {
        facts.described = HidP_GetCaps(data, &facts.caps) == HIDP_STATUS_SUCCESS;
        if (facts.described)
            ReadOutputLengths(data, facts.caps, facts.outputLengthById);
        HidD_FreePreparsedData(data);
    }
    CloseHandle(device);
    return named;
}

// Opens the device behind one HID interface for reports if it has these identifiers; returns its
// link, or -1 after a line that says why it was passed over.
int OpenIfMatching(HDEVINFO devices, SP_DEVICE_INTERFACE_DATA& interfaceData, DWORD index,
                   int vendorId, int productId) {
    union {
        SP_DEVICE_INTERFACE_DETAIL_DATA_A detail;
        char bytes[1024];
    } path;
    path.detail.cbSize = sizeof path.detail;
    const double startMs = CallLogNowMs();
    if (!SetupDiGetDeviceInterfaceDetailA(devices, &interfaceData, &path.detail, sizeof path,
                                          nullptr, nullptr)) {
        LogCall(startMs, "Device %lu -> 0 error %lu asking its path", index, GetLastError());
        return -1;
    }
    const char* devicePath = path.detail.DevicePath;
    DeviceFacts facts;
    DWORD error = 0;
    if (!AskDevice(devicePath, facts, &error)) {
        LogCall(startMs, "Device %lu -> 0 error %lu asking its identifiers : %s", index, error,
                devicePath);
        return -1;
    }
    const unsigned vendor = facts.attributes.VendorID;
    const unsigned product = facts.attributes.ProductID;
    const unsigned input = facts.described ? facts.caps.InputReportByteLength : 0;
    const unsigned output = facts.described ? facts.caps.OutputReportByteLength : 0;
    // Without an error code the format still takes it, printed as nothing ("%.0lu" of 0), so
    // that both formats read the same arguments.
    const auto passOver = [&](const char* why, DWORD code = 0) {
        LogCall(
            startMs,
            code ? "Device %lu -> 0 vendor %04X product %04X input %u output %u error %lu %s : %s"
                 : "Device %lu -> 0 vendor %04X product %04X input %u output %u%.0lu %s : %s",
            index, vendor, product, input, output, code, why, devicePath);
        return -1;
    };
    if (vendor != static_cast<unsigned>(vendorId) || product != static_cast<unsigned>(productId))
        return passOver("other ids");
    if (!facts.described)
        return passOver("no capabilities");

    const HANDLE device =
        CreateFileA(devicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE)
        return passOver("opening it for reports", GetLastError());
    const int link = AdoptLink(device, input, output, facts.outputLengthById);
    if (link < 0) {
        CloseHandle(device);
        return passOver("no link for it");
    }
    LogCall(startMs, "Device %lu -> 1 vendor %04X product %04X input %u output %u link %d : %s",
            index, vendor, product, input, output, link, devicePath);
    return link;
}

int FindAndOpen(int vendorId, int productId) {
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    const HDEVINFO devices =
        SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (devices == INVALID_HANDLE_VALUE) {
        LogCall(CallLogNowMs(), "Failed -1 -> 0 via SetupDiGetClassDevs error %lu", GetLastError());
        return -1;
    }
    int links[kMaxCandidates];
    int linkCount = 0;
    SP_DEVICE_INTERFACE_DATA interfaceData;
    interfaceData.cbSize = sizeof interfaceData;
    for (DWORD i = 0; linkCount < kMaxCandidates &&
                      SetupDiEnumDeviceInterfaces(devices, nullptr, &hidGuid, i, &interfaceData);
         ++i) {
        const int link = OpenIfMatching(devices, interfaceData, i, vendorId, productId);
        if (link > 0)
            links[linkCount++] = link;
    }
    SetupDiDestroyDeviceInfoList(devices);
    return OpenCandidates(links, linkCount);
}

} // namespace

extern "C" int OpenHidHandle(int vendorId, int productId) {
    const double startMs = CallLogNowMs();
    OpenCallLog("TINY_HID_CAPTURE");
    const int handle = FindAndOpen(vendorId, productId);
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
