#include "core/dispatch.h"

#include "core/idle_activity.h"
#include "core/request_gate.h"

namespace hollin {
namespace {

enum EntryRule : ULONG {
  ChecksReject = 0x01,
  Activity = 0x02,
  ChecksSuspended = 0x04,
  ActivityAfterHold = 0x08,  // the activity steps start only once the hold check let it through
  NeverHeld = 0x10,
  PowerRequest = 0x20,
};

constexpr ULONG kGetPortStatus = 0x220013;  // IOCTL_INTERNAL_USB_GET_PORT_STATUS

bool SerialSettingCode(ULONG code) {
  switch (code) {
    case 0x1B0004:  // IOCTL_SERIAL_SET_BAUD_RATE
    case 0x1B000C:  // IOCTL_SERIAL_SET_LINE_CONTROL
    case 0x1B0010:  // IOCTL_SERIAL_SET_BREAK_ON
    case 0x1B0014:  // IOCTL_SERIAL_SET_BREAK_OFF
    case 0x1B0018:  // IOCTL_SERIAL_IMMEDIATE_CHAR
    case 0x1B0024:  // IOCTL_SERIAL_SET_DTR
    case 0x1B0030:  // IOCTL_SERIAL_SET_RTS
    case 0x1B0038:  // IOCTL_SERIAL_SET_XOFF
    case 0x1B003C:  // IOCTL_SERIAL_SET_XON
    case 0x1B0064:  // IOCTL_SERIAL_SET_HANDFLOW
    case 0x1B007C:  // IOCTL_SERIAL_LSRMST_INSERT
      return true;
    default:
      return false;
  }
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Steps of an entry routine once its I/O count is held. *handlerCalled tells whether the
// handler itself ran (and may have deleted the device).
NTSTATUS RunCounted(PDEVICE_OBJECT device, PIRP irp, PDRIVER_DISPATCH HandlerTable::*slot,
                    PDRIVER_DISPATCH self, ULONG rules, bool* handlerCalled = nullptr) {
  ParentExtension* extension = ParentOf(device);
  if (handlerCalled) *handlerCalled = false;
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL && extension->DevicePowerState != PowerDeviceD0) {
    DriverRecord* record = extension->Header.DriverRecord;
    if ((rules & PowerRequest) && record && record->PoStartNextPowerIrpRoutine) {
      record->PoStartNextPowerIrpRoutine(irp);
    }
    irp->IoStatus.Information = 0;
    return Complete(irp, STATUS_DEVICE_NOT_READY);
  }
  const DriverDescriptor* descriptor = extension->Header.Descriptor;
  PDRIVER_DISPATCH handler = descriptor ? descriptor->Handlers.*slot : nullptr;
  if (!handler) return PassDown(device, irp);
  if ((rules & ChecksReject) && extension->Gate == GateReject) return PassDown(device, irp);

  ActivityState activity{};
  bool active = (rules & Activity) != 0;
  if (active) IdleWakeForRequest(extension, &activity);
  ULONG major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  if (!(rules & NeverHeld) && extension->Gate == GateHold &&
      (extension->HoldMask & (1u << major)) &&
      (!(rules & ChecksSuspended) || !extension->Suspended)) {
    NTSTATUS status = HoldRequest(extension, irp, self);
    if (active) IdleRestart(extension, &activity);
    return status;
  }
  if (rules & ActivityAfterHold) {
    active = true;
    IdleWakeForRequest(extension, &activity);
  }
  if (active) {
    IdleResumeGate(extension);
    IdleWakeDone(extension, &activity);
  }
  if (handlerCalled) *handlerCalled = true;
  NTSTATUS status = handler(device, irp);
  if (active) IdleRestart(extension, &activity);
  return status;
}

NTSTATUS RunEntry(PDEVICE_OBJECT device, PIRP irp, PDRIVER_DISPATCH HandlerTable::*slot,
                  PDRIVER_DISPATCH self, ULONG rules) {
  ParentExtension* extension = ParentOrNull(device);
  if (!extension || !irp) return STATUS_INVALID_PARAMETER;
  IoCountAcquire(extension);
  NTSTATUS status = RunCounted(device, irp, slot, self, rules);
  IoCountRelease(extension);
  return status;
}

// Plug and Play: after a remove the handler has drained the count and deleted the device, so
// nothing here may touch the extension again.
NTSTATUS RunPnpEntry(PDEVICE_OBJECT device, PIRP irp, PDRIVER_DISPATCH HandlerTable::*slot,
                     PDRIVER_DISPATCH self, bool legacy) {
  ParentExtension* extension = ParentOrNull(device);
  if (!extension || !irp) return STATUS_INVALID_PARAMETER;
  bool remove = IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE;
  ULONG rules = (legacy || remove) ? 0u : static_cast<ULONG>(ChecksReject);
  IoCountAcquire(extension);
  bool handlerCalled = false;
  NTSTATUS status = RunCounted(device, irp, slot, self, rules, &handlerCalled);
  if (!(remove && handlerCalled)) IoCountRelease(extension);
  return status;
}

}  // namespace

NTSTATUS NTAPI EntryCreate(PDEVICE_OBJECT device, PIRP irp) {
  ParentExtension* extension = ParentOrNull(device);
  if (!extension || !irp) return STATUS_INVALID_PARAMETER;
  LONG guard = InterlockedIncrement(&extension->Header.OpenGuard);
  const DriverDescriptor* descriptor = extension->Header.Descriptor;
  if (!descriptor || !descriptor->Handlers.OnCreate || extension->Gate == GateReject ||
      guard != 1) {
    InterlockedDecrement(&extension->Header.OpenGuard);
    irp->IoStatus.Information = 0;
    return Complete(irp, STATUS_ACCESS_DENIED);
  }
  IoCountAcquire(extension);
  InterlockedIncrement(&extension->CreateCount);
  NTSTATUS status =
      RunCounted(device, irp, &HandlerTable::OnCreate, EntryCreate, Activity | ChecksSuspended);
  IoCountRelease(extension);
  InterlockedDecrement(&extension->Header.OpenGuard);
  return status;
}

NTSTATUS NTAPI EntryClose(PDEVICE_OBJECT device, PIRP irp) {
  if (!ParentOrNull(device) || !irp) return STATUS_INVALID_PARAMETER;
  // The close may be the last thing keeping the device object alive.
  ObReferenceObject(device);
  NTSTATUS status =
      RunEntry(device, irp, &HandlerTable::OnClose, EntryClose, Activity | ChecksSuspended);
  ObDereferenceObject(device);
  return status;
}

NTSTATUS NTAPI EntryCleanup(PDEVICE_OBJECT device, PIRP irp) {
  ParentExtension* extension = ParentOrNull(device);
  if (!extension || !irp) return STATUS_INVALID_PARAMETER;
  if (IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length == PowerSystemShutdown) {
    extension->SystemPowerState = PowerSystemShutdown;
  }
  ULONG rules = ChecksSuspended;
  if (extension->SystemPowerState != PowerSystemShutdown) rules |= Activity;
  return RunEntry(device, irp, &HandlerTable::OnCleanup, EntryCleanup, rules);
}

NTSTATUS NTAPI EntryDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  if (!ParentOrNull(device) || !irp) return STATUS_INVALID_PARAMETER;
  ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
  ULONG rules = ChecksReject | ChecksSuspended;
  if (SerialSettingCode(code)) rules |= ActivityAfterHold;
  return RunEntry(device, irp, &HandlerTable::OnDeviceControl, EntryDeviceControl, rules);
}

NTSTATUS NTAPI EntryInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  if (!ParentOrNull(device) || !irp) return STATUS_INVALID_PARAMETER;
  ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
  ULONG rules = code == kGetPortStatus ? (ChecksReject | NeverHeld)
                                       : (ChecksReject | Activity | ChecksSuspended);
  return RunEntry(device, irp, &HandlerTable::OnInternalDeviceControl, EntryInternalDeviceControl,
                  rules);
}

NTSTATUS NTAPI EntryPnp(PDEVICE_OBJECT device, PIRP irp) {
  return RunPnpEntry(device, irp, &HandlerTable::OnPnp, EntryPnp, false);
}

NTSTATUS NTAPI EntryPnpLegacy(PDEVICE_OBJECT device, PIRP irp) {
  return RunPnpEntry(device, irp, &HandlerTable::OnPnpLegacy, EntryPnpLegacy, true);
}

NTSTATUS NTAPI EntryRead(PDEVICE_OBJECT device, PIRP irp) {
  return RunEntry(device, irp, &HandlerTable::OnRead, EntryRead,
                  ChecksReject | Activity | ChecksSuspended);
}

NTSTATUS NTAPI EntryWrite(PDEVICE_OBJECT device, PIRP irp) {
  return RunEntry(device, irp, &HandlerTable::OnWrite, EntryWrite,
                  ChecksReject | Activity | ChecksSuspended);
}

NTSTATUS NTAPI EntryQueryInformation(PDEVICE_OBJECT device, PIRP irp) {
  return RunEntry(device, irp, &HandlerTable::OnQueryInformation, EntryQueryInformation,
                  ChecksReject);
}

NTSTATUS NTAPI EntrySetInformation(PDEVICE_OBJECT device, PIRP irp) {
  return RunEntry(device, irp, &HandlerTable::OnSetInformation, EntrySetInformation, ChecksReject);
}

NTSTATUS NTAPI EntryPower(PDEVICE_OBJECT device, PIRP irp) {
  ParentExtension* extension = ParentOrNull(device);
  if (!extension || !irp) return STATUS_INVALID_PARAMETER;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  bool systemRequest =
      (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) &&
      stack->Parameters.Power.Type == SystemPowerState;
  IoCountAcquire(extension);
  NTSTATUS status;
  if (systemRequest && extension->PnpState != Started) {
    // A device that is not started has no power policy to apply yet.
    status = PassDown(device, irp);
  } else {
    status =
        RunCounted(device, irp, &HandlerTable::OnPower, EntryPower, ChecksSuspended | PowerRequest);
  }
  IoCountRelease(extension);
  return status;
}

NTSTATUS NTAPI EntryPowerLegacy(PDEVICE_OBJECT device, PIRP irp) {
  return RunEntry(device, irp, &HandlerTable::OnPowerLegacy, EntryPowerLegacy,
                  ChecksReject | PowerRequest);
}

NTSTATUS NTAPI EntrySystemControl(PDEVICE_OBJECT device, PIRP irp) {
  return RunEntry(device, irp, &HandlerTable::OnSystemControl, EntrySystemControl,
                  ChecksReject | Activity | ChecksSuspended);
}

// ---- the parent's handlers ----------------------------------------------------------------------

NTSTATUS NTAPI ParentRefuse(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Information = 0;
  return Complete(irp, STATUS_INVALID_PARAMETER);
}

NTSTATUS NTAPI ParentPassToTarget(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_OBJECT target = HeaderOf(device)->TargetDevice;
  if (!target) return ParentRefuse(device, irp);
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(target, irp);
}

NTSTATUS NTAPI ParentQueryInformation(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG size;
  switch (stack->Parameters.QueryFile.FileInformationClass) {
    case FileStandardInformation:
      size = sizeof(FILE_STANDARD_INFORMATION);
      break;
    case FilePositionInformation:
      size = sizeof(FILE_POSITION_INFORMATION);
      break;
    default:
      irp->IoStatus.Information = 0;
      return Complete(irp, STATUS_INVALID_PARAMETER);
  }
  PVOID buffer = irp->AssociatedIrp.SystemBuffer;
  // Never more than the caller's buffer holds.
  if (size > stack->Parameters.QueryFile.Length) size = stack->Parameters.QueryFile.Length;
  if (!buffer && size) {
    irp->IoStatus.Information = 0;
    return Complete(irp, STATUS_INVALID_PARAMETER);
  }
  if (size) RtlZeroMemory(buffer, size);
  irp->IoStatus.Information = size;
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI ParentSetInformation(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  irp->IoStatus.Information = 0;
  return Complete(irp, stack->Parameters.SetFile.FileInformationClass == FileEndOfFileInformation
                           ? STATUS_SUCCESS
                           : STATUS_INVALID_PARAMETER);
}

}  // namespace hollin
