#include "core/trace.h"

namespace {

const ULONG kTraceTag = 0x72546C48;  // 'HlTr'

// A stack location is only readable while the IRP is at one of its own locations; the
// creator's view (CurrentLocation = StackCount + 1) points past the array.
PIO_STACK_LOCATION CurrentLocationOf(PIRP irp) {
  if (irp->CurrentLocation < 1 || irp->CurrentLocation > irp->StackCount) return nullptr;
  return IoGetCurrentIrpStackLocation(irp);
}

VOID Write(Trace* trace, ULONG kind, ULONG code, ULONG64 value, ULONG category, PVOID object,
           PVOID object2, PIRP irp) {
  if (!trace->Buffer) return;
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  ULONG timeMs = (ULONG)((now.QuadPart / 10000) % 86400000);
  KIRQL old;
  KeAcquireSpinLock(&trace->Lock, &old);
  ULONG slot = trace->NextSlot;
  TraceRecord* record = TraceRecordAt(trace, slot);
  RtlZeroMemory(record, sizeof *record);
  record->Kind = kind;
  record->Code = code;
  record->TimeMs = timeMs;
  record->Value = value;
  record->Category = category;
  record->Object = (ULONG64)(ULONG_PTR)object;
  record->Object2 = (ULONG64)(ULONG_PTR)object2;
  PUCHAR irpSlot = trace->Buffer + TRACE_IRP_OFFSET + slot * TRACE_IRP_SIZE;
  PUCHAR stackSlot = trace->Buffer + TRACE_STACK_OFFSET + slot * TRACE_STACK_SIZE;
  RtlZeroMemory(irpSlot, TRACE_IRP_SIZE);
  RtlZeroMemory(stackSlot, TRACE_STACK_SIZE);
  if (irp) {
    // 32-bit IRPs and stack locations are smaller than the slots; copy what exists.
    RtlCopyMemory(irpSlot, irp, sizeof(IRP) < TRACE_IRP_SIZE ? sizeof(IRP) : TRACE_IRP_SIZE);
    if (PIO_STACK_LOCATION stack = CurrentLocationOf(irp)) {
      RtlCopyMemory(stackSlot, stack,
                    sizeof(IO_STACK_LOCATION) < TRACE_STACK_SIZE ? sizeof(IO_STACK_LOCATION)
                                                                 : TRACE_STACK_SIZE);
    }
  }
  trace->NextSlot = (slot + 1) % TRACE_SLOTS;
  KeReleaseSpinLock(&trace->Lock, old);
}

}  // namespace

NTSTATUS TraceInit(Trace* trace) {
  KeInitializeSpinLock(&trace->Lock);
  trace->NextSlot = 0;
  trace->Buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, TRACE_BUFFER_SIZE, kTraceTag);
  if (!trace->Buffer) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(trace->Buffer, TRACE_BUFFER_SIZE);
  return STATUS_SUCCESS;
}

VOID TraceFree(Trace* trace) {
  if (trace->Buffer) ExFreePoolWithTag(trace->Buffer, kTraceTag);
  trace->Buffer = nullptr;
}

ULONG TraceIrpCategory(PIRP irp) {
  if (!irp) return 23;
  PIO_STACK_LOCATION stack = CurrentLocationOf(irp);
  if (!stack || stack->MajorFunction != IRP_MJ_POWER) return 24;
  ULONG state = (ULONG)stack->Parameters.Power.State.SystemState;
  bool system = stack->Parameters.Power.Type == SystemPowerState;
  switch (stack->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
      return 0;
    case IRP_MN_POWER_SEQUENCE:
      return 1;
    case IRP_MN_SET_POWER:
      if (system && state >= PowerSystemWorking && state <= PowerSystemShutdown) return state + 2;
      if (!system && state >= PowerDeviceD0 && state <= PowerDeviceD3) return state + 14;
      return 24;
    case IRP_MN_QUERY_POWER:
      if (system && state >= PowerSystemWorking && state <= PowerSystemShutdown) return state + 8;
      if (!system && state >= PowerDeviceD0 && state <= PowerDeviceD3) return state + 18;
      return 24;
    default:
      return 24;
  }
}

VOID TraceEventPowerRequest(Trace* trace, ULONG code, UCHAR minorFunction, POWER_STATE state,
                            ULONG64 value, PVOID object, PVOID object2) {
  ULONG d = (ULONG)state.DeviceState;
  bool known = d >= PowerDeviceD0 && d <= PowerDeviceD3;
  ULONG category = 9;
  if (minorFunction == IRP_MN_SET_POWER && known) category = d - 1;
  if (minorFunction == IRP_MN_QUERY_POWER && known) category = d + 3;
  if (minorFunction == IRP_MN_WAIT_WAKE) category = 8;
  Write(trace, TracePowerRequestKind, code, value, category, object, object2, nullptr);
}

VOID TraceEventIrp(Trace* trace, ULONG code, PIRP irp, ULONG64 value) {
  Write(trace, TraceIrpKind, code, value, TraceIrpCategory(irp), irp, nullptr, irp);
}

VOID TraceEventSnapshot(Trace* trace, ULONG code, PIRP irp) {
  Write(trace, TraceIrpKind, code, 0, 2, irp, nullptr, irp);
}

VOID TraceEventSuspend(Trace* trace, ULONG kind, ULONG code, ULONG phase, ULONG64 value,
                       PVOID object) {
  Write(trace, kind, code, value, phase, object, nullptr, nullptr);
}
