// The DPC timer and the work-item timer: periodic callbacks, and stops that wait for a running
// callback instead of racing it.
#include <atomic>
#include <thread>

#include "core/timers.h"
#include "kernel_test.h"

namespace {

class Timers : public wdmemu::testing::KernelTest {};

struct Probe {
  KEVENT fired;
  std::atomic<int> runs{0};
  std::atomic<bool> entered{false};
  std::atomic<bool> release{true};
  std::atomic<bool> finished{false};
  std::atomic<KIRQL> irql{0xFF};
};

VOID Tick(DpcTimer*, PVOID context) {
  auto* p = (Probe*)context;
  p->irql = KeGetCurrentIrql();
  p->entered = true;
  while (!p->release) KeStallExecutionProcessor(10);  // a DPC may only spin
  ++p->runs;
  p->finished = true;
  KeSetEvent(&p->fired, 0, FALSE);
}

TEST_F(Timers, DpcTimerIsPeriodicUntilStopped) {
  Probe probe;
  KeInitializeEvent(&probe.fired, SynchronizationEvent, FALSE);
  DpcTimer timer;
  TimerInitialize(&timer, Tick, &probe, nullptr);
  TimerStart(&timer, 1);
  for (int i = 0; i < 3; ++i)
    KeWaitForSingleObject(&probe.fired, Executive, KernelMode, FALSE, nullptr);
  TimerStop(&timer);
  int runs = probe.runs;
  EXPECT_GE(runs, 3);
  EXPECT_EQ(timer.InFlight, 0);
  EXPECT_EQ(probe.irql, DISPATCH_LEVEL);
  EXPECT_TRUE(wdmemu::Quiesce());
  EXPECT_EQ(probe.runs, runs);  // nothing ran after the stop returned
}

TEST_F(Timers, TimerStopAgainstARunningDpcReturnsAfterIt) {
  Probe probe;
  KeInitializeEvent(&probe.fired, NotificationEvent, FALSE);
  probe.release = false;
  DpcTimer timer;
  TimerInitialize(&timer, Tick, &probe, nullptr);
  TimerStart(&timer, 1);
  while (!probe.entered) std::this_thread::yield();
  std::atomic<bool> stopped{false};
  bool finishedWhenStopped = false;
  std::thread stopper([&] {
    TimerStop(&timer);
    finishedWhenStopped = probe.finished;
    stopped = true;
  });
  // Release the callback only once the stop has begun; released earlier, the DPC would re-arm
  // and the timer could run again before the stop.
  while (InterlockedCompareExchange(&timer.Periodic, 0, 0)) std::this_thread::yield();
  EXPECT_FALSE(stopped);  // the callback is still held
  probe.release = true;
  stopper.join();
  EXPECT_TRUE(finishedWhenStopped);
  EXPECT_EQ(probe.runs, 1);
}

// A callback that arms its own timer again leaves a setting queued while it still runs, so
// TimerStop's cancel succeeds; that alone must not let TimerStop return before the callback.
struct RearmProbe {
  std::atomic<bool> entered{false};
  std::atomic<bool> release{false};
  std::atomic<bool> finished{false};
};

VOID RearmAndHold(DpcTimer* timer, PVOID context) {
  auto* p = (RearmProbe*)context;
  TimerStart(timer, 60000);  // far enough away that only TimerStop can remove it
  p->entered = true;
  while (!p->release) KeStallExecutionProcessor(10);
  p->finished = true;
}

TEST_F(Timers, TimerStopWaitsForACallbackWhoseNewSettingItCancelled) {
  RearmProbe probe;
  DpcTimer timer;
  TimerInitialize(&timer, RearmAndHold, &probe, nullptr);
  TimerStart(&timer, 1);
  while (!probe.entered) std::this_thread::yield();
  // The running DPC and the callback's new setting.
  EXPECT_EQ(InterlockedCompareExchange(&timer.InFlight, 0, 0), 2);
  bool finishedWhenStopped = false;
  std::thread stopper([&] {
    TimerStop(&timer);
    finishedWhenStopped = probe.finished;
  });
  // Release the callback only once the stopper has cancelled the new setting.
  while (InterlockedCompareExchange(&timer.InFlight, 0, 0) != 1) std::this_thread::yield();
  probe.release = true;
  stopper.join();
  EXPECT_TRUE(finishedWhenStopped);
  EXPECT_EQ(timer.InFlight, 0);
  EXPECT_FALSE(KeCancelTimer(&timer.Timer));
}

TEST_F(Timers, StoppedFlagKeepsTheTimerFromStarting) {
  Probe probe;
  KeInitializeEvent(&probe.fired, NotificationEvent, FALSE);
  DpcTimer timer;
  TimerInitialize(&timer, Tick, &probe, nullptr);
  timer.Stopped = 1;
  TimerStart(&timer, 1);
  EXPECT_EQ(timer.InFlight, 0);
  EXPECT_FALSE(KeCancelTimer(&timer.Timer));
}

struct WorkProbe {
  KEVENT entered;
  KEVENT release;
  std::atomic<int> runs{0};
  std::atomic<KIRQL> irql{0xFF};
  std::atomic<bool> finished{false};
};

VOID Work(WorkTimer*, PVOID context) {
  auto* p = (WorkProbe*)context;
  p->irql = KeGetCurrentIrql();
  KeSetEvent(&p->entered, 0, FALSE);
  KeWaitForSingleObject(&p->release, Executive, KernelMode, FALSE, nullptr);
  ++p->runs;
  p->finished = true;
}

TEST_F(Timers, WorkTimerRunsAtPassiveAndStopWaitsForTheRunningCallback) {
  WorkProbe probe;
  KeInitializeEvent(&probe.entered, NotificationEvent, FALSE);
  KeInitializeEvent(&probe.release, NotificationEvent, FALSE);
  WorkTimer timer;
  WorkTimerInitialize(&timer, Work, &probe, nullptr);
  WorkTimerStart(&timer, 1, TRUE, 1);
  KeWaitForSingleObject(&probe.entered, Executive, KernelMode, FALSE, nullptr);
  bool finishedWhenStopped = false;
  std::thread stopper([&] {
    WorkTimerStop(&timer);
    finishedWhenStopped = probe.finished;
  });
  KeSetEvent(&probe.release, 0, FALSE);
  stopper.join();
  EXPECT_TRUE(finishedWhenStopped);
  EXPECT_EQ(probe.irql, PASSIVE_LEVEL);
  EXPECT_TRUE(wdmemu::Quiesce());
  int runs = probe.runs;
  EXPECT_TRUE(wdmemu::Quiesce());
  EXPECT_EQ(probe.runs, runs);
  EXPECT_EQ(timer.WorkPending, 0);
}

}  // namespace
