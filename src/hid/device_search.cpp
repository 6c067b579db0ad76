// The search for the remote: finds the HID devices with the asked identifiers, hands each one's
// handle to an overlapped link, and lets the candidates race until one answers. Each device looked
// at is a line of the capture.
//
// hid.dll is loaded from the system folder, never by the loader's search: that starts in the
// program's folder, and a hid.dll someone left in a Downloads folder would run inside the program.
// hid.dll is not one of the DLLs Windows always takes from the system folder.
#include "hid/device_search.h"

#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "hid/call_log.h"

namespace {

// hid.dll's functions that the search uses, taken by name.
struct HidFunctions {
    decltype(&HidD_GetHidGuid) getHidGuid;
    decltype(&HidD_GetAttributes) getAttributes;
    decltype(&HidD_GetPreparsedData) getPreparsedData;
    decltype(&HidD_FreePreparsedData) freePreparsedData;
    decltype(&HidP_GetCaps) getCaps;
    decltype(&HidP_GetValueCaps) getValueCaps;
    decltype(&HidP_GetButtonCaps) getButtonCaps;
};
HidFunctions hid;
GUID hidInterfaceClass;
DWORD hidLoadError = ERROR_SUCCESS;
INIT_ONCE hidLoaded = INIT_ONCE_STATIC_INIT;

template <typename Function> bool Take(HMODULE module, const char* name, Function& function) {
    // Through void*: a FARPROC cast straight to another function type is warned about.
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return function != nullptr;
}

HMODULE LoadSystemHid() {
    const HMODULE module = LoadLibraryExW(L"hid.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Windows 7 without the update that brought the flag refuses it as an unknown one.
    if (module || GetLastError() != ERROR_INVALID_PARAMETER)
        return module;
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length + 9 > MAX_PATH)
        return nullptr;
    std::wcscat(path, L"\\hid.dll");
    return LoadLibraryW(path);
}

BOOL CALLBACK LoadHid(INIT_ONCE*, void*, void**) {
    const HMODULE module = LoadSystemHid();
    if (!module) {
        hidLoadError = GetLastError();
        return TRUE;
    }
    if (!Take(module, "HidD_GetHidGuid", hid.getHidGuid) ||
        !Take(module, "HidD_GetAttributes", hid.getAttributes) ||
        !Take(module, "HidD_GetPreparsedData", hid.getPreparsedData) ||
        !Take(module, "HidD_FreePreparsedData", hid.freePreparsedData) ||
        !Take(module, "HidP_GetCaps", hid.getCaps) ||
        !Take(module, "HidP_GetValueCaps", hid.getValueCaps) ||
        !Take(module, "HidP_GetButtonCaps", hid.getButtonCaps)) {
        hidLoadError = GetLastError();
        FreeLibrary(module);
        return TRUE;
    }
    // Loaded for the process's life: links made from it may outlive any one search.
    hid.getHidGuid(&hidInterfaceClass);
    return TRUE;
}

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
                             const bool hasCaps[kReportIds], unsigned bits[kReportIds]) {
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
    bool seen[kReportIds] = {};
    unsigned endBits[kReportIds] = {};
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
    for (int id = 0; id < kReportIds; ++id)
        if (seen[id] != hasCaps[id])
            return false;
    for (int id = 0; id < kReportIds; ++id)
        bits[id] = endBits[id] ? endBits[id] - 8 : 0;
    return true;
}

// The exact length of each output report, from the output items the device's report descriptor
// declares under its ID: the ID byte and then its items' bits, rounded up to whole bytes. 0 for
// an ID whose length is not known for certain: the writes then send the caller's bytes up to the
// collection's output report length.
void ReadOutputLengths(PHIDP_PREPARSED_DATA data, const HIDP_CAPS& caps,
                       unsigned short lengthById[kReportIds], bool hasCaps[kReportIds]) {
    unsigned bits[kReportIds] = {};
    std::memset(hasCaps, 0, kReportIds * sizeof hasCaps[0]);
    bool unknown[kReportIds] = {};
    HIDP_VALUE_CAPS values[kMaxOutputCaps];
    USHORT valueCount = kMaxOutputCaps;
    if (hid.getValueCaps(HidP_Output, values, &valueCount, data) != HIDP_STATUS_SUCCESS)
        valueCount = 0;
    for (USHORT i = 0; i < valueCount; ++i) {
        hasCaps[values[i].ReportID] = true;
        bits[values[i].ReportID] += values[i].BitSize * values[i].ReportCount;
    }
    HIDP_BUTTON_CAPS buttons[kMaxOutputCaps];
    USHORT buttonCount = kMaxOutputCaps;
    if (hid.getButtonCaps(HidP_Output, buttons, &buttonCount, data) != HIDP_STATUS_SUCCESS)
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

    for (int id = 0; id < kReportIds; ++id) {
        unsigned length = bits[id] && !unknown[id] ? 1 + (bits[id] + 7) / 8 : 0;
        if (length > caps.OutputReportByteLength)
            length = caps.OutputReportByteLength;
        lengthById[id] = static_cast<unsigned short>(length);
    }
}

// "10:2,11:2,12:3,...": each output report ID (hexadecimal) the device declares, with the length
// the writes use (0: not known), for the capture's device line.
void FormatOutputLengths(const unsigned short lengthById[kReportIds],
                         const bool declared[kReportIds], char* text, int size) {
    int used = 0;
    text[0] = '\0';
    for (int id = 0; id < kReportIds && used < size - 12; ++id)
        if (declared[id])
            used += std::snprintf(text + used, size - used, "%s%02X:%u", used ? "," : "", id,
                                  lengthById[id]);
    if (!used)
        std::snprintf(text, size, "none");
}

// The Windows search: SetupAPI's list of HID interfaces, and each device asked on a handle opened
// without access rights, which devices the system keeps for itself (keyboards, mice) allow too.
// No strings: over Bluetooth each string request can block for seconds.

bool WindowsBeginList(void** list, const char** step, DWORD* error) {
    InitOnceExecuteOnce(&hidLoaded, LoadHid, nullptr, nullptr);
    if (hidLoadError != ERROR_SUCCESS) {
        *step = "LoadLibrary hid.dll";
        *error = hidLoadError;
        return false;
    }
    const HDEVINFO devices = SetupDiGetClassDevsA(&hidInterfaceClass, nullptr, nullptr,
                                                  DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (devices == INVALID_HANDLE_VALUE) {
        *step = "SetupDiGetClassDevs";
        *error = GetLastError();
        return false;
    }
    *list = devices;
    return true;
}

ListedPath WindowsInterfacePath(void* list, DWORD index, char* path, DWORD size, DWORD* error) {
    SP_DEVICE_INTERFACE_DATA interfaceData;
    interfaceData.cbSize = sizeof interfaceData;
    if (!SetupDiEnumDeviceInterfaces(list, nullptr, &hidInterfaceClass, index, &interfaceData)) {
        *error = GetLastError();
        return *error == ERROR_NO_MORE_ITEMS ? ListedPath::kEndOfList : ListedPath::kListFailed;
    }
    union {
        SP_DEVICE_INTERFACE_DETAIL_DATA_A detail;
        char bytes[1024];
    } detail;
    detail.detail.cbSize = sizeof detail.detail;
    if (!SetupDiGetDeviceInterfaceDetailA(list, &interfaceData, &detail.detail, sizeof detail,
                                          nullptr, nullptr)) {
        *error = GetLastError();
        return ListedPath::kPathFailed;
    }
    std::snprintf(path, size, "%s", detail.detail.DevicePath);
    return ListedPath::kListed;
}

void WindowsEndList(void* list) {
    SetupDiDestroyDeviceInfoList(list);
}

bool WindowsAskDevice(const char* path, DeviceFacts& facts, DWORD* error) {
    const HANDLE device = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    facts.attributes.Size = sizeof facts.attributes;
    const bool named = hid.getAttributes(device, &facts.attributes);
    *error = GetLastError();
    PHIDP_PREPARSED_DATA data = nullptr;
    facts.described = named && hid.getPreparsedData(device, &data);
    if (facts.described) {
        facts.described = hid.getCaps(data, &facts.caps) == HIDP_STATUS_SUCCESS;
        if (facts.described)
            ReadOutputLengths(data, facts.caps, facts.outputLengthById, facts.outputDeclared);
        hid.freePreparsedData(data);
    }
    CloseHandle(device);
    return named;
}

HANDLE WindowsOpenForReports(const char* path, DWORD* error) {
    const HANDLE device =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    *error = GetLastError();
    return device;
}

// Opens the device at this path for reports if it has these identifiers and a place among the
// candidates; returns its link, or -1 after a line that says why it was passed over.
int OpenIfMatching(const DeviceSearch& search, const char* devicePath, DWORD index, int vendorId,
                   int productId, bool roomLeft) {
    const double startMs = CallLogNowMs();
    DeviceFacts facts;
    DWORD error = 0;
    if (!search.askDevice(devicePath, facts, &error)) {
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
    char lengths[3 * kReportIds + 8];
    FormatOutputLengths(facts.outputLengthById, facts.outputDeclared, lengths, sizeof lengths);
    char outcome[64];
    const auto sayWithLengths = [&](int result) {
        LogCall(startMs,
                "Device %lu -> %d vendor %04X product %04X input %u output %u lengths %s %s : %s",
                index, result, vendor, product, input, output, lengths, outcome, devicePath);
    };
    if (!roomLeft) {
        std::snprintf(outcome, sizeof outcome, "beyond the %d candidates", kMaxCandidates);
        sayWithLengths(0);
        return -1;
    }

    const HANDLE device = search.openForReports(devicePath, &error);
    if (device == INVALID_HANDLE_VALUE) {
        std::snprintf(outcome, sizeof outcome, "error %lu opening it for reports", error);
        sayWithLengths(0);
        return -1;
    }
    const int link = AdoptLink(device, input, output, facts.outputLengthById, *search.stack);
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

} // namespace

const DeviceSearch kWindowsDeviceSearch = {WindowsBeginList,      WindowsInterfacePath,
                                           WindowsEndList,        WindowsAskDevice,
                                           WindowsOpenForReports, &kWindowsHidStack};

int FindAndOpen(int vendorId, int productId, const DeviceSearch& search) {
    void* list = nullptr;
    const char* step = "";
    DWORD error = 0;
    if (!search.beginList(&list, &step, &error)) {
        LogCall(CallLogNowMs(), "Failed -1 -> 0 via %s error %lu", step, error);
        return -1;
    }
    int links[kMaxCandidates];
    int linkCount = 0;
    for (DWORD i = 0;; ++i) {
        char path[1024];
        const ListedPath listed = search.interfacePath(list, i, path, sizeof path, &error);
        if (listed == ListedPath::kEndOfList)
            break;
        if (listed != ListedPath::kListed) {
            LogCall(CallLogNowMs(), "Device %lu -> 0 error %lu %s", i, error,
                    listed == ListedPath::kPathFailed ? "asking its path"
                                                      : "listing the devices: the list ends here");
            if (listed == ListedPath::kListFailed)
                break;
            continue;
        }
        const int link =
            OpenIfMatching(search, path, i, vendorId, productId, linkCount < kMaxCandidates);
        if (link > 0)
            links[linkCount++] = link;
    }
    search.endList(list);
    return OpenCandidates(links, linkCount);
}
