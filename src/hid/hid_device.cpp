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

#include <cstdio>
#include <cstring>

#include "device/hid_library.h"
#include "hid/call_log.h"
#include "hid/candidates.h"
#include "hid/overlapped_link.h"

namespace {

// Output caps beyond these are not looked at; a remote has a handful.
constexpr USHORT kMaxOutputCaps = 128;
// A main item's Variable flag (clear: an Array), in its caps' BitField.
constexpr USHORT kMainItemVariable = 0x02;

// The preparsed data that HidD_GetPreparsedData hands out, in the layout the class driver has
// kept since Windows 2000 (Wine's keeps it too): a header, then one record per cap, input caps
// first, then output and feature caps. Each record says where its main item's fields sit in the
// report: byte and bit position, bit size, count. The documented caps say the same only for
// values: a button cap gives no field size, and before Windows 8 no count, so an Array item (the
// remote declares every report as one: Report Count fields of 8 bits) has no length there.
constexpr char kPreparsedMagic[8] = {'H', 'i', 'd', 'P', ' ', 'K', 'D', 'R'};
constexpr size_t kPreparsedHeaderBytes = 44;
constexpr size_t kPreparsedCapBytes = 104;
constexpr size_t kOutputKindAt = 16 + 8; // input, output, feature: 4 USHORTs each
constexpr size_t kCapsBytesAt = 40;

USHORT PreparsedWord(const unsigned char* at) {
    USHORT word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

// The bits of each ID's report past its ID byte, from the preparsed data; false when the data
// does not read as that layout, or disagrees with the documented caps (hasCaps: the IDs they
// name), and then nothing is known from it.
bool ReadPreparsedOutputBits(PHIDP_PREPARSED_DATA data, const HIDP_CAPS& caps,
                             const bool hasCaps[256], unsigned bits[256]) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    if (std::memcmp(bytes, kPreparsedMagic, sizeof kPreparsedMagic) != 0)
        return false;
    const USHORT firstCap = PreparsedWord(bytes + kOutputKindAt);
    const USHORT capCount = PreparsedWord(bytes + kOutputKindAt + 2);
    const USHORT endCap = PreparsedWord(bytes + kOutputKindAt + 4);
    const USHORT reportBytes = PreparsedWord(bytes + kOutputKindAt + 6);
    const USHORT capsBytes = PreparsedWord(bytes + kCapsBytesAt);
    if (firstCap + capCount != endCap || endCap * kPreparsedCapBytes > capsBytes ||
        reportBytes != caps.OutputReportByteLength)
        return false;
    bool seen[256] = {};
    unsigned endBits[256] = {};
    for (USHORT i = firstCap; i < endCap; ++i) {
        const unsigned char* cap = bytes + kPreparsedHeaderBytes + i * kPreparsedCapBytes;
        const unsigned id = cap[2];
        const unsigned bitPosition = cap[3];
        const unsigned bitSize = PreparsedWord(cap + 4);
        const unsigned count = PreparsedWord(cap + 6);
        const unsigned bytePosition = PreparsedWord(cap + 8);
        const unsigned end = bytePosition * 8 + bitPosition + bitSize * count;
        if (bitSize == 0 || count == 0 || bytePosition == 0 || bitPosition > 7 ||
            end > 8u * caps.OutputReportByteLength || !hasCaps[id])
            return false;
        seen[id] = true;
        if (end > endBits[id])
            endBits[id] = end;
    }
    for (int id = 0; id < 256; ++id)
        if (seen[id] != hasCaps[id])
            return false;
    for (int id = 0; id < 256; ++id)
        bits[id] = endBits[id] ? endBits[id] - 8 : 0;
    return true;
}

// The exact length of each output report, from the output items the device's report descriptor
// declares under its ID: the ID byte and then its items' bits, rounded up to whole bytes. 0 for
// an ID whose length is not known for certain: the writes then send the caller's bytes up to the
// collection's output report length.
void ReadOutputLengths(PHIDP_PREPARSED_DATA data, const HIDP_CAPS& caps,
                       unsigned short lengthById[256], bool hasCaps[256]) {
    unsigned bits[256] = {};
    std::memset(hasCaps, 0, 256 * sizeof hasCaps[0]);
    bool unknown[256] = {};
    HIDP_VALUE_CAPS values[kMaxOutputCaps];
    USHORT valueCount = kMaxOutputCaps;
    if (HidP_GetValueCaps(HidP_Output, values, &valueCount, data) != HIDP_STATUS_SUCCESS)
        valueCount = 0;
    for (USHORT i = 0; i < valueCount; ++i) {
        hasCaps[values[i].ReportID] = true;
        bits[values[i].ReportID] += values[i].BitSize * values[i].ReportCount;
    }
    HIDP_BUTTON_CAPS buttons[kMaxOutputCaps];
    USHORT buttonCount = kMaxOutputCaps;
    if (HidP_GetButtonCaps(HidP_Output, buttons, &buttonCount, data) != HIDP_STATUS_SUCCESS)
        buttonCount = 0;
    for (USHORT i = 0; i < buttonCount; ++i) {
        const HIDP_BUTTON_CAPS& button = buttons[i];
        hasCaps[button.ReportID] = true;
        // A Variable item's buttons are a bit each; an Array's fields have a size not given here.
        if (button.BitField & kMainItemVariable)
            bits[button.ReportID] +=
                button.IsRange ? button.Range.UsageMax - button.Range.UsageMin + 1 : 1;
        else
            unknown[button.ReportID] = true;
    }
    if (ReadPreparsedOutputBits(data, caps, hasCaps, bits))
        std::memset(unknown, 0, sizeof unknown);

    for (int id = 0; id < 256; ++id) {
        unsigned length = bits[id] && !unknown[id] ? 1 + (bits[id] + 7) / 8 : 0;
        if (length > caps.OutputReportByteLength)
            length = caps.OutputReportByteLength;
        lengthById[id] = static_cast<unsigned short>(length);
    }
}

// "10:2,11:2,12:3,...": each output report ID (hexadecimal) the device declares, with the length
// the writes use (0: not known), for the capture's device line.
void FormatOutputLengths(const unsigned short lengthById[256], const bool declared[256], char* text,
                         int size) {
    int used = 0;
    text[0] = '\0';
    for (int id = 0; id < 256 && used < size - 12; ++id)
        if (declared[id])
            used += std::snprintf(text + used, size - used, "%s%02X:%u", used ? "," : "", id,
                                  lengthById[id]);
    if (!used)
        std::snprintf(text, size, "none");
}

// What a HID device says of itself, asked on a handle opened without access rights, which
// devices the system keeps for itself (keyboards, mice) allow too. No strings: over Bluetooth
// each string request can block for seconds.
struct DeviceFacts {
    HIDD_ATTRIBUTES attributes;
    HIDP_CAPS caps;
    unsigned short outputLengthById[256];
    bool outputDeclared[256]; // the IDs of the output reports the device declares
    bool described;           // the capabilities could be read
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
            ReadOutputLengths(data, facts.caps, facts.outputLengthById, facts.outputDeclared);
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
    const auto passOver = [&](const char* why) {
        LogCall(startMs, "Device %lu -> 0 vendor %04X product %04X input %u output %u %s : %s",
                index, vendor, product, input, output, why, devicePath);
        return -1;
    };
    if (vendor != static_cast<unsigned>(vendorId) || product != static_cast<unsigned>(productId))
        return passOver("other ids");
    if (!facts.described)
        return passOver("no capabilities");
    // From here on the line names the output reports' lengths, which decide how writes go.
    char lengths[3 * 256 + 8];
    FormatOutputLengths(facts.outputLengthById, facts.outputDeclared, lengths, sizeof lengths);
    char outcome[64];
    const auto sayWithLengths = [&](int result) {
        LogCall(startMs,
                "Device %lu -> %d vendor %04X product %04X input %u output %u lengths %s %s : %s",
                index, result, vendor, product, input, output, lengths, outcome, devicePath);
    };

    const HANDLE device =
        CreateFileA(devicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        std::snprintf(outcome, sizeof outcome, "error %lu opening it for reports", GetLastError());
        sayWithLengths(0);
        return -1;
    }
    const int link = AdoptLink(device, input, output, facts.outputLengthById);
    if (link < 0) {
        CloseHandle(device);
        std::snprintf(outcome, sizeof outcome, "no link for it");
        sayWithLengths(0);
        return -1;
    }
    std::snprintf(outcome, sizeof outcome, "link %d", link);
    sayWithLengths(1);
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
