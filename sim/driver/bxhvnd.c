/*
 * bxhvnd.sys, the snoop driver stand-in: a kernel-mode driver that serves
 * the snoop device's interface without observing any transport addresses.
 * Records come in through the inject control code (sim/snoopctl feeds them)
 * and go out through ReadSnoopEvents, one record per request, in the order
 * they came in.
 *
 *   \Device\bxhvnd, link \DosDevices\bxhvnd ("\\.\bxhvnd" for user programs)
 *   ReadSnoopEvents (0x222006, METHOD_OUT_DIRECT): completed at once with the
 *     oldest queued record, or kept pending until one is injected. Completed
 *     with the whole 256-byte record, Information = 256.
 *   inject (0x22200A, also accepted as 0x222008): input exactly one 256-byte
 *     record, passed in the system buffer, no output.
 *     Completes the oldest pending read with it, or queues it (at most 4096
 *     records, delivered in order); a full queue refuses the record with
 *     STATUS_INSUFFICIENT_RESOURCES.
 *
 * One spin lock guards the queue of pending reads and the ring of records,
 * so that a read and an injection never miss each other. Pending reads are
 * cancellable (CancelIo, thread exit) and are completed as cancelled when
 * their handle is cleaned up or the driver unloads. Every IRP is completed
 * exactly once: whoever clears an IRP's cancel routine owns its completion.
 */
#include <ntddk.h>

#include "agent/snoop/snoop_event.h"

#define BXHVND_QUEUE_CAPACITY 4096u
#define BXHVND_POOL_TAG 0x646E7642u /* 'Bvnd' */

static const WCHAR kDeviceName[] = L"\\Device\\bxhvnd";
static const WCHAR kLinkName[] = L"\\DosDevices\\bxhvnd";

typedef struct BXHVND_STATE {
    KSPIN_LOCK lock;
    LIST_ENTRY pendingReads; /* IRPs of ReadSnoopEvents, oldest first */
    snoop_event_t* ring;     /* BXHVND_QUEUE_CAPACITY records */
    ULONG head;              /* oldest queued record */
    ULONG count;             /* queued records */
    PDEVICE_OBJECT device;
    BOOLEAN linkCreated;
} BXHVND_STATE;

/* One device per driver: the state lives here rather than in the device
 * extension, so that the cancel routine needs nothing from its arguments but
 * the IRP. */
static BXHVND_STATE g_state;

DRIVER_INITIALIZE DriverEntry;
static DRIVER_UNLOAD BxUnload;
static DRIVER_DISPATCH BxCreate;
static DRIVER_DISPATCH BxCleanupClose;
static DRIVER_DISPATCH BxDeviceControl;
static DRIVER_CANCEL BxCancelRead;

static NTSTATUS BxComplete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* The read's output buffer in system space. The read's dispatch maps it
 * first, and the MDL keeps that mapping: a later call, when a record comes
 * for a pending read, returns the same address and cannot fail. */
static void* BxReadBuffer(PIRP irp) { return MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority); }

/* Takes the oldest pending read whose cancel routine this call clears; the
 * caller then owns its completion. A read whose cancel routine is already
 * gone is being cancelled: its entry is made self-linked so that the cancel
 * routine's RemoveEntryList is harmless. Called with the lock held; fileObject
 * NULL matches every read. */
static PIRP BxTakePendingRead(PFILE_OBJECT fileObject) {
    PLIST_ENTRY entry = g_state.pendingReads.Flink;
    while (entry != &g_state.pendingReads) {
        PLIST_ENTRY next = entry->Flink;
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (fileObject == NULL || IoGetCurrentIrpStackLocation(irp)->FileObject == fileObject) {
            RemoveEntryList(entry);
            if (IoSetCancelRoutine(irp, NULL) != NULL) return irp;
            InitializeListHead(entry);
        }
        entry = next;
    }
    return NULL;
}

static VOID BxCancelRead(PDEVICE_OBJECT device, PIRP irp) {
    KIRQL irql;
    UNREFERENCED_PARAMETER(device);
    IoReleaseCancelSpinLock(irp->CancelIrql);

    KeAcquireSpinLock(&g_state.lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&g_state.lock, irql);

    BxComplete(irp, STATUS_CANCELLED, 0);
}

/* Completes every pending read of fileObject (all of them for NULL) as
 * cancelled. */
static void BxCancelPendingReads(PFILE_OBJECT fileObject) {
    for (;;) {
        KIRQL irql;
        PIRP irp;
        KeAcquireSpinLock(&g_state.lock, &irql);
        irp = BxTakePendingRead(fileObject);
        KeReleaseSpinLock(&g_state.lock, irql);
        if (irp == NULL) return;
        BxComplete(irp, STATUS_CANCELLED, 0);
    }
}

static NTSTATUS BxReadEvents(PIRP irp, PIO_STACK_LOCATION stack) {
    KIRQL irql;
    void* out;

    if (stack->Parameters.DeviceIoControl.OutputBufferLength < SNOOP_EVENT_SIZE || irp->MdlAddress == NULL)
        return BxComplete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    out = BxReadBuffer(irp);
    if (out == NULL) return BxComplete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);

    KeAcquireSpinLock(&g_state.lock, &irql);
    if (g_state.count > 0) {
        RtlCopyMemory(out, &g_state.ring[g_state.head], SNOOP_EVENT_SIZE);
        g_state.head = (g_state.head + 1) % BXHVND_QUEUE_CAPACITY;
        g_state.count--;
        KeReleaseSpinLock(&g_state.lock, irql);
        return BxComplete(irp, STATUS_SUCCESS, SNOOP_EVENT_SIZE);
    }

    IoSetCancelRoutine(irp, BxCancelRead);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
        /* Cancelled before the routine was set, and it will not be called. */
        KeReleaseSpinLock(&g_state.lock, irql);
        return BxComplete(irp, STATUS_CANCELLED, 0);
    }
    /* Either not cancelled, or the cancel routine is about to run: it
     * removes the entry under the lock, so the IRP must be on the list. */
    IoMarkIrpPending(irp);
    InsertTailList(&g_state.pendingReads, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&g_state.lock, irql);
    return STATUS_PENDING;
}

static NTSTATUS BxInjectEvent(PIRP irp, PIO_STACK_LOCATION stack) {
    const snoop_event_t* record = (const snoop_event_t*)irp->AssociatedIrp.SystemBuffer;
    KIRQL irql;
    PIRP read;

    if (stack->Parameters.DeviceIoControl.InputBufferLength != SNOOP_EVENT_SIZE || record == NULL)
        return BxComplete(irp, STATUS_INVALID_PARAMETER, 0);

    KeAcquireSpinLock(&g_state.lock, &irql);
    read = BxTakePendingRead(NULL);
    if (read == NULL) {
        if (g_state.count == BXHVND_QUEUE_CAPACITY) {
            KeReleaseSpinLock(&g_state.lock, irql);
            return BxComplete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        }
        RtlCopyMemory(&g_state.ring[(g_state.head + g_state.count) % BXHVND_QUEUE_CAPACITY], record, SNOOP_EVENT_SIZE);
        g_state.count++;
    }
    KeReleaseSpinLock(&g_state.lock, irql);

    if (read != NULL) {
        RtlCopyMemory(BxReadBuffer(read), record, SNOOP_EVENT_SIZE);
        BxComplete(read, STATUS_SUCCESS, SNOOP_EVENT_SIZE);
    }
    return BxComplete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS BxDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UNREFERENCED_PARAMETER(device);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case SNOOP_IOCTL_READ_EVENTS:
            return BxReadEvents(irp, stack);
        case SNOOP_IOCTL_INJECT_EVENT:
        case SNOOP_IOCTL_INJECT_EVENT_BUFFERED:
            return BxInjectEvent(irp, stack);
        default:
            return BxComplete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS BxCreate(PDEVICE_OBJECT device, PIRP irp) {
    UNREFERENCED_PARAMETER(device);
    return BxComplete(irp, STATUS_SUCCESS, 0);
}

/* The last handle of a file object is closed: its reads end as cancelled.
 * Windows sends IRP_MJ_CLEANUP for that and IRP_MJ_CLOSE only once no request
 * of the file is left; Wine sends no IRP_MJ_CLEANUP but IRP_MJ_CLOSE at once,
 * with reads still pending. Both end the file's reads, so either way none is
 * left behind (on Windows the close finds none). */
static NTSTATUS BxCleanupClose(PDEVICE_OBJECT device, PIRP irp) {
    UNREFERENCED_PARAMETER(device);
    BxCancelPendingReads(IoGetCurrentIrpStackLocation(irp)->FileObject);
    return BxComplete(irp, STATUS_SUCCESS, 0);
}

static VOID BxUnload(PDRIVER_OBJECT driver) {
    UNREFERENCED_PARAMETER(driver);
    if (g_state.linkCreated) {
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, kLinkName);
        IoDeleteSymbolicLink(&link);
        g_state.linkCreated = FALSE;
    }
    BxCancelPendingReads(NULL);
    if (g_state.device != NULL) {
        IoDeleteDevice(g_state.device);
        g_state.device = NULL;
    }
    if (g_state.ring != NULL) {
        ExFreePoolWithTag(g_state.ring, BXHVND_POOL_TAG);
        g_state.ring = NULL;
    }
    g_state.head = g_state.count = 0;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNICODE_STRING name, link;
    NTSTATUS status;
    UNREFERENCED_PARAMETER(registryPath);

    KeInitializeSpinLock(&g_state.lock);
    InitializeListHead(&g_state.pendingReads);
    g_state.head = g_state.count = 0;
    g_state.device = NULL;
    g_state.linkCreated = FALSE;
    g_state.ring = (snoop_event_t*)ExAllocatePoolWithTag(NonPagedPool, (SIZE_T)BXHVND_QUEUE_CAPACITY * SNOOP_EVENT_SIZE,
                                                         BXHVND_POOL_TAG);
    if (g_state.ring == NULL) return STATUS_INSUFFICIENT_RESOURCES;

    RtlInitUnicodeString(&name, kDeviceName);
    status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_state.device);
    if (!NT_SUCCESS(status)) {
        g_state.device = NULL;
        BxUnload(driver);
        return status;
    }
    RtlInitUnicodeString(&link, kLinkName);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        BxUnload(driver);
        return status;
    }
    g_state.linkCreated = TRUE;

    driver->MajorFunction[IRP_MJ_CREATE] = BxCreate;
    driver->MajorFunction[IRP_MJ_CLEANUP] = BxCleanupClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = BxCleanupClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = BxDeviceControl;
    driver->DriverUnload = BxUnload;
    g_state.device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
