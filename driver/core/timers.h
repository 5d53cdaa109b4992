// Two timer objects: a DPC timer whose callback runs at DISPATCH_LEVEL, and a work-item timer
// whose callback runs at PASSIVE_LEVEL on a system worker thread.
#pragma once

#include "core/hollin_platform.h"

struct DpcTimer;
typedef VOID DPC_TIMER_CALLBACK(DpcTimer* timer, PVOID context);

struct DpcTimer {
  KTIMER Timer;
  KDPC Dpc;
  volatile LONG Periodic;
  // Settings that may still reach the DPC: one per queued timer plus one per running DPC.
  volatile LONG InFlight;
  ULONG PeriodMs;
  DPC_TIMER_CALLBACK* Callback;
  PVOID Context;
  PVOID Owner;  // the extension that owns the timer, for consistency checks
  volatile LONG Stopped;
};

VOID TimerInitialize(DpcTimer* timer, DPC_TIMER_CALLBACK* callback, PVOID context, PVOID owner);
// Arms the timer to fire every `ms` milliseconds until TimerStop; nothing when Stopped is set.
VOID TimerStart(DpcTimer* timer, ULONG ms);
// Returns only when no callback is running or can still run. May spin at raised IRQL; must not
// be called from the timer's own callback.
VOID TimerStop(DpcTimer* timer);

struct WorkTimer;
typedef VOID WORK_TIMER_CALLBACK(WorkTimer* timer, PVOID context);

struct WorkTimer {
  DpcTimer Base;
  WORK_QUEUE_ITEM WorkItem;
  volatile LONG Rearm;
  ULONG RearmMs;
  WORK_TIMER_CALLBACK* WorkCallback;
  PVOID WorkContext;
  KEVENT WorkIdle;  // notification event, signalled while no work is pending
  volatile LONG WorkPending;
};

VOID WorkTimerInitialize(WorkTimer* timer, WORK_TIMER_CALLBACK* callback, PVOID context,
                         PVOID owner);
// After each run the callback's timer is armed again for RearmMs while Rearm is set.
VOID WorkTimerStart(WorkTimer* timer, ULONG ms, BOOLEAN rearm, ULONG rearmMs);
// PASSIVE_LEVEL: stops the timer and waits until a queued or running callback has finished.
VOID WorkTimerStop(WorkTimer* timer);

// The same calls made on behalf of a device. With EnableAssert set in its extension, a timer
// that another extension owns stops at a debugger breakpoint; the call then goes ahead.
namespace hollin {
struct ParentExtension;
VOID TimerStart(ParentExtension* extension, DpcTimer* timer, ULONG ms);
VOID TimerStop(ParentExtension* extension, DpcTimer* timer);
VOID WorkTimerStart(ParentExtension* extension, WorkTimer* timer, ULONG ms, BOOLEAN rearm,
                    ULONG rearmMs);
VOID WorkTimerStop(ParentExtension* extension, WorkTimer* timer);
}  // namespace hollin
