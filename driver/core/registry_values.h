// Reading 32-bit values and binary data from a device's driver key (also by a relative path)
// and from absolute registry paths, with one decoding rule for all readers.
#pragma once

#include "core/hollin_platform.h"

// REG_DWORD of at least 4 bytes → the first 4; REG_BINARY of 1 or more bytes → the first
// min(length, 4) as a little-endian number; REG_SZ, when `allowString`, → the text as a decimal
// number. Anything else, or empty data, is STATUS_UNSUCCESSFUL.
NTSTATUS DecodeValue(ULONG type, const VOID* data, ULONG length, BOOLEAN allowString, PULONG value);

// `path` is relative to the PDO's driver key: "Subkey\\...\\Value" or just "Value".
NTSTATUS ReadValueByPath(PDEVICE_OBJECT pdo, PCWSTR path, PULONG value);
// REG_BINARY data into `buffer` (bufferLength bytes; STATUS_BUFFER_TOO_SMALL when it does not
// fit), or with a null buffer only its length. *dataLength is 0 after any failure.
NTSTATUS ReadBytesByPath(PDEVICE_OBJECT pdo, PCWSTR path, PVOID buffer, ULONG bufferLength,
                         PULONG dataLength);
// A value under an absolute key path; strings are read as decimal numbers.
NTSTATUS ReadValueFromKey(PCWSTR keyPath, PCWSTR valueName, PULONG value);
