#include "core/driver_entry.h"

#include "core/dispatch.h"
#include "core/request_gate.h"
#include "usb/forwarders.h"

namespace hollin {
namespace {

bool SystemControlRegistered(ULONG version) { return version < 32 && ((1u << version) & 0x1FFC); }

template <typename Routine>
Routine FindRoutine(NTSTATUS(NTAPI* find)(PVOID*)) {
  PVOID routine = nullptr;
  find(&routine);
  return reinterpret_cast<Routine>(routine);
}

}  // namespace

NTSTATUS DriverEntryWithDescriptor(const DriverDescriptor* descriptor, PDRIVER_OBJECT driver,
                                   PUNICODE_STRING registryPath) {
  ULONG version = 0;
  NTSTATUS status = SelkWH_QuerySystemVersion(&version);
  if (!NT_SUCCESS(status)) return status;

  for (ULONG i = 0; i < kMajorFunctionCount; ++i) driver->MajorFunction[i] = PassDown;
  driver->DriverUnload = DriverUnload;
  driver->DriverExtension->AddDevice = descriptor->AddDevice;

  const HandlerTable& handlers = descriptor->Handlers;
  if (handlers.OnCreate) driver->MajorFunction[IRP_MJ_CREATE] = EntryCreate;
  if (handlers.OnClose) driver->MajorFunction[IRP_MJ_CLOSE] = EntryClose;
  if (handlers.OnCleanup) driver->MajorFunction[IRP_MJ_CLEANUP] = EntryCleanup;
  if (handlers.OnDeviceControl) driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = EntryDeviceControl;
  if (handlers.OnInternalDeviceControl) {
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = EntryInternalDeviceControl;
  }
  if (handlers.OnRead) driver->MajorFunction[IRP_MJ_READ] = EntryRead;
  if (handlers.OnWrite) driver->MajorFunction[IRP_MJ_WRITE] = EntryWrite;
  if (handlers.OnQueryInformation) {
    driver->MajorFunction[IRP_MJ_QUERY_INFORMATION] = EntryQueryInformation;
  }
  if (handlers.OnSetInformation)
    driver->MajorFunction[IRP_MJ_SET_INFORMATION] = EntrySetInformation;

  PDRIVER_DISPATCH power = version == 1 ? handlers.OnPowerLegacy : handlers.OnPower;
  if (power) {
    driver->MajorFunction[IRP_MJ_POWER] = power == handlers.OnPower ? EntryPower : EntryPowerLegacy;
  }
  PDRIVER_DISPATCH pnp = version == 1 ? handlers.OnPnpLegacy : handlers.OnPnp;
  if (pnp) driver->MajorFunction[IRP_MJ_PNP] = pnp == handlers.OnPnp ? EntryPnp : EntryPnpLegacy;
  if (SystemControlRegistered(version) && handlers.OnSystemControl) {
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = EntrySystemControl;
  }

  return descriptor->OnDriverInit ? descriptor->OnDriverInit(driver, registryPath) : STATUS_SUCCESS;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT driver) {
  PDEVICE_OBJECT device = driver->DeviceObject;
  while (device) {
    PDEVICE_OBJECT next = device->NextDevice;
    DeviceExtensionHeader* header = HeaderOf(device);
    // Only parents carry a descriptor; children go with their parent.
    if (header && header->Descriptor) {
      StopParentDevice(device);
      DeleteParentDevice(device);
    }
    device = next;
  }
}

NTSTATUS FindOrCreateDriverRecord(PDRIVER_OBJECT driver, const DriverDescriptor* descriptor,
                                  DriverRecord** out) {
  *out = nullptr;
  for (PDEVICE_OBJECT device = driver->DeviceObject; device; device = device->NextDevice) {
    DeviceExtensionHeader* header = HeaderOf(device);
    if (header && header->DriverRecord) {
      *out = header->DriverRecord;
      return STATUS_SUCCESS;
    }
  }

  auto* record = static_cast<DriverRecord*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(DriverRecord), kPoolTag));
  if (!record) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(record, sizeof(DriverRecord));
  record->DriverObject = driver;
  record->Descriptor = descriptor;
  InitializeListHead(&record->DeviceList);
  for (ULONG i = 0; i < kMajorFunctionCount; ++i) {
    record->SavedDispatch[i] = driver->MajorFunction[i];
    driver->MajorFunction[i] = Forwarders[i] ? Forwarders[i] : ForwardByStackLocation;
  }
  KeInitializeEvent(&record->RecordEvent, NotificationEvent, FALSE);
  record->PoCallDriverRoutine = FindRoutine<PoCallDriverRoutine>(SelkWH_FindPoCallDriver);
  record->PoStartNextPowerIrpRoutine =
      FindRoutine<PoStartNextPowerIrpRoutine>(SelkWH_FindPoStartNextPowerIrp);
  record->PoRequestPowerIrpRoutine =
      FindRoutine<PoRequestPowerIrpRoutine>(SelkWH_FindPoRequestPowerIrp);
  record->PoSetPowerStateRoutine = FindRoutine<PoSetPowerStateRoutine>(SelkWH_FindPoSetPowerState);

  NTSTATUS status = SelkWH_QuerySystemVersion(&record->SystemVersion);
  if (NT_SUCCESS(status) && descriptor->OnDriverRecordCreated) {
    status = descriptor->OnDriverRecordCreated(record);
  }
  if (!NT_SUCCESS(status)) {
    // No device can hold this record yet: undo the forwarders at once.
    record->Descriptor = nullptr;
    ReleaseDriverRecord(record);
    return status;
  }
  *out = record;
  return STATUS_SUCCESS;
}

VOID ReleaseDriverRecord(DriverRecord* record) {
  if (record->Descriptor && record->Descriptor->OnDriverRecordReleased) {
    record->Descriptor->OnDriverRecordReleased(record);
  }
  for (ULONG i = 0; i < kMajorFunctionCount; ++i) {
    record->DriverObject->MajorFunction[i] = record->SavedDispatch[i];
  }
  ExFreePoolWithTag(record, kPoolTag);
}

}  // namespace hollin
