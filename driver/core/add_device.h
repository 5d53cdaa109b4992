// AddDevice: the parent device object, its parameters and every field the gate, Plug and Play,
// power and selective suspend rely on, the attachment to the stack and the capability query.
#pragma once

#include "core/hollin_platform.h"

#include "core/device_extension.h"

namespace hollin {

// The image's AddDevice passes its descriptor along.
NTSTATUS AddDeviceWithDescriptor(const DriverDescriptor* descriptor, PDRIVER_OBJECT driver,
                                 PDEVICE_OBJECT pdo);

// Asks the stack below the parent; answers STATUS_UNSUCCESSFUL on the system family that uses
// the other record.
NTSTATUS QueryCapabilities(PDEVICE_OBJECT device, PDEVICE_CAPABILITIES capabilities);
NTSTATUS QueryLegacyCapabilities(PDEVICE_OBJECT device, LegacyDeviceCapabilities* capabilities);

}  // namespace hollin
