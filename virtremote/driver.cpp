// The virtual remote: a HID minidriver under the system's HID class driver. The class driver owns
// the device objects and the handles programs open; this driver answers its internal requests
// with the remote's descriptors, hands it input reports as the remote sends them, and takes the
// output reports programs write.
//
// The driver serves two root-enumerated devices: the remote (hardware ID root\virtremote) and a
// HID device of other identifiers (root\virtremote-other) that says nothing, for a program to
// pass over.
#include "virtremote/hid_minidriver.h"
#include "virtremote/kernel_support.h"
#include "virtremote/remote.h"
#include "virtremote/report_descriptor.h"

namespace {

constexpr USHORT kRemoteVendor = 0x057E;
constexpr USHORT kRemoteProduct = 0x0306;
constexpr USHORT kOtherProduct = 0x0330;
constexpr int kMaxPendingReads = 8;

// Each device's own part of the class driver's device extension.
struct DeviceState {
    bool isRemote;
};

// Reads that wait for a report, of both devices, under readLock; and the remote's report thread.
struct PendingRead {
    PIRP irp;
    ULONGLONG since;
    bool fromRemote;
};
KSPIN_LOCK readLock;
PendingRead pendingReads[kMaxPendingReads];
KEVENT stopThread;
KEVENT threadEnded;
bool threadRunning;

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

NTSTATUS QueueRead(PIRP irp, bool fromRemote) {
    ReadLock lock;
    for (PendingRead& pending : pendingReads) {
        if (pending.irp)
            continue;
        IoSetCancelRoutine(irp, CancelRead);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr))
            return Complete(irp, STATUS_CANCELLED);
        IoMarkIrpPending(irp);
        pending = {irp, NowMicroseconds(), fromRemote};
        return STATUS_PENDING;
    }
    return Complete(irp, STATUS_DEVICE_BUSY);
}

// The oldest waiting read of one device that is not being cancelled, taken off the queue; null
// when none.
PIRP TakeRead(bool fromRemote, ULONGLONG* since) {
    ReadLock lock;
    PendingRead* oldest = nullptr;
    for (PendingRead& pending : pendingReads)
        if (pending.irp && pending.fromRemote == fromRemote &&
            (!oldest || pending.since < oldest->since))
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

void FailAllReads(bool fromRemote, NTSTATUS status) {
    ULONGLONG since = 0;
    while (const PIRP irp = TakeRead(fromRemote, &since))
        Complete(irp, status);
}

// --- The report thread: the remote's own clock ---

void ReportThread(void*) {
    for (;;) {
        const ULONGLONG now = NowMicroseconds();
        const ULONGLONG next = RemoteNextStepMicroseconds();
        LARGE_INTEGER timeout;
        timeout.QuadPart = next > now ? -static_cast<LONGLONG>((next - now) * 10) : 0;
        if (KeWaitForSingleObject(&stopThread, Executive, KernelMode, FALSE, &timeout) ==
            STATUS_SUCCESS)
            break;
        uint8_t report[32];
        ULONG length = 0;
        NTSTATUS failure = STATUS_SUCCESS;
        const RemoteAction action = RemoteStep(NowMicroseconds(), report, &length, &failure);
        if (action == RemoteAction::kNothing)
            continue;
        ULONGLONG since = 0;
        const PIRP irp = TakeRead(true, &since);
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
        RemoteLogRead(since, deliver, report, length);
        Complete(irp, deliver ? STATUS_SUCCESS : failure, deliver ? length : 0);
    }
    KeSetEvent(&threadEnded, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void StartReportThread() {
    if (threadRunning)
        return;
    KeInitializeEvent(&stopThread, NotificationEvent, FALSE);
    KeInitializeEvent(&threadEnded, NotificationEvent, FALSE);
    HANDLE thread = nullptr;
    if (NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                        ReportThread, nullptr))) {
        ZwClose(thread);
        threadRunning = true;
    }
}

void StopReportThread() {
    if (!threadRunning)
        return;
    KeSetEvent(&stopThread, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&threadEnded, Executive, KernelMode, FALSE, nullptr);
    threadRunning = false;
    FailAllReads(true, STATUS_DEVICE_NOT_CONNECTED);
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

NTSTATUS GetDescriptor(PIRP irp) {
    uint8_t descriptor[512];
    HID_DESCRIPTOR hid = {};
    hid.bLength = sizeof hid;
    hid.bDescriptorType = HID_HID_DESCRIPTOR_TYPE;
    hid.bcdHID = 0x0111;
    hid.bNumDescriptors = 1;
    hid.DescriptorList[0].bReportType = HID_REPORT_DESCRIPTOR_TYPE;
    hid.DescriptorList[0].wReportLength =
        static_cast<USHORT>(BuildReportDescriptor(descriptor, sizeof descriptor));
    return CompleteWithBytes(irp, &hid, sizeof hid);
}

NTSTATUS GetReportDescriptor(PIRP irp) {
    uint8_t descriptor[512];
    const int length = BuildReportDescriptor(descriptor, sizeof descriptor);
    return CompleteWithBytes(irp, descriptor, length);
}

NTSTATUS GetAttributes(PIRP irp, bool isRemote) {
    HID_DEVICE_ATTRIBUTES attributes = {};
    attributes.Size = sizeof attributes;
    attributes.VendorID = kRemoteVendor;
    attributes.ProductID = isRemote ? kRemoteProduct : kOtherProduct;
    attributes.VersionNumber = 0x0100;
    return CompleteWithBytes(irp, &attributes, sizeof attributes);
}

// A write or an output report: the class driver's packet, checked before anything is read.
NTSTATUS TakeOutputReport(PIRP irp, bool byWriteFile, bool isRemote) {
    const auto* packet = static_cast<const HID_XFER_PACKET*>(irp->UserBuffer);
    if (!packet || !packet->reportBuffer)
        return Complete(irp, STATUS_INVALID_PARAMETER);
    if (!isRemote)
        return Complete(irp, STATUS_SUCCESS, packet->reportBufferLen);
    const NTSTATUS status =
        RemoteTakeOutputReport(byWriteFile, packet->reportBuffer, packet->reportBufferLen);
    return Complete(irp, status, NT_SUCCESS(status) ? packet->reportBufferLen : 0);
}

NTSTATUS DispatchInternal(PDEVICE_OBJECT device, PIRP irp) {
    const bool isRemote = StateOf(device).isRemote;
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_HID_GET_DEVICE_DESCRIPTOR:
        return GetDescriptor(irp);
    case IOCTL_HID_GET_REPORT_DESCRIPTOR:
        return GetReportDescriptor(irp);
    case IOCTL_HID_GET_DEVICE_ATTRIBUTES:
        return GetAttributes(irp, isRemote);
    case IOCTL_HID_GET_STRING:
        return GetString(irp);
    case IOCTL_HID_READ_REPORT:
        // The other device never speaks: its reads wait until it is removed. (Failing them would
        // have the class driver ask again at once, for ever.)
        return QueueRead(irp, isRemote);
    case IOCTL_HID_WRITE_REPORT:
        return TakeOutputReport(irp, true, isRemote);
    case IOCTL_HID_SET_OUTPUT_REPORT:
        return TakeOutputReport(irp, false, isRemote);
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

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    const bool isRemote = StateOf(device).isRemote;
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        if (isRemote)
            StartReportThread();
        break;
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        if (isRemote)
            StopReportThread();
        else
            FailAllReads(false, STATUS_DEVICE_NOT_CONNECTED);
        break;
    default:
        break;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(device, irp);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ClassExtension(device)->NextDeviceObject, irp);
}

// Which of the two devices this is, from its hardware ID.
bool IsRemoteDevice(PDEVICE_OBJECT physical) {
    WCHAR ids[128] = {};
    ULONG length = 0;
    if (!NT_SUCCESS(
            IoGetDeviceProperty(physical, DevicePropertyHardwareID, sizeof ids - 4, ids, &length)))
        return true;
    const WCHAR other[] = L"-other";
    ULONG end = 0;
    while (end < 120 && ids[end])
        ++end;
    if (end < 6)
        return true;
    for (int i = 0; i < 6; ++i) {
        WCHAR c = ids[end - 6 + i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<WCHAR>(c - 'A' + 'a');
        if (c != other[i])
            return true;
    }
    return false;
}

NTSTATUS AddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT device) {
    StateOf(device).isRemote = IsRemoteDevice(ClassExtension(device)->PhysicalDeviceObject);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void Unload(PDRIVER_OBJECT) {
    StopReportThread();
    OpenDeviceLog(L"");
}

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    KeInitializeSpinLock(&readLock);
    InitializeDeviceLog();
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
