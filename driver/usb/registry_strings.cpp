#include "usb/registry_strings.h"

#include "core/device_extension.h"
#include "core/dunmore.h"
#include "usb/strings.h"

namespace hollin {

NTSTATUS OpenDeviceKey(PDEVICE_OBJECT pdo, ULONG keyType, ACCESS_MASK access, PHANDLE key) {
  *key = nullptr;
  PVOID routine = nullptr;
  NTSTATUS status = SelkWH_FindIoOpenDeviceRegistryKey(&routine);
  if (!NT_SUCCESS(status)) return status;
  if (!routine) return STATUS_NOT_FOUND;
  return reinterpret_cast<IoOpenDeviceRegistryKeyRoutine>(routine)(pdo, keyType, access, key);
}

namespace {

NTSTATUS NTAPI CopyStringValue(PWSTR, ULONG type, PVOID data, ULONG length, PVOID,
                               PVOID entryContext) {
  if (type != REG_SZ) return STATUS_UNSUCCESSFUL;
  if (length == 0) return STATUS_INVALID_PARAMETER;
  // Room for a NUL of our own: REG_SZ data written without one must not come back unterminated.
  SIZE_T bytes = ((static_cast<SIZE_T>(length) + 1) & ~static_cast<SIZE_T>(1)) + sizeof(WCHAR);
  auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, bytes, kPoolTag));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(buffer, bytes);
  RtlCopyMemory(buffer, data, length);
  PWSTR* out = static_cast<PWSTR*>(entryContext);
  if (*out) ExFreePoolWithTag(*out, kPoolTag);
  *out = buffer;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ReadDeviceKeyString(PDEVICE_OBJECT pdo, ULONG keyType, const WCHAR* path, PWSTR* out) {
  *out = nullptr;
  HANDLE key;
  NTSTATUS status = OpenDeviceKey(pdo, keyType, kKeyRead, &key);
  if (!NT_SUCCESS(status)) return status;

  SIZE_T length = WideLength(path);
  SIZE_T split = length;
  for (SIZE_T i = 0; i < length; ++i) {
    if (path[i] == '\\') split = i;
  }
  PWSTR subkey = nullptr;
  const WCHAR* valueName = path;
  status = STATUS_SUCCESS;
  if (split < length) {
    valueName = path + split + 1;
    subkey = static_cast<PWSTR>(
        ExAllocatePoolWithTag(NonPagedPool, (split + 1) * sizeof(WCHAR), kPoolTag));
    if (subkey) {
      RtlCopyMemory(subkey, path, split * sizeof(WCHAR));
      subkey[split] = 0;
    } else {
      status = STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  if (NT_SUCCESS(status)) {
    RTL_QUERY_REGISTRY_TABLE table[3];
    RtlZeroMemory(table, sizeof(table));
    ULONG entry = 0;
    if (subkey) {
      table[entry].Flags = RTL_QUERY_REGISTRY_SUBKEY;
      table[entry].Name = subkey;
      ++entry;
    }
    table[entry].QueryRoutine = CopyStringValue;
    table[entry].Flags = RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_NOEXPAND;
    table[entry].Name = const_cast<PWSTR>(valueName);
    table[entry].EntryContext = out;
    status = RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), table, nullptr,
                                    nullptr);
    if (!NT_SUCCESS(status) && *out) {
      ExFreePoolWithTag(*out, kPoolTag);
      *out = nullptr;
    }
  }
  if (subkey) ExFreePoolWithTag(subkey, kPoolTag);
  ZwClose(key);
  return status;
}

NTSTATUS ReadPublishedDeviceName(PDEVICE_OBJECT pdo, ULONG keyType, const WCHAR* valueName,
                                 PWSTR* out) {
  *out = nullptr;
  HANDLE key;
  NTSTATUS status = OpenDeviceKey(pdo, keyType, kKeyRead, &key);
  if (!NT_SUCCESS(status)) return status;

  // ULONG elements keep the record aligned.
  ULONG storage[512 / sizeof(ULONG)];
  auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(storage);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, valueName);
  ULONG resultLength = 0;
  status =
      ZwQueryValueKey(key, &name, KeyValueFullInformation, info, sizeof(storage), &resultLength);
  if (NT_SUCCESS(status) && info->Type != REG_SZ) status = STATUS_UNSUCCESSFUL;
  if (NT_SUCCESS(status) && (info->DataOffset > sizeof(storage) ||
                             info->DataLength > sizeof(storage) - info->DataOffset)) {
    status = STATUS_UNSUCCESSFUL;
  }
  if (NT_SUCCESS(status)) {
    SIZE_T bytes = ((static_cast<SIZE_T>(info->DataLength) + 1) & ~static_cast<SIZE_T>(1)) + 2;
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, bytes, kPoolTag));
    if (buffer) {
      RtlZeroMemory(buffer, bytes);
      RtlCopyMemory(buffer, reinterpret_cast<UCHAR*>(info) + info->DataOffset, info->DataLength);
      *out = buffer;
    } else {
      status = STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  ZwClose(key);
  return status;
}

NTSTATUS WriteSavedInstanceNumber(PDEVICE_OBJECT pdo, ULONG keyType, const WCHAR* valueName,
                                  const ULONG* number) {
  HANDLE key;
  NTSTATUS status = OpenDeviceKey(pdo, keyType, kKeyAllAccess, &key);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, valueName);
  ULONG value = *number;
  status = ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof(value));
  ZwClose(key);
  return status;
}

}  // namespace hollin
