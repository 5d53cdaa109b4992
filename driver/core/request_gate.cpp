#include "core/request_gate.h"

#include "core/driver_entry.h"
#include "core/naming.h"
#include "usb/strings.h"

namespace hollin {
namespace {

void CompleteWith(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

PIRP IrpOfEntry(PLIST_ENTRY entry) { return CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry); }

}  // namespace

LONG IoCountAcquire(ParentExtension* extension) {
  LONG count = extension->IoCount;
  if (count < 0) {
    if (extension->AssertFlags & kEnableAssert) DbgBreakPoint();
    return count;
  }
  count = InterlockedIncrement(&extension->IoCount);
  if (count == 2) KeClearEvent(&extension->IdleEvent);
  return count;
}

LONG IoCountRelease(ParentExtension* extension) {
  LONG count = extension->IoCount;
  if (count < 1) {
    if (extension->AssertFlags & kEnableAssert) DbgBreakPoint();
    return count;
  }
  count = InterlockedDecrement(&extension->IoCount);
  if (count == 1) KeSetEvent(&extension->IdleEvent, IO_NO_INCREMENT, FALSE);
  if (count < 1 && extension->PnpState == Removed) {
    KeSetEvent(&extension->RemoveEvent, IO_NO_INCREMENT, FALSE);
  }
  return count;
}

VOID IoCountReleaseAndDrain(ParentExtension* extension) {
  KeResetEvent(&extension->RemoveEvent);
  if (extension->IoCount > 0 && InterlockedDecrement(&extension->IoCount) > 0) {
    KeWaitForSingleObject(&extension->RemoveEvent, Executive, KernelMode, FALSE, nullptr);
  }
  LARGE_INTEGER delay;
  delay.QuadPart = -10000LL * ParameterValue(extension, ParamRemoveDelayInMsec, 50);
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

NTSTATUS HoldRequest(ParentExtension* extension, PIRP irp, PDRIVER_DISPATCH entry) {
  irp->Tail.Overlay.DriverContext[0] = reinterpret_cast<PVOID>(entry);
  KIRQL irql;
  KeAcquireSpinLock(&extension->HoldLock, &irql);
  InsertTailList(&extension->HoldQueue, &irp->Tail.Overlay.ListEntry);
  (void)IoSetCancelRoutine(irp, CancelHeldRequest);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&extension->HoldLock, irql);
    CompleteWith(irp, STATUS_CANCELLED);
    return STATUS_CANCELLED;
  }
  // Not cancelled, or cancelled with the cancel routine already running: that routine
  // completes it.
  IoMarkIrpPending(irp);
  KeReleaseSpinLock(&extension->HoldLock, irql);
  return STATUS_PENDING;
}

VOID NTAPI CancelHeldRequest(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  ParentExtension* extension = ParentOf(device);
  KIRQL irql;
  KeAcquireSpinLock(&extension->HoldLock, &irql);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&extension->HoldLock, irql);
  CompleteWith(irp, STATUS_CANCELLED);
}

VOID ReleaseHeldRequests(PDEVICE_OBJECT device) {
  ParentExtension* extension = ParentOf(device);
  LIST_ENTRY cancelled;
  InitializeListHead(&cancelled);
  KIRQL irql;
  KeAcquireSpinLock(&extension->HoldLock, &irql);
  while (extension->Gate != GateHold && !IsListEmpty(&extension->HoldQueue)) {
    PIRP irp = IrpOfEntry(RemoveHeadList(&extension->HoldQueue));
    if (!IoSetCancelRoutine(irp, nullptr)) {
      // The cancel routine is running and will unlink the IRP: let that unlink touch only the
      // IRP itself.
      InitializeListHead(&irp->Tail.Overlay.ListEntry);
      continue;
    }
    if (irp->Cancel) {
      InsertTailList(&cancelled, &irp->Tail.Overlay.ListEntry);
      continue;
    }
    LONG gate = extension->Gate;
    KeReleaseSpinLock(&extension->HoldLock, irql);
    if (gate == GatePass) {
      auto entry = reinterpret_cast<PDRIVER_DISPATCH>(irp->Tail.Overlay.DriverContext[0]);
      entry(device, irp);
    } else {
      CompleteWith(irp, STATUS_DELETE_PENDING);
    }
    KeAcquireSpinLock(&extension->HoldLock, &irql);
  }
  KeReleaseSpinLock(&extension->HoldLock, irql);
  while (!IsListEmpty(&cancelled))
    CompleteWith(IrpOfEntry(RemoveHeadList(&cancelled)), STATUS_CANCELLED);
}

NTSTATUS NTAPI PassDown(PDEVICE_OBJECT device, PIRP irp) {
  ParentExtension* extension = ParentOrNull(device);
  if (!extension || !irp) return STATUS_INVALID_PARAMETER;
  NTSTATUS status;
  bool power = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER;
  DriverRecord* record = extension->Header.DriverRecord;
  if (extension->Gate == GateReject) {
    status = STATUS_DELETE_PENDING;
  } else if (KeGetCurrentIrql() >= DISPATCH_LEVEL && extension->DevicePowerState != PowerDeviceD0) {
    status = STATUS_DEVICE_NOT_READY;
  } else if (!extension->Header.TargetDevice) {
    status = STATUS_INVALID_PARAMETER;
  } else {
    // Systems that serialise power IRPs need the next one started while this location is ours.
    if (power && record && record->PoStartNextPowerIrpRoutine)
      record->PoStartNextPowerIrpRoutine(irp);
    IoSkipCurrentIrpStackLocation(irp);
    if (power && record && record->PoCallDriverRoutine) {
      return record->PoCallDriverRoutine(extension->Header.TargetDevice, irp);
    }
    return IoCallDriver(extension->Header.TargetDevice, irp);
  }
  if (power && record && record->PoStartNextPowerIrpRoutine)
    record->PoStartNextPowerIrpRoutine(irp);
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

VOID StopParentDevice(PDEVICE_OBJECT device) {
  ParentExtension* extension = ParentOf(device);
  extension->Stopping = TRUE;
  DeleteSymbolicLinks(extension);
}

VOID DeleteParentDevice(PDEVICE_OBJECT device) {
  ParentExtension* extension = ParentOf(device);
  LONG guard = InterlockedIncrement(&extension->Header.OpenGuard);
  if (extension->Header.OpenCount != 0 || guard != 1) {
    InterlockedDecrement(&extension->Header.OpenGuard);
    return;
  }
  const DriverDescriptor* descriptor = extension->Header.Descriptor;
  if (descriptor && descriptor->OnDeviceDelete) descriptor->OnDeviceDelete(device);
  if (extension->Header.TargetDevice) IoDetachDevice(extension->Header.TargetDevice);
  extension->Header.TargetDevice = nullptr;
  extension->Header.BusDevice = nullptr;
  if (descriptor && descriptor->OnDeviceCleanup) descriptor->OnDeviceCleanup(device);

  DriverRecord* record = extension->Header.DriverRecord;
  if (record) {
    if (extension->DeviceListEntry.Flink) RemoveEntryList(&extension->DeviceListEntry);
    extension->DeviceListEntry.Flink = extension->DeviceListEntry.Blink = nullptr;
    extension->Header.DriverRecord = nullptr;
    if (InterlockedDecrement(&record->DeviceCount) == 0) ReleaseDriverRecord(record);
  }

  if (extension->Capabilities) ExFreePoolWithTag(extension->Capabilities, kPoolTag);
  if (extension->LegacyCapabilities) ExFreePoolWithTag(extension->LegacyCapabilities, kPoolTag);
  extension->Capabilities = nullptr;
  extension->LegacyCapabilities = nullptr;
  FreeUnicodeString(&extension->DeviceName);
  FreeUnicodeString(&extension->SymbolicLinkName);
  FreeRegisteredInterfaces(extension);
  if (extension->Header.Parameters) ExFreePoolWithTag(extension->Header.Parameters, kPoolTag);
  if (extension->Trace.Buffer) TraceFree(&extension->Trace);
  extension->Header.Parameters = nullptr;
  IoDeleteDevice(device);
}

}  // namespace hollin
