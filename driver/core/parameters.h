// The device's registry parameters: the 23-entry ParameterBlock and single numbers read from the
// driver key.
#pragma once

#include "core/hollin_platform.h"

#include "core/device_extension.h"

namespace hollin {

struct ParameterDefinition {
  const WCHAR* Name;
  ULONG Default;
};

// In ParameterIndex order.
extern const ParameterDefinition ParameterTable[ParameterCount];

// One number under an open key. A missing value is STATUS_OBJECT_NAME_NOT_FOUND.
NTSTATUS QueryNumberValue(HANDLE key, const WCHAR* name, ULONG* value);

// Allocates the block into *block and fills it; a missing value takes its default with Present 0,
// any other failure stops the read and is returned (the block stays allocated for the caller to
// free with the device).
NTSTATUS ReadParameterTable(ParameterBlock** block, const ParameterDefinition* table, ULONG count,
                            HANDLE key);
// Opens the PDO's driver key for reading, reads one number and closes the key again.
NTSTATUS ReadDeviceKeyValue(PDEVICE_OBJECT pdo, const WCHAR* name, ULONG* value);

}  // namespace hollin
