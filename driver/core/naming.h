// The parent device object's creation, its instance number, its names and its symbolic link.
#pragma once

#include "core/hollin_platform.h"

#include "core/device_extension.h"

namespace hollin {

// Instance numbers are kept below this; the names carry their last three digits.
constexpr ULONG kInstanceNumberLimit = 1024;

// On success the device exists, is in record->DeviceList and has its symbolic link. When the
// link cannot be made the device still exists (and *device is set) so that the caller deletes it.
NTSTATUS CreateParentDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, PDEVICE_OBJECT* device,
                            DriverRecord* record, const DriverDescriptor* descriptor);

// Writes `number` into the end of the NUL-terminated string; returns its new length in
// characters. A string ending in "###" gets the number with as many digits as it needs (at most
// three); any other string gets its last three characters replaced by three digits.
ULONG PutNumber(PWSTR string, ULONG number);

VOID DeleteSymbolicLinks(ParentExtension* extension);
// Frees the client's device-interface table and the names in it.
VOID FreeRegisteredInterfaces(ParentExtension* extension);

}  // namespace hollin
