// Driver entry and unload, and the DriverRecord that the first AddDevice creates: while it exists
// the driver object's major functions are the forwarders, and the routines the driver entry set
// are kept in the record.
#pragma once

#include "core/hollin_platform.h"

#include "core/device_extension.h"

namespace hollin {

// The image entry calls this with the driver's constant descriptor.
NTSTATUS DriverEntryWithDescriptor(const DriverDescriptor* descriptor, PDRIVER_OBJECT driver,
                                   PUNICODE_STRING registryPath);
VOID NTAPI DriverUnload(PDRIVER_OBJECT driver);

// Finds the record of an existing device of the driver or creates one and installs the
// forwarders. A record created here with no device yet is released again on failure.
NTSTATUS FindOrCreateDriverRecord(PDRIVER_OBJECT driver, const DriverDescriptor* descriptor,
                                  DriverRecord** record);
// Puts the saved routines back into the driver object and frees the record.
VOID ReleaseDriverRecord(DriverRecord* record);

}  // namespace hollin
