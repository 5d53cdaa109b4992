// The driver's own descriptor and its AddDevice.
#pragma once

#include "core/hollin_platform.h"

#include "core/device_extension.h"

namespace hollin {
extern const DriverDescriptor HollinDescriptor;
NTSTATUS NTAPI HollinAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
}  // namespace hollin
