// The driver object's major-function routines once a DriverRecord exists: each hands the IRP to
// the Dispatch table of the device object it was sent to, so parent and child devices of the one
// driver object are dispatched differently.
#pragma once

#include "core/hollin_platform.h"

#include "core/device_extension.h"

namespace hollin {

// Entry i serves major function i.
extern const PDRIVER_DISPATCH Forwarders[kMajorFunctionCount];

// Reads the major function from the current stack location.
NTSTATUS NTAPI ForwardByStackLocation(PDEVICE_OBJECT device, PIRP irp);

}  // namespace hollin
