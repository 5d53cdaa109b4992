// Kernel services against their documented rules: events, mutexes, waits and time-outs, timers
// with DPCs, work items, pool.
#include <atomic>
#include <thread>

#include "kernel_test.h"
#include "layers.h"

using wdmemu::Check;

namespace {

class Kernel : public wdmemu::testing::KernelTest {
 protected:
  static LARGE_INTEGER Ms(LONGLONG ms) {
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10000;
    return t;
  }
};

TEST_F(Kernel, NotificationEventReleasesAllAndStaysSet) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::atomic<int> released{0};
  std::thread a([&] {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    ++released;
  });
  std::thread b([&] {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    ++released;
  });
  EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
  a.join();
  b.join();
  EXPECT_EQ(released, 2);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 1);  // the previous state
  EXPECT_EQ(KeResetEvent(&event), 1);
}

TEST_F(Kernel, SynchronizationEventReleasesOneWaiterAndResets) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, TRUE);
  LARGE_INTEGER poll;
  poll.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(Kernel, RelativeTimeoutExpiresAndAbsoluteFollowsTheClock) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER t = Ms(20);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
  // An absolute time an hour ahead is reached at once when the clock moves by that hour.
  LARGE_INTEGER now, due;
  KeQuerySystemTime(&now);
  due.QuadPart = now.QuadPart + 36000000000LL;
  std::thread mover([] { wdmemu::MoveClock(36000000000LL + 10000000); });
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &due), STATUS_TIMEOUT);
  mover.join();
}

TEST_F(Kernel, MutexIsRecursiveForItsOwnerOnly) {
  ExpectReport(Check::MutexNotOwned);
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  EXPECT_EQ(KeReadStateMutex(&mutex), 1);
  KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
  KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
  std::thread other([&] {
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    KeReleaseMutex(&mutex, FALSE);  // not the owner
  });
  other.join();
  EXPECT_NE(KeReleaseMutex(&mutex, FALSE), 0);
  EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);  // free again
}

struct DpcProbe {
  KTIMER timer;
  KDPC dpc;
  KEVENT ran;
  std::atomic<KIRQL> irql{0xFF};
  std::atomic<int> runs{0};
};

VOID ProbeDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* probe = (DpcProbe*)context;
  probe->irql = KeGetCurrentIrql();
  ++probe->runs;
  KeSetEvent(&probe->ran, 0, FALSE);
}

TEST_F(Kernel, TimerRunsItsDpcAtDispatchAndSignals) {
  DpcProbe probe;
  KeInitializeTimer(&probe.timer);
  KeInitializeDpc(&probe.dpc, ProbeDpc, &probe);
  KeInitializeEvent(&probe.ran, NotificationEvent, FALSE);
  EXPECT_FALSE(KeSetTimer(&probe.timer, Ms(10000), &probe.dpc));
  EXPECT_TRUE(KeSetTimer(&probe.timer, Ms(5), &probe.dpc));  // replaces the queued setting
  KeWaitForSingleObject(&probe.ran, Executive, KernelMode, FALSE, nullptr);
  KeWaitForSingleObject(&probe.timer, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(probe.irql, DISPATCH_LEVEL);
  EXPECT_TRUE(KeReadStateTimer(&probe.timer));
  EXPECT_FALSE(KeCancelTimer(&probe.timer));  // already fired
  EXPECT_TRUE(wdmemu::Quiesce());
  EXPECT_EQ(probe.runs, 1);
}

TEST_F(Kernel, CancelledTimerNeverRunsItsDpc) {
  DpcProbe probe;
  KeInitializeTimer(&probe.timer);
  KeInitializeDpc(&probe.dpc, ProbeDpc, &probe);
  KeInitializeEvent(&probe.ran, NotificationEvent, FALSE);
  KeSetTimer(&probe.timer, Ms(50), &probe.dpc);
  EXPECT_TRUE(KeCancelTimer(&probe.timer));
  LARGE_INTEGER t = Ms(100);
  EXPECT_EQ(KeWaitForSingleObject(&probe.ran, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
}

TEST_F(Kernel, AbsoluteTimerFiresWhenTheClockReachesIt) {
  DpcProbe probe;
  KeInitializeTimer(&probe.timer);
  KeInitializeDpc(&probe.dpc, ProbeDpc, &probe);
  KeInitializeEvent(&probe.ran, NotificationEvent, FALSE);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  now.QuadPart += 36000000000LL;  // an hour ahead
  KeSetTimer(&probe.timer, now, &probe.dpc);
  wdmemu::MoveClock(36000000000LL);
  KeWaitForSingleObject(&probe.ran, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(probe.runs, 1);
}

TEST_F(Kernel, WorkItemRunsAtPassiveWithTheDeviceReferenced) {
  wdmtest::Stack stack;
  PDEVICE_OBJECT device = stack.Add(wdmtest::PassDown);
  struct Seen {
    KEVENT done;
    KIRQL irql;
    LONG references;
  } seen;
  KeInitializeEvent(&seen.done, NotificationEvent, FALSE);
  PIO_WORKITEM item = IoAllocateWorkItem(device);
  ASSERT_NE(item, nullptr);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  IoQueueWorkItem(
      item,
      [](PDEVICE_OBJECT d, PVOID context) {
        auto* s = (Seen*)context;
        s->irql = KeGetCurrentIrql();
        s->references = d->ReferenceCount;
        KeSetEvent(&s->done, 0, FALSE);
      },
      DelayedWorkQueue, &seen);
  KeLowerIrql(old);
  KeWaitForSingleObject(&seen.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_TRUE(wdmemu::Quiesce());
  EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
  EXPECT_EQ(seen.references, 1);
  EXPECT_EQ(device->ReferenceCount, 0);
  IoFreeWorkItem(item);
}

TEST_F(Kernel, PoolIsNotZeroedUnlessAskedAndFailuresCanBeInjected) {
  auto* p = (UCHAR*)ExAllocatePoolWithTag(NonPagedPool, 16, 'tseT');
  auto* z = (UCHAR*)ExAllocatePoolZero(NonPagedPool, 16, 'tseT');
  EXPECT_NE(p[0], 0);
  EXPECT_EQ(z[15], 0);
  ExFreePoolWithTag(p, 'tseT');
  ExFreePoolWithTag(z, 'tseT');
  wdmemu::InjectPoolFailure(1, 1);
  PVOID first = ExAllocatePoolWithTag(PagedPool, 8, 'tseT');
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, 'tseT'), nullptr);
  ExFreePool(first);
}

TEST_F(Kernel, InterlockedResults) {
  LONG v = 5;
  EXPECT_EQ(InterlockedIncrement(&v), 6);
  EXPECT_EQ(InterlockedDecrement(&v), 5);
  EXPECT_EQ(InterlockedExchange(&v, 9), 5);
  EXPECT_EQ(InterlockedCompareExchange(&v, 1, 8), 9);  // no exchange
  EXPECT_EQ(InterlockedCompareExchange(&v, 1, 9), 9);
  EXPECT_EQ(v, 1);
}

}  // namespace
