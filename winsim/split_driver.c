/*
 * The simulated machine's split redirect driver: the kernel service VornSplitCallout with its
 * device \\.\VornSplitCallout. It speaks the driver's control protocol (set policy, clear
 * policy, diagnostics) and keeps the policy it was given, checked field by field; it cannot
 * redirect traffic.
 *
 * Diagnostics (20 bytes): version 2, tracked process count (the root process ids of the policy
 * held), then the application count, the proxy port, 2 zero bytes and how many policies were
 * accepted since the driver loaded.
 */
#include <ntddk.h>

#include "platform/split_driver_protocol.h"
#include "split_driver_sim.h"


typedef struct {
    BOOLEAN held;
    ULONG service_pid;
    USHORT proxy_port;
    ULONG app_count;
    ULONG root_count;
    ULONG roots[VORN_MAX_ROOT_PROCESSES];
    ULONG accepted;
} VORN_POLICY_STATE;

static VORN_POLICY_STATE g_state;
static FAST_MUTEX g_lock;
static PDEVICE_OBJECT g_device;

static UNICODE_STRING device_name(void) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\" VORN_DRIVER_NAME);
    return name;
}

static UNICODE_STRING link_name(void) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\DosDevices\\" VORN_DRIVER_NAME);
    return name;
}

static ULONG read_u32(const UCHAR* p) {
    return (ULONG)p[0] | ((ULONG)p[1] << 8) | ((ULONG)p[2] << 16) | ((ULONG)p[3] << 24);
}

static USHORT read_u16(const UCHAR* p) { return (USHORT)(p[0] | (p[1] << 8)); }

static void write_u32(UCHAR* p, ULONG v) {
    p[0] = (UCHAR)v;
    p[1] = (UCHAR)(v >> 8);
    p[2] = (UCHAR)(v >> 16);
    p[3] = (UCHAR)(v >> 24);
}

static BOOLEAN all_zero(const UCHAR* p, ULONG size) {
    for (ULONG i = 0; i < size; ++i) {
        if (p[i] != 0) return FALSE;
    }
    return TRUE;
}

/* One application entry: its index, the constant 1, a non-empty path terminated inside its
 * 520 units with only zeros after it, and a zero tail. */
static BOOLEAN entry_valid(const UCHAR* entry, ULONG index) {
    if (read_u32(entry) != index || read_u32(entry + 4) != 1) return FALSE;
    const UCHAR* path = entry + 8;
    ULONG length = 0;
    while (length < VORN_PATH_UNITS && read_u16(path + 2 * length) != 0) ++length;
    if (length == 0 || length == VORN_PATH_UNITS) return FALSE;
    if (!all_zero(path + 2 * length, 2 * (VORN_PATH_UNITS - length))) return FALSE;
    return all_zero(entry + 8 + 2 * VORN_PATH_UNITS, 256);
}

static NTSTATUS set_policy(const UCHAR* record, ULONG size) {
    if (size < VORN_POLICY_HEADER_SIZE) return STATUS_INVALID_PARAMETER;
    if (read_u32(record) != VORN_PROTOCOL_VERSION) return STATUS_REVISION_MISMATCH;
    ULONG service_pid = read_u32(record + 4);
    USHORT port = read_u16(record + 8);
    ULONG app_count = read_u32(record + 12);
    ULONG root_count = read_u32(record + 16);
    if (service_pid == 0 || port == 0 || read_u16(record + 10) != 0) return STATUS_INVALID_PARAMETER;
    if (app_count == 0 || app_count > VORN_MAX_REDIRECT_APPS) return STATUS_INVALID_PARAMETER;
    if (size != VORN_POLICY_HEADER_SIZE + VORN_POLICY_ENTRY_SIZE * app_count) return STATUS_INVALID_BUFFER_SIZE;
    if (root_count > VORN_MAX_ROOT_PROCESSES) return STATUS_INVALID_PARAMETER;

    ULONG roots[VORN_MAX_ROOT_PROCESSES];
    for (ULONG i = 0; i < VORN_MAX_ROOT_PROCESSES; ++i) roots[i] = read_u32(record + 20 + 4 * i);
    for (ULONG i = 0; i < root_count; ++i) {
        /* ascending, no repeats, no id 0 */
        if (roots[i] == 0 || (i > 0 && roots[i] <= roots[i - 1])) return STATUS_INVALID_PARAMETER;
    }
    for (ULONG i = root_count; i < VORN_MAX_ROOT_PROCESSES; ++i) {
        if (roots[i] != 0) return STATUS_INVALID_PARAMETER;
    }
    for (ULONG i = 0; i < app_count; ++i) {
        if (!entry_valid(record + VORN_POLICY_HEADER_SIZE + VORN_POLICY_ENTRY_SIZE * i, i)) return STATUS_INVALID_PARAMETER;
    }

    ExAcquireFastMutex(&g_lock);
    g_state.held = TRUE;
    g_state.service_pid = service_pid;
    g_state.proxy_port = port;
    g_state.app_count = app_count;
    g_state.root_count = root_count;
    RtlCopyMemory(g_state.roots, roots, sizeof(roots));
    g_state.accepted++;
    ExReleaseFastMutex(&g_lock);
    return STATUS_SUCCESS;
}

static void clear_policy(void) {
    ExAcquireFastMutex(&g_lock);
    ULONG accepted = g_state.accepted;
    RtlZeroMemory(&g_state, sizeof(g_state));
    g_state.accepted = accepted;
    ExReleaseFastMutex(&g_lock);
}

static void diagnostics(UCHAR* out) {
    RtlZeroMemory(out, VORN_DIAGNOSTICS_SIZE);
    ExAcquireFastMutex(&g_lock);
    write_u32(out, VORN_PROTOCOL_VERSION);
    write_u32(out + 4, g_state.held ? g_state.root_count : 0);
    write_u32(out + 8, g_state.held ? g_state.app_count : 0);
    out[12] = (UCHAR)g_state.proxy_port;
    out[13] = (UCHAR)(g_state.proxy_port >> 8);
    write_u32(out + 16, g_state.accepted);
    ExReleaseFastMutex(&g_lock);
}

static NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS dispatch_open_close(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS dispatch_control(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG in_size = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out_size = stack->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR* buffer = (UCHAR*)irp->AssociatedIrp.SystemBuffer;

    switch (code) {
    case VORN_IOCTL_SET_POLICY:
        if (buffer == NULL) return complete(irp, STATUS_INVALID_PARAMETER, 0);
        return complete(irp, set_policy(buffer, in_size), 0);
    case VORN_IOCTL_CLEAR_POLICY:
        clear_policy();
        return complete(irp, STATUS_SUCCESS, 0);
    case VORN_IOCTL_QUERY_DIAGNOSTICS:
        if (buffer == NULL || out_size < VORN_DIAGNOSTICS_SIZE) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        diagnostics(buffer);
        return complete(irp, STATUS_SUCCESS, VORN_DIAGNOSTICS_SIZE);
    case VORN_IOCTL_SIM_POLICY_OWNER:
        if (buffer == NULL || out_size < 4) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        ExAcquireFastMutex(&g_lock);
        write_u32(buffer, g_state.held ? g_state.service_pid : 0);
        ExReleaseFastMutex(&g_lock);
        return complete(irp, STATUS_SUCCESS, 4);
    default:
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static void NTAPI driver_unload(PDRIVER_OBJECT driver) {
    (void)driver;
    UNICODE_STRING link = link_name();
    IoDeleteSymbolicLink(&link);
    if (g_device != NULL) IoDeleteDevice(g_device);
    g_device = NULL;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    (void)registry_path;
    ExInitializeFastMutex(&g_lock);
    RtlZeroMemory(&g_state, sizeof(g_state));

    UNICODE_STRING name = device_name();
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_NETWORK, 0, FALSE, &g_device);
    if (!NT_SUCCESS(status)) return status;
    UNICODE_STRING link = link_name();
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(g_device);
        g_device = NULL;
        return status;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_open_close;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_open_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_control;
    driver->DriverUnload = driver_unload;
    return STATUS_SUCCESS;
}
