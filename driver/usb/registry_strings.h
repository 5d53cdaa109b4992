// Strings and numbers under a device's driver key (the key of the physical device object).
#pragma once

#include "core/hollin_platform.h"

namespace hollin {

constexpr ACCESS_MASK kKeyRead = 0x20019;       // KEY_READ
constexpr ACCESS_MASK kKeyAllAccess = 0xF003F;  // KEY_ALL_ACCESS

// Opens the key through the routine the companion driver hands out; the caller closes it.
NTSTATUS OpenDeviceKey(PDEVICE_OBJECT pdo, ULONG keyType, ACCESS_MASK access, PHANDLE key);

// `path` is "sub\\key\\Value" or "Value". On success *out is a NUL-terminated pool copy of the
// REG_SZ data, which the caller frees with ExFreePool.
NTSTATUS ReadDeviceKeyString(PDEVICE_OBJECT pdo, ULONG keyType, const WCHAR* path, PWSTR* out);
NTSTATUS ReadPublishedDeviceName(PDEVICE_OBJECT pdo, ULONG keyType, const WCHAR* valueName,
                                 PWSTR* out);
NTSTATUS WriteSavedInstanceNumber(PDEVICE_OBJECT pdo, ULONG keyType, const WCHAR* valueName,
                                  const ULONG* number);

}  // namespace hollin
