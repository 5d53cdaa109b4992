#include "core/parameters.h"

#include "core/registry_values.h"
#include "usb/registry_strings.h"

namespace hollin {

const ParameterDefinition ParameterTable[ParameterCount] = {
    {WIDE("MCPCOperationalLink"), 0},
    {WIDE("MCPCOperationalMode"), 0},
    {WIDE("MinimumIntPipeInterval"), 0},
    {WIDE("EnableCR3329"), 0},
    {WIDE("AllowRemoteWakeup"), 0},
    {WIDE("EnableSelectiveSuspend"), 0},
    {WIDE("SSIdleDetectionInterval"), 5000},
    {WIDE("RemovableChildren"), 1},
    {WIDE("EnableCR3840"), 0},
    {WIDE("EnableCR6394"), 0},
    {WIDE("Configuration"), 0},
    {WIDE("SelkUSB_DebugLevel"), 0},
    {WIDE("EnableAssert"), 0},
    {WIDE("DeviceWatchdogIntervalInMsec"), 1000},
    {WIDE("InitActivityBugCheck"), 0},
    {WIDE("CUSBDTimeoutInMsec"), 30000},
    {WIDE("RemoveDelayInMsec"), 50},
    {WIDE("DevStateForS1"), 0},
    {WIDE("DevStateForS2"), 0},
    {WIDE("DevStateForS3"), 0},
    {WIDE("DevStateForS4"), 0},
    {WIDE("DevStateForS5"), 0},
    {WIDE("NotifyIoRetries"), 5},
};

NTSTATUS QueryNumberValue(HANDLE key, const WCHAR* name, ULONG* value) {
  ULONG storage[128 / sizeof(ULONG)];
  auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(storage);
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, name);
  ULONG resultLength = 0;
  NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info,
                                    sizeof(storage), &resultLength);
  if (!NT_SUCCESS(status)) return status;
  return DecodeValue(info->Type, info->Data, info->DataLength, FALSE, value);
}

NTSTATUS ReadParameterTable(ParameterBlock** block, const ParameterDefinition* table, ULONG count,
                            HANDLE key) {
  if (count > ParameterCount) return STATUS_INVALID_PARAMETER;
  auto* parameters = static_cast<ParameterBlock*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(ParameterBlock), kPoolTag));
  if (!parameters) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(parameters, sizeof(ParameterBlock));
  *block = parameters;
  for (ULONG i = 0; i < count; ++i) {
    ParameterEntry& entry = parameters->Entries[i];
    entry.Default = table[i].Default;
    NTSTATUS status = QueryNumberValue(key, table[i].Name, &entry.Value);
    if (NT_SUCCESS(status)) {
      entry.Present = 1;
    } else if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
      entry.Value = entry.Default;
      entry.Present = 0;
    } else {
      return status;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS ReadDeviceKeyValue(PDEVICE_OBJECT pdo, const WCHAR* name, ULONG* value) {
  HANDLE key;
  NTSTATUS status = OpenDeviceKey(pdo, PLUGPLAY_REGKEY_DRIVER, kKeyRead, &key);
  if (!NT_SUCCESS(status)) return status;
  status = QueryNumberValue(key, name, value);
  ZwClose(key);
  return status;
}

}  // namespace hollin
