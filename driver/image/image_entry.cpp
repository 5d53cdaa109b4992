// The image entry of hollin.sys: the driver entry with the driver's own descriptor.
#include "core/driver_entry.h"
#include "core/hollin_descriptor.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  return hollin::DriverEntryWithDescriptor(&hollin::HollinDescriptor, driver, registryPath);
}
