// Installs, removes and waits for the virtual remote in a Wine prefix (or on Windows, for a
// developer's test machine): root-enumerated devices with the driver from virtremote.inf, the
// remote and a HID device of other identifiers, and on request more remotes (2 to 5).
//     virtremote_setup install <folder of virtremote.inf and virtremote.sys>
//     virtremote_setup remove [remote]        every device, or only the first remote
//     virtremote_setup wait present|absent <seconds>
//     virtremote_setup remotes <folder> <count>   remotes 2 to count+1 present, the others gone
//     virtremote_setup configure <scenario file> <log file> [<remote>]
//                                             what the next session of a remote (1 to 5) uses
//     virtremote_setup descriptor <file> [<remote>]
//                                             the report descriptor a remote (2 to 5) declares
//                                             when it is next made: hexadecimal bytes, '#' lines
//                                             and a "lengths" line passed over; "" for its own
// Devices enumerate in the order of their instance IDs: the first remote, the device of other
// identifiers, then remotes 2, 3, 4 and 5.
// Each says in one line what it did or why it could not; the exit code is 0 on success.
#include <windows.h>

#include <newdev.h>
#include <setupapi.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "rig_facts.h"

namespace {

constexpr const char* kRemoteId = kVirtualRemoteId;
constexpr const char* kOtherId = kVirtualOtherId;
constexpr const char* kParametersKey = kVirtualRemoteParametersKey;
constexpr int kMaxRemotes = kMaxVirtualRemotes;

int Refused(const char* what) {
    const DWORD error = GetLastError();
    char message[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                   message, sizeof message, nullptr);
    for (char* end = message + std::strlen(message); end > message && end[-1] <= ' ';)
        *--end = '\0';
    std::printf("virtual remote: %s failed: error %lu%s%s\n", what, error, message[0] ? ", " : "",
                message);
    return 1;
}

// Whether this device's first hardware ID is `id`.
bool HasHardwareId(HDEVINFO devices, SP_DEVINFO_DATA& device, const char* id) {
    char ids[512] = "";
    return SetupDiGetDeviceRegistryPropertyA(devices, &device, SPDRP_HARDWAREID, nullptr,
                                             reinterpret_cast<BYTE*>(ids), sizeof ids - 2,
                                             nullptr) &&
           _stricmp(ids, id) == 0;
}

// Calls found(devices, device) for every device, present or not, with this hardware ID; returns
// how many there were.
template <typename Found> int ForEachDevice(const char* id, Found found) {
    const HDEVINFO devices = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    if (devices == INVALID_HANDLE_VALUE)
        return 0;
    int count = 0;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &device); ++i)
        if (HasHardwareId(devices, device, id)) {
            ++count;
            found(devices, device);
        }
    SetupDiDestroyDeviceInfoList(devices);
    return count;
}

bool CreateDevice(const char* id, const char* instanceName) {
    if (ForEachDevice(id, [](HDEVINFO, SP_DEVINFO_DATA&) {}) > 0)
        return true;
    GUID systemClass;
    DWORD required = 0;
    if (!SetupDiClassGuidsFromNameA("System", &systemClass, 1, &required))
        return false;
    const HDEVINFO devices = SetupDiCreateDeviceInfoList(&systemClass, nullptr);
    if (devices == INVALID_HANDLE_VALUE)
        return false;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    char hardwareIds[64] = {};
    std::snprintf(hardwareIds, sizeof hardwareIds - 1, "%s", id);
    const bool made = SetupDiCreateDeviceInfoA(devices, instanceName, &systemClass, nullptr,
                                               nullptr, 0, &device) &&
                      SetupDiSetDeviceRegistryPropertyA(devices, &device, SPDRP_HARDWAREID,
                                                        reinterpret_cast<BYTE*>(hardwareIds),
                                                        std::strlen(id) + 2) &&
                      SetupDiCallClassInstaller(DIF_REGISTERDEVICE, devices, &device);
    const DWORD error = GetLastError();
    SetupDiDestroyDeviceInfoList(devices);
    SetLastError(error);
    return made;
}

int Install(const char* folder) {
    char inf[MAX_PATH];
    std::snprintf(inf, sizeof inf, "%s\\virtremote.inf", folder);
    if (GetFileAttributesA(inf) == INVALID_FILE_ATTRIBUTES) {
        char what[MAX_PATH + 16];
        std::snprintf(what, sizeof what, "reading %s", inf);
        return Refused(what);
    }
    if (!CreateDevice(kRemoteId, "ROOT\\VIRTREMOTE\\0000"))
        return Refused("making the remote's device");
    if (!CreateDevice(kOtherId, "ROOT\\VIRTREMOTE\\0001"))
        return Refused("making the other device");
    BOOL reboot = FALSE;
    for (const char* id : {kRemoteId, kOtherId})
        if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, id, inf, INSTALLFLAG_FORCE, &reboot))
            return Refused("installing the driver");
    std::printf("virtual remote: installed from %s\n", inf);
    return 0;
}

// Remote n's hardware ID, and its instance ID, which decides where it enumerates.
void RemoteIds(int n, char* id, char* instance) {
    std::snprintf(id, 32, "%s-%d", kRemoteId, n);
    std::snprintf(instance, 32, "ROOT\\VIRTREMOTE\\%04d", n);
}

// Removes every device with this hardware ID; false when one cannot be removed.
int RemoveAll(const char* id, bool& removed) {
    return ForEachDevice(id, [&](HDEVINFO devices, SP_DEVINFO_DATA& device) {
        removed = SetupDiCallClassInstaller(DIF_REMOVE, devices, &device) && removed;
    });
}

bool Opens(const char* path) {
    const HANDLE device =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(device);
    return true;
}

// Whether SetupAPI lists a HID interface of remote n (1: the first), by its path; with
// mustOpen, only if that path also opens for reading and writing, as the program opens it (the
// handle is closed at once).
bool RemoteListed(int n, bool mustOpen = false) {
    char instance[32];
    std::snprintf(instance, sizeof instance, "#virtremote#%04d#", n == 1 ? 0 : n);
    GUID hidGuid = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
    const HDEVINFO devices =
        SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (devices == INVALID_HANDLE_VALUE)
        return false;
    bool listed = false;
    SP_DEVICE_INTERFACE_DATA interfaceData;
    interfaceData.cbSize = sizeof interfaceData;
    for (DWORD i = 0;
         !listed && SetupDiEnumDeviceInterfaces(devices, nullptr, &hidGuid, i, &interfaceData);
         ++i) {
        union {
            SP_DEVICE_INTERFACE_DETAIL_DATA_A detail;
            char bytes[1024];
        } path;
        path.detail.cbSize = sizeof path.detail;
        listed = SetupDiGetDeviceInterfaceDetailA(devices, &interfaceData, &path.detail,
                                                  sizeof path, nullptr, nullptr) &&
                 StrStrIA(path.detail.DevicePath, instance) &&
                 (!mustOpen || Opens(path.detail.DevicePath));
    }
    SetupDiDestroyDeviceInfoList(devices);
    return listed;
}

int Remotes(const char* folder, int count) {
    char inf[MAX_PATH];
    std::snprintf(inf, sizeof inf, "%s\\virtremote.inf", folder);
    bool removed = true;
    for (int n = 2; n <= kMaxRemotes; ++n) {
        char id[32];
        char instance[32];
        RemoteIds(n, id, instance);
        BOOL reboot = FALSE;
        if (n > count + 1)
            RemoveAll(id, removed);
        else if (!CreateDevice(id, instance) ||
                 !UpdateDriverForPlugAndPlayDevicesA(nullptr, id, inf, INSTALLFLAG_FORCE, &reboot))
            return Refused("making another remote");
    }
    if (!removed)
        return Refused("removing a remote");
    const DWORD start = GetTickCount();
    for (int n = 2; n <= kMaxRemotes; ++n)
        while (RemoteListed(n) != (n <= count + 1)) {
            if (GetTickCount() - start > 30000) {
                std::printf("virtual remote: remote %d still %s after 30 s\n", n,
                            n <= count + 1 ? "not shown" : "shown");
                return 1;
            }
            Sleep(20);
        }
    std::printf("virtual remote: %d more remote(s) after %lu ms\n", count, GetTickCount() - start);
    return 0;
}

int Remove(bool remoteOnly) {
    bool removed = true;
    int count = RemoveAll(kRemoteId, removed);
    if (!remoteOnly) {
        count += RemoveAll(kOtherId, removed);
        for (int n = 2; n <= kMaxRemotes; ++n) {
            char id[32];
            char instance[32];
            RemoteIds(n, id, instance);
            count += RemoveAll(id, removed);
        }
    }
    if (!removed)
        return Refused("removing a device");
    std::printf("virtual remote: %d device(s) removed\n", count);
    return 0;
}

int Wait(bool present, int seconds) {
    const DWORD start = GetTickCount();
    while (RemoteListed(1, present) != present) {
        if (GetTickCount() - start > static_cast<DWORD>(seconds) * 1000) {
            std::printf("virtual remote: still %s after %d s\n", present ? "not shown" : "shown",
                        seconds);
            return 1;
        }
        Sleep(100);
    }
    std::printf("virtual remote: %s after %lu ms\n", present ? "shown" : "gone",
                GetTickCount() - start);
    return 0;
}

// The key of remote n's settings (1 to 5), opened for writing; null when it cannot be.
HKEY OpenRemoteKey(int remote) {
    char keyName[128];
    std::snprintf(keyName, sizeof keyName, remote > 1 ? "%s\\%d" : "%s", kParametersKey, remote);
    HKEY key = nullptr;
    return remote >= 1 && remote <= kMaxRemotes &&
                   RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, nullptr, 0, KEY_SET_VALUE,
                                   nullptr, &key, nullptr) == ERROR_SUCCESS
               ? key
               : nullptr;
}

int Configure(const char* scenario, const char* log, int remote) {
    const HKEY key = OpenRemoteKey(remote);
    if (!key)
        return Refused("opening the driver's parameters");
    RegSetValueExA(key, "Scenario", 0, REG_SZ, reinterpret_cast<const BYTE*>(scenario),
                   std::strlen(scenario) + 1);
    RegSetValueExA(key, "Log", 0, REG_SZ, reinterpret_cast<const BYTE*>(log), std::strlen(log) + 1);
    RegCloseKey(key);
    std::printf("virtual remote: the next session plays %s\n", scenario[0] ? scenario : "the demo");
    return 0;
}

// The bytes of a descriptor file: hexadecimal pairs, with '#' lines and the line of lengths that
// the file keeps beside them passed over; returns the count, 0 when the file cannot be read or
// holds anything else.
int ReadDescriptorFile(const char* path, BYTE* bytes, int size) {
    FILE* file = std::fopen(path, "r");
    if (!file)
        return 0;
    int count = 0;
    bool good = true;
    char line[512];
    while (good && std::fgets(line, sizeof line, file)) {
        if (line[0] == '#' || std::strncmp(line, "lengths", 7) == 0)
            continue;
        for (char* at = line; good && *at;) {
            if (*at == ' ' || *at == '\t' || *at == '\r' || *at == '\n') {
                ++at;
                continue;
            }
            char* end = nullptr;
            const unsigned long value = std::strtoul(at, &end, 16);
            good = end == at + 2 && value <= 0xFF && count < size;
            if (good)
                bytes[count++] = static_cast<BYTE>(value);
            at = end;
        }
    }
    std::fclose(file);
    return good ? count : 0;
}

int Descriptor(const char* path, int remote) {
    BYTE bytes[1024];
    const int count = path[0] ? ReadDescriptorFile(path, bytes, sizeof bytes) : 0;
    if (path[0] && count == 0) {
        std::printf("virtual remote: %s holds no descriptor\n", path);
        return 1;
    }
    // Remote 1 is made once, at the install: only the further remotes are made afresh.
    const HKEY key = remote >= 2 ? OpenRemoteKey(remote) : nullptr;
    if (!key)
        return Refused("opening the remote's parameters");
    if (count)
        RegSetValueExA(key, "Descriptor", 0, REG_BINARY, bytes, count);
    else
        RegDeleteValueA(key, "Descriptor");
    RegCloseKey(key);
    std::printf("virtual remote: remote %d declares %s\n", remote, count ? path : "its own");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    // The tool's own look for the remote is no session to record.
    SetEnvironmentVariableA("TINY_HID_CAPTURE", nullptr);
    const char* command = argc > 1 ? argv[1] : "";
    if (std::strcmp(command, "install") == 0 && argc == 3)
        return Install(argv[2]);
    if (std::strcmp(command, "remove") == 0 && (argc == 2 || argc == 3))
        return Remove(argc == 3 && std::strcmp(argv[2], "remote") == 0);
    if (std::strcmp(command, "wait") == 0 && argc == 4)
        return Wait(std::strcmp(argv[2], "present") == 0, std::atoi(argv[3]));
    if (std::strcmp(command, "remotes") == 0 && argc == 4)
        return Remotes(argv[2], std::atoi(argv[3]));
    if (std::strcmp(command, "configure") == 0 && (argc == 4 || argc == 5))
        return Configure(argv[2], argv[3], argc == 5 ? std::atoi(argv[4]) : 1);
    if (std::strcmp(command, "descriptor") == 0 && (argc == 3 || argc == 4))
        return Descriptor(argv[2], argc == 4 ? std::atoi(argv[3]) : 2);
    std::printf("usage: virtremote_setup install FOLDER | remove [remote] | "
                "wait present|absent SECONDS | remotes FOLDER COUNT | "
                "configure SCENARIO LOG [REMOTE] | descriptor FILE [REMOTE]\n");
    return 2;
}
