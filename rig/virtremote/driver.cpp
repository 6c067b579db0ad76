// The virtual remote: a HID minidriver under the system's HID class driver. The class driver owns
// the device objects and the handles programs open; this driver answers its internal requests
// with the remote's descriptors, hands it input reports as the remote sends them, and takes the
// output reports programs write.
//
// The driver serves root-enumerated devices of two kinds, told apart by their hardware ID: remotes
// (root\virtremote, and root\virtremote-2 to -9 for more of them), each with its own scenario,
// log and report thread, and a HID device of other identifiers (root\virtremote-other) that
// says nothing, for a program to pass over.
#include "virtremote/hid_minidriver.h"
#include "rig_facts.h"
#include "virtremote/kernel_support.h"
#include "virtremote/remote.h"
#include "kernel_safe_model/report_descriptor.h"

namespace {

constexpr int kMaxPendingReads = 32;

// Each device's own part of the class driver's device extension.
struct DeviceState {
    RemoteContext* remote; // null: the device of other identifiers
    // The remote's report thread: its own clock.
    KEVENT stopThread;
    KEVENT threadEnded;
    bool threadRunning;
};

// Reads that wait for a report, of every device, under readLock.
struct PendingRead {
    PIRP irp;
    ULONGLONG since;
    DeviceState* device;
};
KSPIN_LOCK readLock;
PendingRead pendingReads[kMaxPendingReads];

HID_DEVICE_EXTENSION* ClassExtension(PDEVICE_OBJECT device) {
    return static_cast<HID_DEVICE_EXTENSION*>(device->DeviceExtension);
}

DeviceState& StateOf(PDEVICE_OBJECT device) {
    return *static_cast<DeviceState*>(ClassExtension(device)->MiniDeviceExtension);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Copies what the request asks for to its output buffer (METHOD_NEITHER: Irp->UserBuffer).
NTSTATUS CompleteWithBytes(PIRP irp, const void* bytes, ULONG length) {
    const ULONG room =
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    if (!irp->UserBuffer || room < length)
        return Complete(irp, STATUS_BUFFER_TOO_SMALL);
    RtlCopyMemory(irp->UserBuffer, bytes, length);
    return Complete(irp, STATUS_SUCCESS, length);
}

// --- Reads that wait for the remote ---

struct ReadLock {
    KIRQL irql;
    ReadLock() {
        KeAcquireSpinLock(&readLock, &irql);
    }
    ~ReadLock() {
        KeReleaseSpinLock(&readLock, irql);
    }
};

void CancelRead(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    bool found = false;
    {
        ReadLock lock;
        for (PendingRead& pending : pendingReads)
            if (pending.irp == irp) {
                pending.irp = nullptr;
                found = true;
            }
    }
    if (found)
        Complete(irp, STATUS_CANCELLED);
}

NTSTATUS QueueRead(PIRP irp, DeviceState* device) {
    ReadLock lock;
    for (PendingRead& pending : pendingReads) {
        if (pending.irp)
            continue;
        IoSetCancelRoutine(irp, CancelRead);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr))
            return Complete(irp, STATUS_CANCELLED);
        IoMarkIrpPending(irp);
        pending = {irp, NowMicroseconds(), device};
        return STATUS_PENDING;
    }
    return Complete(irp, STATUS_DEVICE_BUSY);
}

// The oldest waiting read of one device that is not being cancelled, taken off the queue; null
// when none.
PIRP TakeRead(DeviceState* device, ULONGLONG* since) {
    ReadLock lock;
    PendingRead* oldest = nullptr;
    for (PendingRead& pending : pendingReads)
        if (pending.irp && pending.device == device && (!oldest || pending.since < oldest->since))
            oldest = &pending;
    if (!oldest)
        return nullptr;
    const PIRP irp = oldest->irp;
    if (!IoSetCancelRoutine(irp, nullptr))
        return nullptr; // its cancel routine runs and completes it
    oldest->irp = nullptr;
    *since = oldest->since;
    return irp;
}

void FailAllReads(DeviceState* device, NTSTATUS status) {
    ULONGLONG since = 0;
    while (const PIRP irp = TakeRead(device, &since))
        Complete(irp, status);
}

// --- The report thread: the remote's own clock ---

void ReportThread(void* context) {
    DeviceState& device = *static_cast<DeviceState*>(context);
    RemoteContext& remote = *device.remote;
    for (;;) {
        RemotePoll(remote, NowMicroseconds());
        const ULONGLONG now = NowMicroseconds();
        const ULONGLONG next = RemoteNextStepMicroseconds(remote);
        LARGE_INTEGER timeout;
        timeout.QuadPart = next > now ? -static_cast<LONGLONG>((next - now) * 10) : 0;
        if (KeWaitForSingleObject(&device.stopThread, Executive, KernelMode, FALSE, &timeout) ==
            STATUS_SUCCESS)
            break;
        uint8_t report[32];
        ULONG length = 0;
        NTSTATUS failure = STATUS_SUCCESS;
        const RemoteAction action =
            RemoteStep(remote, NowMicroseconds(), report, &length, &failure);
        if (action == RemoteAction::kNothing)
            continue;
        ULONGLONG since = 0;
        const PIRP irp = TakeRead(&device, &since);
        if (!irp)
            continue; // nobody reads: the report is lost, as the remote's would be
        const bool deliver = action == RemoteAction::kDeliver;
        if (deliver) {
            const ULONG room = irp->UserBuffer ? IoGetCurrentIrpStackLocation(irp)
                                                     ->Parameters.DeviceIoControl.OutputBufferLength
                                               : 0;
            if (length > room)
                length = room;
            RtlCopyMemory(irp->UserBuffer, report, length);
        }
        RemoteLogRead(remote, since, deliver, report, length);
        Complete(irp, deliver ? STATUS_SUCCESS : failure, deliver ? length : 0);
    }
    KeSetEvent(&device.threadEnded, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void StartReportThread(DeviceState& device) {
    if (device.threadRunning)
        return;
    KeInitializeEvent(&device.stopThread, NotificationEvent, FALSE);
    KeInitializeEvent(&device.threadEnded, NotificationEvent, FALSE);
    HANDLE thread = nullptr;
    if (NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                        ReportThread, &device))) {
        ZwClose(thread);
        device.threadRunning = true;
    }
}

void StopReportThread(DeviceState& device) {
    if (device.threadRunning) {
        KeSetEvent(&device.stopThread, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&device.threadEnded, Executive, KernelMode, FALSE, nullptr);
        device.threadRunning = false;
    }
    FailAllReads(&device, STATUS_DEVICE_NOT_CONNECTED);
}

// --- The class driver's requests ---

NTSTATUS GetString(PIRP irp) {
    const ULONG_PTR which = reinterpret_cast<ULONG_PTR>(
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer);
    const WCHAR* text = nullptr;
    switch (which & 0xFFFF) {
    case HID_STRING_ID_IMANUFACTURER:
        text = L"IR Sensor Test";
        break;
    case HID_STRING_ID_IPRODUCT:
        text = L"IR Sensor Test virtual remote";
        break;
    case HID_STRING_ID_ISERIALNUMBER:
        text = L"0001";
        break;
    default:
        return Complete(irp, STATUS_INVALID_PARAMETER);
    }
    ULONG bytes = sizeof(WCHAR);
    for (const WCHAR* at = text; *at; ++at)
        bytes += sizeof(WCHAR);
    return CompleteWithBytes(irp, text, bytes);
}

int DescriptorOf(DeviceState& state, uint8_t* out, int size) {
    return state.remote ? RemoteReportDescriptor(*state.remote, out, size)
                        : BuildReportDescriptor(out, size);
}

NTSTATUS GetDescriptor(PIRP irp, DeviceState& state) {
    uint8_t descriptor[1024];
    HID_DESCRIPTOR hid = {};
    hid.bLength = sizeof hid;
    hid.bDescriptorType = HID_HID_DESCRIPTOR_TYPE;
    hid.bcdHID = 0x0111;
    hid.bNumDescriptors = 1;
    hid.DescriptorList[0].bReportType = HID_REPORT_DESCRIPTOR_TYPE;
    hid.DescriptorList[0].wReportLength =
        static_cast<USHORT>(DescriptorOf(state, descriptor, sizeof descriptor));
    return CompleteWithBytes(irp, &hid, sizeof hid);
}

NTSTATUS GetReportDescriptor(PIRP irp, DeviceState& state) {
    uint8_t descriptor[1024];
    const int length = DescriptorOf(state, descriptor, sizeof descriptor);
    return CompleteWithBytes(irp, descriptor, length);
}

NTSTATUS GetAttributes(PIRP irp, DeviceState& state) {
    HID_DEVICE_ATTRIBUTES attributes = {};
    attributes.Size = sizeof attributes;
    attributes.VendorID = kRemoteVendor;
    attributes.ProductID = state.remote ? RemoteProductId(*state.remote) : kOtherProduct;
    attributes.VersionNumber = 0x0100;
    return CompleteWithBytes(irp, &attributes, sizeof attributes);
}

// A write or an output report: the class driver's packet, checked before anything is read.
NTSTATUS TakeOutputReport(PIRP irp, bool byWriteFile, RemoteContext* remote) {
    const auto* packet = static_cast<const HID_XFER_PACKET*>(irp->UserBuffer);
    if (!packet || !packet->reportBuffer)
        return Complete(irp, STATUS_INVALID_PARAMETER);
    if (!remote)
        return Complete(irp, STATUS_SUCCESS, packet->reportBufferLen);
    const NTSTATUS status =
        RemoteTakeOutputReport(*remote, byWriteFile, packet->reportBuffer, packet->reportBufferLen);
    return Complete(irp, status, NT_SUCCESS(status) ? packet->reportBufferLen : 0);
}

NTSTATUS DispatchInternal(PDEVICE_OBJECT device, PIRP irp) {
    DeviceState& state = StateOf(device);
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_HID_GET_DEVICE_DESCRIPTOR:
        return GetDescriptor(irp, state);
    case IOCTL_HID_GET_REPORT_DESCRIPTOR:
        return GetReportDescriptor(irp, state);
    case IOCTL_HID_GET_DEVICE_ATTRIBUTES:
        return GetAttributes(irp, state);
    case IOCTL_HID_GET_STRING:
        return GetString(irp);
    case IOCTL_HID_READ_REPORT:
        // The other device never speaks: its reads wait until it is removed. (Failing them would
        // have the class driver ask again at once, for ever.)
        return QueueRead(irp, &state);
    case IOCTL_HID_WRITE_REPORT:
        return TakeOutputReport(irp, true, state.remote);
    case IOCTL_HID_SET_OUTPUT_REPORT:
        return TakeOutputReport(irp, false, state.remote);
    case IOCTL_HID_ACTIVATE_DEVICE:
    case IOCTL_HID_DEACTIVATE_DEVICE:
        return Complete(irp, STATUS_SUCCESS);
    default:
        return Complete(irp, STATUS_NOT_SUPPORTED);
    }
}

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ClassExtension(device)->NextDeviceObject, irp);
}

// The requests this driver answers get its success; any other keeps the status it came with,
// for the device below to answer.
NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    DeviceState& state = StateOf(device);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        if (state.remote)
            StartReportThread(state);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        StopReportThread(state);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    return PassDown(device, irp);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ClassExtension(device)->NextDeviceObject, irp);
}

// Which kind of device this is, from its first hardware ID: root\virtremote-other, or a remote
// configured under "\Parameters" (root\virtremote) or "\Parameters\<n>" (root\virtremote-<n>).
// Writes the remote's subkey; false for the device of other identifiers.
bool RemoteSubkey(PDEVICE_OBJECT physical, WCHAR* subkey, int subkeyChars) {
    WCHAR ids[128] = {};
    ULONG length = 0;
    IoGetDeviceProperty(physical, DevicePropertyHardwareID, sizeof ids - 4, ids, &length);
    const WCHAR base[] = L"root\\virtremote";
    const int baseChars = sizeof base / sizeof(WCHAR) - 1;
    int at = 0;
    for (; at < baseChars; ++at) {
        WCHAR c = ids[at];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<WCHAR>(c - 'A' + 'a');
        if (c != base[at])
            break;
    }
    const WCHAR parameters[] = L"\\Parameters";
    int out = 0;
    for (const WCHAR* c = parameters; *c; ++c)
        subkey[out++] = *c;
    if (at == baseChars && ids[at] == '-') {
        if (ids[at + 1] < '2' || ids[at + 1] > '9')
            return false; // "-other"
        subkey[out++] = '\\';
        subkey[out++] = ids[at + 1];
    }
    subkey[out < subkeyChars ? out : subkeyChars - 1] = 0;
    return true;
}

NTSTATUS AddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT device) {
    DeviceState& state = StateOf(device);
    state = {};
    WCHAR subkey[32];
    if (RemoteSubkey(ClassExtension(device)->PhysicalDeviceObject, subkey, 32))
        state.remote = RemoteAttach(subkey);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void Unload(PDRIVER_OBJECT) {
    RemoteDetachAll();
}

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    KeInitializeSpinLock(&readLock);
    RemoteInitialize(*registryPath);
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternal;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;

    HID_MINIDRIVER_REGISTRATION registration = {};
    registration.Revision = HID_REVISION;
    registration.DriverObject = driver;
    registration.RegistryPath = registryPath;
    registration.DeviceExtensionSize = sizeof(DeviceState);
    registration.DevicesArePolled = FALSE;
    return HidRegisterMinidriver(&registration);
}
