// The in-memory trace history of power and selective-suspend events, kept for a debugger.
#pragma once

#include "core/hollin_platform.h"

#define TRACE_SLOTS 256
#define TRACE_RECORD_SIZE 48
#define TRACE_IRP_SIZE 208
#define TRACE_STACK_SIZE 72
#define TRACE_IRP_OFFSET 12288
#define TRACE_STACK_OFFSET 65536
#define TRACE_BUFFER_SIZE 83968

enum TraceKind : ULONG {
  TracePowerRequestKind = 1,
  TraceIrpKind = 2,
  TraceSuspendKind = 3,
  TraceSuspendKind2 = 4,
};

struct TraceRecord {
  ULONG Kind;
  ULONG Code;
  ULONG TimeMs;  // milliseconds since midnight, system time
  ULONG Reserved;
  ULONG64 Value;
  ULONG Category;
  ULONG Reserved2;
  ULONG64 Object;
  ULONG64 Object2;
};
static_assert(sizeof(TraceRecord) == TRACE_RECORD_SIZE, "trace record layout");
static_assert(TRACE_IRP_OFFSET + TRACE_SLOTS * TRACE_IRP_SIZE == TRACE_STACK_OFFSET &&
                  TRACE_STACK_OFFSET + TRACE_SLOTS * TRACE_STACK_SIZE == TRACE_BUFFER_SIZE,
              "trace buffer layout");

struct Trace {
  KSPIN_LOCK Lock;
  ULONG NextSlot;
  PUCHAR Buffer;
};

// Allocates the zeroed buffer; STATUS_INSUFFICIENT_RESOURCES when pool is short.
NTSTATUS TraceInit(Trace* trace);
VOID TraceFree(Trace* trace);

// Kind 1: a power request the driver made (category from its minor code and device state).
VOID TraceEventPowerRequest(Trace* trace, ULONG code, UCHAR minorFunction, POWER_STATE state,
                            ULONG64 value, PVOID object, PVOID object2);
// Kind 2: an event about an IRP, with snapshots of it and its current stack location.
VOID TraceEventIrp(Trace* trace, ULONG code, PIRP irp, ULONG64 value);
// Kind 2, category 2: only the snapshots matter.
VOID TraceEventSnapshot(Trace* trace, ULONG code, PIRP irp);
// Kinds 3 and 4: selective-suspend events; the category is the caller's phase.
VOID TraceEventSuspend(Trace* trace, ULONG kind, ULONG code, ULONG phase, ULONG64 value,
                       PVOID object);

// The category of an IRP event.
ULONG TraceIrpCategory(PIRP irp);

inline TraceRecord* TraceRecordAt(Trace* trace, ULONG slot) {
  return (TraceRecord*)(trace->Buffer + slot * TRACE_RECORD_SIZE);
}
