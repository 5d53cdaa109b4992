// What every request of a parent device passes through: the in-progress count with its idle and
// drain events, the request gate with its hold queue, the pass-down default, and the final stop
// and deletion of the device.
#pragma once

#include "core/hollin_platform.h"

#include "core/device_extension.h"

namespace hollin {

LONG IoCountAcquire(ParentExtension* extension);
LONG IoCountRelease(ParentExtension* extension);
// Drops the caller's count and waits until no request is left inside the driver.
VOID IoCountReleaseAndDrain(ParentExtension* extension);

// Queues the IRP until the gate leaves GateHold; `entry` runs it again from the top then.
NTSTATUS HoldRequest(ParentExtension* extension, PIRP irp, PDRIVER_DISPATCH entry);
VOID NTAPI CancelHeldRequest(PDEVICE_OBJECT device, PIRP irp);
// Call whenever the gate leaves GateHold or becomes GateReject.
VOID ReleaseHeldRequests(PDEVICE_OBJECT device);

NTSTATUS NTAPI PassDown(PDEVICE_OBJECT device, PIRP irp);

VOID StopParentDevice(PDEVICE_OBJECT device);
VOID DeleteParentDevice(PDEVICE_OBJECT device);

}  // namespace hollin
