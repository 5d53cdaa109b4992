#include "core/add_device.h"

#include "core/driver_entry.h"
#include "core/naming.h"
#include "core/parameters.h"
#include "core/request_gate.h"
#include "usb/registry_strings.h"

namespace hollin {
namespace {

constexpr ULONG kMaximumIntPipeInterval = 32;
constexpr ULONG kDefaultIdleInterval = 5000;
constexpr ULONG kMaximumUsbTimeoutMs = 120000;
constexpr ULONG kSuspendFlagsMask = 0xE;
constexpr ULONG kDefaultSuspendFlag = 0x2;

NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends IRP_MN_QUERY_CAPABILITIES with `buffer` to the device below and waits for it.
NTSTATUS SendCapabilityQuery(ParentExtension* extension, PVOID buffer) {
  PDEVICE_OBJECT target = extension->Header.TargetDevice;
  if (!target) return STATUS_INVALID_DEVICE_STATE;
  PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_PNP;
  stack->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
  stack->Parameters.DeviceCapabilities.Capabilities = static_cast<PDEVICE_CAPABILITIES>(buffer);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(target, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

ULONG DirectRead(PDEVICE_OBJECT pdo, const WCHAR* name, ULONG fallback) {
  ULONG value;
  return NT_SUCCESS(ReadDeviceKeyValue(pdo, name, &value)) ? value : fallback;
}

NTSTATUS PrepareDevice(const DriverDescriptor* descriptor, PDEVICE_OBJECT device,
                       PDEVICE_OBJECT pdo) {
  ParentExtension* extension = ParentOf(device);
  DriverRecord* record = extension->Header.DriverRecord;
  ULONG version = record->SystemVersion;

  extension->Header.Descriptor = descriptor;
  extension->Header.Parameters = nullptr;
  KeInitializeMutex(&extension->PowerMutex, 0);
  device->Flags |= DO_DIRECT_IO;
  if (version != 1) device->Flags |= DO_POWER_PAGABLE;
  extension->Header.BusDevice = pdo;
  extension->PoolTag = kPoolTag;

  // The gate holds everything until AddDevice is over; set up before anything can fail so that
  // deletion always finds a consistent device.
  extension->IoCount = 0;
  extension->PowerIrpCount = 0;
  KeInitializeEvent(&extension->SurpriseRemovalEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&extension->RemoveEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&extension->IdleEvent, NotificationEvent, TRUE);
  extension->HoldMask = kHoldEverything;
  extension->Gate = GateHold;
  InitializeListHead(&extension->HoldQueue);
  KeInitializeSpinLock(&extension->HoldLock);

  HANDLE key;
  NTSTATUS status = OpenDeviceKey(pdo, PLUGPLAY_REGKEY_DRIVER, kKeyRead, &key);
  if (!NT_SUCCESS(status)) return status;
  status = ReadParameterTable(&extension->Header.Parameters, ParameterTable, ParameterCount, key);
  ZwClose(key);
  if (!NT_SUCCESS(status)) return status;
  const ParameterEntry* parameters = extension->Header.Parameters->Entries;

  status = TraceInit(&extension->Trace);
  if (!NT_SUCCESS(status)) return status;

  ULONG interval = parameters[ParamMinimumIntPipeInterval].Value;
  extension->MinimumIntPipeInterval =
      interval > kMaximumIntPipeInterval ? kMaximumIntPipeInterval : interval;

  extension->EnableCR3329 = version >= 4 ? DirectRead(pdo, WIDE("EnableCR3329"), 0) : 0;

  extension->IdleConfig = 0;
  extension->IdleFlags = 0;
  extension->IdleIrp = nullptr;
  extension->PowerRequestIrp = nullptr;
  extension->AllowRemoteWakeup = parameters[ParamAllowRemoteWakeup].Value;
  if (version >= 5) {
    extension->IdleConfig = parameters[ParamEnableSelectiveSuspend].Value;
    if (extension->IdleConfig) {
      ULONG idle = parameters[ParamSSIdleDetectionInterval].Value;
      extension->IdleInterval = (idle < 1000 || idle > 60000) ? kDefaultIdleInterval : idle;
      extension->MinSSElapsedTime = 10000LL * DirectRead(pdo, WIDE("MinSSElapsedTimeInMS"), 500);
      KeInitializeEvent(&extension->TickDone, NotificationEvent, TRUE);
      KeInitializeEvent(&extension->ResumeWorkDone, NotificationEvent, TRUE);
      KeInitializeEvent(&extension->ResumeDone, NotificationEvent, TRUE);
      KeInitializeEvent(&extension->IdleIrpDone, NotificationEvent, TRUE);
    }
  }
  extension->RemovableChildren = parameters[ParamRemovableChildren].Value;
  extension->EnableCR6394 = parameters[ParamEnableCR6394].Value;
  if (extension->IdleConfig && !(extension->IdleConfig & kSuspendFlagsMask)) {
    extension->IdleConfig |= kDefaultSuspendFlag;
  }

  extension->Header.TargetDevice = IoAttachDeviceToDeviceStack(device, pdo);
  if (!extension->Header.TargetDevice) return STATUS_UNSUCCESSFUL;

  extension->DebugLevel = parameters[ParamDebugLevel].Value;
  extension->AssertFlags =
      parameters[ParamEnableAssert].Present ? parameters[ParamEnableAssert].Value : 0;

  extension->SystemPowerState = PowerSystemWorking;
  extension->RequestedSystemState = PowerSystemWorking;
  extension->SetSystemState = PowerSystemWorking;
  extension->PreviousSystemPowerState = PowerSystemUnspecified;
  extension->DevicePowerState = PowerDeviceD0;
  extension->RequestedDeviceState = PowerDeviceD0;
  extension->SuspendDeviceState = PowerDeviceUnspecified;
  if (extension->IdleConfig) extension->SuspendTarget = PowerDeviceD0;
  if (record->PoSetPowerStateRoutine) {
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    record->PoSetPowerStateRoutine(device, DevicePowerState, state);
  }

  if (version == 1) {
    // Sized for the larger record: a bus driver may fill in more than the legacy 32 bytes.
    auto* legacy = static_cast<LegacyDeviceCapabilities*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(DEVICE_CAPABILITIES), kPoolTag));
    if (!legacy) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(legacy, sizeof(DEVICE_CAPABILITIES));
    extension->LegacyCapabilities = legacy;
    legacy->Size = sizeof(LegacyDeviceCapabilities);
    legacy->Version = 1;
    status = QueryLegacyCapabilities(device, legacy);
  } else {
    auto* capabilities = static_cast<PDEVICE_CAPABILITIES>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(DEVICE_CAPABILITIES), kPoolTag));
    if (!capabilities) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(capabilities, sizeof(DEVICE_CAPABILITIES));
    extension->Capabilities = capabilities;
    capabilities->Size = sizeof(DEVICE_CAPABILITIES);
    capabilities->Version = 1;
    capabilities->Address = 0xFFFFFFFF;
    capabilities->UINumber = 0xFFFFFFFF;
    status = QueryCapabilities(device, capabilities);
    if (NT_SUCCESS(status)) {
      DEVICE_POWER_STATE suspend = PowerDeviceUnspecified;
      const SYSTEM_POWER_STATE sleeping[] = {PowerSystemSleeping1, PowerSystemSleeping2,
                                             PowerSystemSleeping3};
      for (SYSTEM_POWER_STATE state : sleeping) {
        if (capabilities->DeviceState[state] < PowerDeviceD3) {
          suspend = capabilities->DeviceState[state];
        }
      }
      extension->SuspendDeviceState = suspend <= PowerDeviceD0 ? PowerDeviceD2 : suspend;
    }
  }
  if (!NT_SUCCESS(status)) return status;

  ULONG timeout = DirectRead(pdo, WIDE("EnableCUSBDTimeout"), 0);
  if (timeout > kMaximumUsbTimeoutMs) timeout = kMaximumUsbTimeoutMs;
  if (timeout) extension->UsbTimeout = 10000LL * timeout;
  extension->TimeoutDebug = DirectRead(pdo, WIDE("EnableCUSBDTimeoutDbg"), 0);

  if (descriptor->OnStartHook) {
    status = descriptor->OnStartHook(device);
    if (!NT_SUCCESS(status)) return status;
  }

  device->Flags &= ~DO_DEVICE_INITIALIZING;
  extension->HoldMask = kDefaultHoldMask;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS QueryCapabilities(PDEVICE_OBJECT device, PDEVICE_CAPABILITIES capabilities) {
  ParentExtension* extension = ParentOf(device);
  if (extension->Header.DriverRecord->SystemVersion == 1) return STATUS_UNSUCCESSFUL;
  return SendCapabilityQuery(extension, capabilities);
}

NTSTATUS QueryLegacyCapabilities(PDEVICE_OBJECT device, LegacyDeviceCapabilities* capabilities) {
  ParentExtension* extension = ParentOf(device);
  if (extension->Header.DriverRecord->SystemVersion != 1) return STATUS_UNSUCCESSFUL;
  return SendCapabilityQuery(extension, capabilities);
}

NTSTATUS AddDeviceWithDescriptor(const DriverDescriptor* descriptor, PDRIVER_OBJECT driver,
                                 PDEVICE_OBJECT pdo) {
  DriverRecord* record;
  NTSTATUS status = FindOrCreateDriverRecord(driver, descriptor, &record);
  if (!NT_SUCCESS(status)) return status;

  PDEVICE_OBJECT device = nullptr;
  status = CreateParentDevice(driver, pdo, &device, record, descriptor);
  if (NT_SUCCESS(status)) status = PrepareDevice(descriptor, device, pdo);
  if (NT_SUCCESS(status)) return STATUS_SUCCESS;

  if (device) {
    // The descriptor is set before anything in PrepareDevice can fail; a device that failed in
    // naming still needs it for its hooks.
    ParentOf(device)->Header.Descriptor = descriptor;
    StopParentDevice(device);
    DeleteParentDevice(device);
  } else if (record->DeviceCount == 0) {
    ReleaseDriverRecord(record);
  }
  return status;
}

}  // namespace hollin
