#include "core/registry_values.h"

#include "core/dunmore.h"

namespace {

const ULONG kPathTag = 0x68506C48;  // 'HlPh'

enum ReadMode { ReadNumber, ReadBytes, ReadLength };

struct ReadContext {
  ReadMode mode;
  BOOLEAN allowString;
  PULONG value;
  PVOID buffer;
  ULONG bufferLength;
  ULONG dataLength;
};

NTSTATUS NTAPI QueryRoutine(PWSTR, ULONG type, PVOID data, ULONG length, PVOID context, PVOID) {
  auto* read = (ReadContext*)context;
  switch (read->mode) {
    case ReadNumber:
      return DecodeValue(type, data, length, read->allowString, read->value);
    case ReadBytes:
      if (type != REG_BINARY) return STATUS_UNSUCCESSFUL;
      if (length > read->bufferLength) return STATUS_BUFFER_TOO_SMALL;
      RtlCopyMemory(read->buffer, data, length);
      read->dataLength = length;
      return STATUS_SUCCESS;
    case ReadLength:
      if (type != REG_BINARY) return STATUS_UNSUCCESSFUL;
      read->dataLength = length;
      return STATUS_SUCCESS;
  }
  return STATUS_UNSUCCESSFUL;
}

ULONG WideLength(PCWSTR text) {
  ULONG n = 0;
  while (text[n]) ++n;
  return n;
}

// Opens the PDO's driver key, splits the path at its last backslash into a subkey entry and
// the value entry, and runs the query table against the key handle.
NTSTATUS QueryByPath(PDEVICE_OBJECT pdo, PCWSTR path, ReadContext* read) {
  IoOpenDeviceRegistryKeyRoutine open = nullptr;
  NTSTATUS status = SelkWH_FindIoOpenDeviceRegistryKey((PVOID*)&open);
  if (!NT_SUCCESS(status)) return status;
  if (!open) return STATUS_UNSUCCESSFUL;
  HANDLE key = nullptr;
  status = open(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key);
  if (!NT_SUCCESS(status)) return status;

  ULONG length = WideLength(path);
  ULONG split = length;
  for (ULONG i = 0; i < length; ++i) {
    if (path[i] == WIDE('\\')) split = i;
  }
  PWSTR subkey = nullptr;
  RTL_QUERY_REGISTRY_TABLE table[3];
  RtlZeroMemory(table, sizeof table);
  RTL_QUERY_REGISTRY_TABLE* entry = table;
  PCWSTR valueName = path;
  if (split < length) {
    subkey = (PWSTR)ExAllocatePoolWithTag(PagedPool, (split + 1) * sizeof(WCHAR), kPathTag);
    if (!subkey) {
      ZwClose(key);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(subkey, path, split * sizeof(WCHAR));
    subkey[split] = 0;
    entry->Flags = RTL_QUERY_REGISTRY_SUBKEY;
    entry->Name = subkey;
    ++entry;
    valueName = path + split + 1;
  }
  entry->QueryRoutine = QueryRoutine;
  entry->Flags = RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_NOEXPAND;
  entry->Name = (PWSTR)valueName;
  status = RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, (PCWSTR)key, table, read, nullptr);
  if (subkey) ExFreePoolWithTag(subkey, kPathTag);
  ZwClose(key);
  return status;
}

}  // namespace

NTSTATUS DecodeValue(ULONG type, const VOID* data, ULONG length, BOOLEAN allowString,
                     PULONG value) {
  const UCHAR* bytes = (const UCHAR*)data;
  if (type == REG_DWORD && length >= 4) {
    *value = (ULONG)bytes[0] | ((ULONG)bytes[1] << 8) | ((ULONG)bytes[2] << 16) |
             ((ULONG)bytes[3] << 24);
    return STATUS_SUCCESS;
  }
  if (type == REG_BINARY && length >= 1) {
    ULONG result = 0;
    for (ULONG i = 0; i < length && i < 4; ++i) result |= (ULONG)bytes[i] << (8 * i);
    *value = result;
    return STATUS_SUCCESS;
  }
  if (type == REG_SZ && allowString && length >= sizeof(WCHAR)) {
    // The data may or may not carry its terminator.
    const WCHAR* text = (const WCHAR*)data;
    ULONG chars = length / sizeof(WCHAR);
    while (chars > 0 && text[chars - 1] == 0) --chars;
    if (chars == 0) return STATUS_UNSUCCESSFUL;
    UNICODE_STRING string;
    string.Buffer = (PWSTR)text;
    string.Length = (USHORT)(chars * sizeof(WCHAR));
    string.MaximumLength = string.Length;
    return RtlUnicodeStringToInteger(&string, 10, value);
  }
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS ReadValueByPath(PDEVICE_OBJECT pdo, PCWSTR path, PULONG value) {
  ReadContext read = {ReadNumber, FALSE, value, nullptr, 0, 0};
  return QueryByPath(pdo, path, &read);
}

NTSTATUS ReadBytesByPath(PDEVICE_OBJECT pdo, PCWSTR path, PVOID buffer, ULONG bufferLength,
                         PULONG dataLength) {
  ReadContext read = {buffer ? ReadBytes : ReadLength, FALSE, nullptr, buffer, bufferLength, 0};
  NTSTATUS status = QueryByPath(pdo, path, &read);
  *dataLength = NT_SUCCESS(status) ? read.dataLength : 0;
  return status;
}

NTSTATUS ReadValueFromKey(PCWSTR keyPath, PCWSTR valueName, PULONG value) {
  ReadContext read = {ReadNumber, TRUE, value, nullptr, 0, 0};
  RTL_QUERY_REGISTRY_TABLE table[2];
  RtlZeroMemory(table, sizeof table);
  table[0].QueryRoutine = QueryRoutine;
  table[0].Flags = RTL_QUERY_REGISTRY_REQUIRED;
  table[0].Name = (PWSTR)valueName;
  return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, keyPath, table, &read, nullptr);
}
