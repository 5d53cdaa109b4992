#include "core/timers.h"

#include "core/device_extension.h"

namespace {

VOID Arm(DpcTimer* timer) {
  LARGE_INTEGER due;
  due.QuadPart = -(LONGLONG)timer->PeriodMs * 10000;
  InterlockedIncrement(&timer->InFlight);
  // A timer that was still queued has just been replaced; its setting no longer counts.
  if (KeSetTimer(&timer->Timer, due, &timer->Dpc)) InterlockedDecrement(&timer->InFlight);
}

VOID NTAPI TimerDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* timer = (DpcTimer*)context;
  timer->Callback(timer, timer->Context);
  if (InterlockedCompareExchange(&timer->Periodic, 0, 0)) Arm(timer);
  InterlockedDecrement(&timer->InFlight);
}

VOID WorkTimerDpcCallback(DpcTimer* base, PVOID) {
  auto* timer = CONTAINING_RECORD(base, WorkTimer, Base);
  // One work queue item can be queued only once at a time; a tick that finds the previous run
  // still pending is skipped rather than queueing the same item twice.
  if (InterlockedIncrement(&timer->WorkPending) != 1) {
    InterlockedDecrement(&timer->WorkPending);
    return;
  }
  KeClearEvent(&timer->WorkIdle);
  ExQueueWorkItem(&timer->WorkItem, DelayedWorkQueue);
}

VOID NTAPI WorkTimerRoutine(PVOID parameter) {
  auto* timer = (WorkTimer*)parameter;
  timer->WorkCallback(timer, timer->WorkContext);
  if (InterlockedCompareExchange(&timer->Rearm, 0, 0)) TimerStart(&timer->Base, timer->RearmMs);
  if (InterlockedDecrement(&timer->WorkPending) == 0) KeSetEvent(&timer->WorkIdle, 0, FALSE);
}

}  // namespace

VOID TimerInitialize(DpcTimer* timer, DPC_TIMER_CALLBACK* callback, PVOID context, PVOID owner) {
  RtlZeroMemory(timer, sizeof *timer);
  KeInitializeTimer(&timer->Timer);
  KeInitializeDpc(&timer->Dpc, TimerDpc, timer);
  timer->Callback = callback;
  timer->Context = context;
  timer->Owner = owner;
}

VOID TimerStart(DpcTimer* timer, ULONG ms) {
  if (InterlockedCompareExchange(&timer->Stopped, 0, 0)) return;
  timer->PeriodMs = ms;
  InterlockedExchange(&timer->Periodic, 1);
  Arm(timer);
}

VOID TimerStop(DpcTimer* timer) {
  InterlockedExchange(&timer->Periodic, 0);
  // Cancelling a queued setting does not mean no DPC is running: a callback that armed the
  // timer again may not have returned yet, and a DPC that read Periodic before it was cleared
  // re-arms after its callback. So wait for InFlight to drain in every case, cancelling each
  // setting that turns up instead of waiting out its period.
  for (;;) {
    if (KeCancelTimer(&timer->Timer)) InterlockedDecrement(&timer->InFlight);
    if (InterlockedCompareExchange(&timer->InFlight, 0, 0) <= 0) break;
    KeStallExecutionProcessor(10);
  }
  // The DPC routine's last instructions follow its final decrement.
  KeStallExecutionProcessor(100);
}

VOID WorkTimerInitialize(WorkTimer* timer, WORK_TIMER_CALLBACK* callback, PVOID context,
                         PVOID owner) {
  RtlZeroMemory(timer, sizeof *timer);
  TimerInitialize(&timer->Base, WorkTimerDpcCallback, nullptr, owner);
  ExInitializeWorkItem(&timer->WorkItem, WorkTimerRoutine, timer);
  timer->WorkCallback = callback;
  timer->WorkContext = context;
  KeInitializeEvent(&timer->WorkIdle, NotificationEvent, TRUE);
}

VOID WorkTimerStart(WorkTimer* timer, ULONG ms, BOOLEAN rearm, ULONG rearmMs) {
  timer->RearmMs = rearmMs;
  InterlockedExchange(&timer->Rearm, rearm ? 1 : 0);
  TimerStart(&timer->Base, ms);
}

VOID WorkTimerStop(WorkTimer* timer) {
  InterlockedExchange(&timer->Rearm, 0);
  TimerStop(&timer->Base);
  if (InterlockedCompareExchange(&timer->WorkPending, 0, 0) > 0) {
    KeWaitForSingleObject(&timer->WorkIdle, Executive, KernelMode, FALSE, nullptr);
    // A run that read Rearm before it was cleared may have armed the timer again.
    TimerStop(&timer->Base);
    // The work routine still has to return after signalling.
    LARGE_INTEGER pause;
    pause.QuadPart = -1000000;
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
  }
}

namespace hollin {
namespace {

VOID CheckOwner(ParentExtension* extension, const DpcTimer* timer) {
  if ((extension->AssertFlags & kEnableAssert) && timer->Owner != extension) DbgBreakPoint();
}

}  // namespace

VOID TimerStart(ParentExtension* extension, DpcTimer* timer, ULONG ms) {
  CheckOwner(extension, timer);
  ::TimerStart(timer, ms);
}

VOID TimerStop(ParentExtension* extension, DpcTimer* timer) {
  CheckOwner(extension, timer);
  ::TimerStop(timer);
}

VOID WorkTimerStart(ParentExtension* extension, WorkTimer* timer, ULONG ms, BOOLEAN rearm,
                    ULONG rearmMs) {
  CheckOwner(extension, &timer->Base);
  ::WorkTimerStart(timer, ms, rearm, rearmMs);
}

VOID WorkTimerStop(ParentExtension* extension, WorkTimer* timer) {
  CheckOwner(extension, &timer->Base);
  ::WorkTimerStop(timer);
}

}  // namespace hollin
