// Clock, log file, file reading and registry parameters for the virtual remote's driver, on the
// kernel's documented services only.
#include "virtremote/kernel_support.h"

#include "hid/log_line.h"

#include <cstdarg>

// The header makes this a read of the kernel's shared data page; the exported function is what a
// driver may call. The system time rather than the interrupt time: Wine keeps the first to the
// microsecond, and counts the second in milliseconds where the platform documents 100 ns units.
#undef KeQuerySystemTime
extern "C" __declspec(dllimport) void NTAPI KeQuerySystemTime(LARGE_INTEGER* time);

extern "C" __declspec(dllimport) int __cdecl _vsnprintf(char* buffer, size_t count,
                                                        const char* format, va_list arguments);
extern "C" __declspec(dllimport) int __cdecl _snprintf(char* buffer, size_t count,
                                                       const char* format, ...);

// The C library's vsnprintf as the shared scenario code calls it (MinGW's headers route snprintf
// here), on the kernel's _vsnprintf, which does not end a cut string with a NUL.
extern "C" int __mingw_vsnprintf(char* buffer, size_t size, const char* format, va_list arguments) {
    if (size == 0)
        return 0;
    const int length = _vsnprintf(buffer, size - 1, format, arguments);
    const size_t end = length < 0 || static_cast<size_t>(length) >= size ? size - 1 : length;
    buffer[end] = '\0';
    return static_cast<int>(end);
}

namespace {

void LockLog(DeviceLogFile& log) {
    KeWaitForSingleObject(&log.idle, Executive, KernelMode, FALSE, nullptr);
}

void UnlockLog(DeviceLogFile& log) {
    KeSetEvent(&log.idle, IO_NO_INCREMENT, FALSE);
}

// "\??\" and the DOS path, as the object manager names it.
bool NtPath(const WCHAR* dosPath, WCHAR* ntPath, ULONG chars, UNICODE_STRING& name) {
    const WCHAR prefix[] = L"\\??\\";
    ULONG length = 0;
    for (const WCHAR* at = prefix; *at && length < chars; ++at)
        ntPath[length++] = *at;
    for (const WCHAR* at = dosPath; *at; ++at) {
        if (length + 1 >= chars)
            return false;
        ntPath[length++] = *at;
    }
    ntPath[length] = 0;
    name.Buffer = ntPath;
    name.Length = static_cast<USHORT>(length * sizeof(WCHAR));
    name.MaximumLength = static_cast<USHORT>((length + 1) * sizeof(WCHAR));
    return true;
}

HANDLE OpenFile(const WCHAR* dosPath, ACCESS_MASK access, ULONG disposition) {
    WCHAR ntPath[300];
    UNICODE_STRING name;
    if (!dosPath[0] || !NtPath(dosPath, ntPath, 300, name))
        return nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    IO_STATUS_BLOCK status;
    HANDLE file = nullptr;
    if (!NT_SUCCESS(
            ZwCreateFile(&file, access | SYNCHRONIZE, &attributes, &status, nullptr,
                         FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, disposition,
                         FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0)))
        return nullptr;
    return file;
}

} // namespace

ULONGLONG NowMicroseconds() {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return static_cast<ULONGLONG>(now.QuadPart) / 10;
}

void InitializeDeviceLog(DeviceLogFile& log) {
    log.file = nullptr;
    KeInitializeEvent(&log.idle, SynchronizationEvent, TRUE);
}

void OpenDeviceLog(DeviceLogFile& log, const WCHAR* path) {
    const HANDLE file = OpenFile(path, FILE_APPEND_DATA, FILE_OPEN_IF);
    LockLog(log);
    if (log.file)
        ZwClose(log.file);
    log.file = file;
    UnlockLog(log);
}

void DeviceLog(DeviceLogFile& log, ULONGLONG startMicroseconds, const char* format, ...) {
    char line[kLogLineSize];
    int length =
        FormatLogLineStart(line, reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId()),
                           reinterpret_cast<ULONG_PTR>(PsGetCurrentThreadId()), startMicroseconds);
    va_list arguments;
    va_start(arguments, format);
    const int rest = _vsnprintf(line + length, sizeof line - 2 - length, format, arguments);
    va_end(arguments);
    length = rest < 0 ? static_cast<int>(sizeof line) - 2 : length + rest;
    line[length++] = '\n';
    LockLog(log);
    if (log.file) {
        IO_STATUS_BLOCK status;
        ZwWriteFile(log.file, nullptr, nullptr, nullptr, &status, line, length, nullptr, nullptr);
    }
    UnlockLog(log);
}

bool ReadWholeFile(const WCHAR* path, char* buffer, ULONG size) {
    const HANDLE file = OpenFile(path, GENERIC_READ, FILE_OPEN);
    if (!file)
        return false;
    IO_STATUS_BLOCK status;
    const NTSTATUS result =
        ZwReadFile(file, nullptr, nullptr, nullptr, &status, buffer, size - 1, nullptr, nullptr);
    ZwClose(file);
    const ULONG length = NT_SUCCESS(result) ? static_cast<ULONG>(status.Information) : 0;
    buffer[length] = '\0';
    return NT_SUCCESS(result) && length < size - 1;
}

namespace {

// A value of a key below the driver's service key, of this type, into value (at most size
// bytes); returns its length, 0 when there is none or it does not fit.
ULONG QueryParameter(const UNICODE_STRING& serviceKey, const WCHAR* subkey, const WCHAR* name,
                     ULONG type, void* value, ULONG size) {
    WCHAR keyPath[300];
    ULONG length = serviceKey.Length / sizeof(WCHAR);
    if (length >= 300)
        return 0;
    RtlCopyMemory(keyPath, serviceKey.Buffer, serviceKey.Length);
    for (const WCHAR* at = subkey; *at; ++at) {
        if (length + 1 >= 300)
            return 0;
        keyPath[length++] = *at;
    }
    keyPath[length] = 0;
    UNICODE_STRING keyName;
    RtlInitUnicodeString(&keyName, keyPath);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE key = nullptr;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_QUERY_VALUE, &attributes)))
        return 0;
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    union {
        KEY_VALUE_PARTIAL_INFORMATION information;
        UCHAR bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 1100];
    } data;
    ULONG returned = 0;
    ULONG copied = 0;
    if (NT_SUCCESS(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, &data, sizeof data,
                                   &returned)) &&
        data.information.Type == type && data.information.DataLength <= size) {
        copied = data.information.DataLength;
        RtlCopyMemory(value, data.information.Data, copied);
    }
    ZwClose(key);
    return copied;
}

} // namespace

void ReadParameter(const UNICODE_STRING& serviceKey, const WCHAR* subkey, const WCHAR* name,
                   WCHAR* value, ULONG valueChars) {
    const ULONG chars =
        QueryParameter(serviceKey, subkey, name, REG_SZ, value, (valueChars - 1) * sizeof(WCHAR)) /
        sizeof(WCHAR);
    value[chars] = 0;
}

ULONG ReadBinaryParameter(const UNICODE_STRING& serviceKey, const WCHAR* subkey, const WCHAR* name,
                          uint8_t* value, ULONG size) {
    return QueryParameter(serviceKey, subkey, name, REG_BINARY, value, size);
}

ULONG ReadNumberParameter(const UNICODE_STRING& serviceKey, const WCHAR* subkey, const WCHAR* name,
                          ULONG fallback) {
    ULONG value = 0;
    return QueryParameter(serviceKey, subkey, name, REG_DWORD, &value, sizeof value) == sizeof value
               ? value
               : fallback;
}
