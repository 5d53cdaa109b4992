// The fourteen entry routines that wrap every handler of a parent device with the same checks
// (IRQL and device power state, request gate, hold queue, selective-suspend activity, I/O
// count), and the parent's own handlers for the requests it answers itself.
#pragma once

#include "core/hollin_platform.h"

#include "core/device_extension.h"

namespace hollin {

NTSTATUS NTAPI EntryCreate(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI EntryClose(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI EntryCleanup(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI EntryDeviceControl(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI EntryInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI EntryPnp(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI EntryPnpLegacy(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI EntryRead(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI EntryWrite(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI EntryQueryInformation(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI EntrySetInformation(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI EntryPower(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI EntryPowerLegacy(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI EntrySystemControl(PDEVICE_OBJECT device, PIRP irp);

// The parent device's handlers. It cannot be opened, read or written: those are refused with
// STATUS_INVALID_PARAMETER.
NTSTATUS NTAPI ParentRefuse(PDEVICE_OBJECT device, PIRP irp);
// Control requests and system control go unchanged to the device below.
NTSTATUS NTAPI ParentPassToTarget(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI ParentQueryInformation(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI ParentSetInformation(PDEVICE_OBJECT device, PIRP irp);

}  // namespace hollin
