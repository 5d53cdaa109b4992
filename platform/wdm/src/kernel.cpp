// The kernel: IRQL, spin locks, dispatcher objects and waits, timers, DPCs and the system
// worker threads. One dispatcher lock guards all object states and queues; waiters sleep on one
// condition variable and re-check their objects on every change, which is simple and exact.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <set>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "internal.h"
#include "kernel_queues.h"

namespace wdmemu {

ThreadState& Self() {
  thread_local ThreadState state;
  return state;
}

namespace {

// Dispatcher object types (the values Windows uses in DISPATCHER_HEADER.Type).
constexpr UCHAR kNotificationEvent = 0;
constexpr UCHAR kSynchronizationEvent = 1;
constexpr UCHAR kMutant = 2;
constexpr UCHAR kSemaphore = 5;
constexpr UCHAR kNotificationTimer = 8;
constexpr UCHAR kSynchronizationTimer = 9;

struct Kernel {
  std::mutex lock;
  std::condition_variable signal;
  std::chrono::steady_clock::time_point boot = std::chrono::steady_clock::now();
  std::atomic<LONGLONG> clockOffset{0};
  // Timers.
  std::set<PKTIMER> timers;
  // DPCs.
  std::deque<PKDPC> dpcQueue;
  std::unordered_set<PKDPC> dpcQueued;
  std::unordered_map<PKDPC, PDRIVER_OBJECT> dpcOwner;
  PKDPC dpcRunning = nullptr;
  // Work items.
  std::deque<WorkEntry> work;
  std::unordered_set<const void*> workQueued;
  int workersIdle = 0;
  int workersTotal = 0;
  int workRunning = 0;
  bool threadsStarted = false;
};

Kernel& K() {
  static Kernel* kernel = new Kernel;  // never destroyed: its threads outlive static teardown
  return *kernel;
}

void DpcThread();
void TimerThread();
void WorkerThread();

}  // namespace

std::mutex& DispatcherLock() { return K().lock; }
std::condition_variable& Signal() { return K().signal; }

void StartKernelThreads() {
  std::lock_guard<std::mutex> guard(K().lock);
  if (K().threadsStarted) return;
  K().threadsStarted = true;
  std::thread(DpcThread).detach();
  std::thread(TimerThread).detach();
}

LONGLONG InterruptTimeNow() {
  auto since = std::chrono::steady_clock::now() - K().boot;
  return std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
}

LONGLONG SystemTimeNow() {
  // 100 ns units between 1601-01-01 and 1970-01-01.
  constexpr LONGLONG kEpoch = 116444736000000000LL;
  auto unix = std::chrono::system_clock::now().time_since_epoch();
  return kEpoch + std::chrono::duration_cast<std::chrono::nanoseconds>(unix).count() / 100 +
         K().clockOffset.load();
}

void MoveClock(LONGLONG delta100ns) {
  K().clockOffset += delta100ns;
  std::lock_guard<std::mutex> guard(K().lock);
  K().signal.notify_all();
}

// ---- queues shared with the I/O manager -----------------------------------------------------

bool QueueWork(WorkEntry entry) {
  StartKernelThreads();
  bool spawn = false;
  {
    std::lock_guard<std::mutex> guard(K().lock);
    if (!K().workQueued.insert(entry.key).second) return false;
    K().work.push_back(std::move(entry));
    if (K().workersIdle == 0 && K().workersTotal < 32) {
      ++K().workersTotal;
      spawn = true;
    }
  }
  if (spawn) std::thread(WorkerThread).detach();
  K().signal.notify_all();
  return true;
}

bool Quiesce(int timeoutMs) {
  std::unique_lock<std::mutex> guard(K().lock);
  return K().signal.wait_for(guard, std::chrono::milliseconds(timeoutMs), [] {
    return K().dpcQueue.empty() && !K().dpcRunning && K().work.empty() && K().workRunning == 0;
  });
}

void ClearKernel() {
  std::lock_guard<std::mutex> guard(K().lock);
  K().timers.clear();
  K().dpcQueue.clear();
  K().dpcQueued.clear();
  K().dpcOwner.clear();
  K().clockOffset = 0;
}

namespace {

// Runs a routine the kernel calls at `irql`, checking that it comes back there with no spin
// lock held.
template <typename F>
void RunAt(KIRQL irql, PDRIVER_OBJECT driver, const char* what, F&& routine) {
  ThreadState& self = Self();
  self.irql = irql;
  {
    AsDriver as(driver);
    routine();
  }
  if (self.irql != irql || self.spinLocksHeld != 0) {
    Verify(Check::IrqlNotRestored, std::string(what) + " returned at IRQL " +
                                       std::to_string(self.irql) + " with " +
                                       std::to_string(self.spinLocksHeld) + " spin locks held");
    self.spinLocksHeld = 0;
  }
  self.irql = PASSIVE_LEVEL;
}

void DpcThread() {
  std::unique_lock<std::mutex> guard(K().lock);
  for (;;) {
    K().signal.wait(guard, [] { return !K().dpcQueue.empty(); });
    PKDPC dpc = K().dpcQueue.front();
    K().dpcQueue.pop_front();
    K().dpcQueued.erase(dpc);
    K().dpcRunning = dpc;
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext, a1 = dpc->SystemArgument1, a2 = dpc->SystemArgument2;
    PDRIVER_OBJECT owner = K().dpcOwner.count(dpc) ? K().dpcOwner[dpc] : nullptr;
    guard.unlock();
    RunAt(DISPATCH_LEVEL, owner, "DPC routine", [&] { routine(dpc, context, a1, a2); });
    guard.lock();
    K().dpcRunning = nullptr;
    K().signal.notify_all();
  }
}

bool InsertDpcLocked(PKDPC dpc, PVOID a1, PVOID a2) {
  if (K().dpcQueued.count(dpc)) return false;
  dpc->SystemArgument1 = a1;
  dpc->SystemArgument2 = a2;
  K().dpcQueued.insert(dpc);
  K().dpcQueue.push_back(dpc);
  return true;
}

// Due time of a timer on the interrupt-time scale (absolute timers follow the system clock).
LONGLONG DueInterruptTime(PKTIMER timer, LONGLONG systemNow, LONGLONG interruptNow) {
  if (timer->Header.Absolute) return interruptNow + ((LONGLONG)timer->DueTime.QuadPart - systemNow);
  return (LONGLONG)timer->DueTime.QuadPart;
}

void TimerThread() {
  std::unique_lock<std::mutex> guard(K().lock);
  for (;;) {
    LONGLONG systemNow = SystemTimeNow();
    LONGLONG interruptNow = InterruptTimeNow();
    LONGLONG next = -1;
    bool fired = false;
    for (auto it = K().timers.begin(); it != K().timers.end();) {
      PKTIMER timer = *it;
      LONGLONG due = DueInterruptTime(timer, systemNow, interruptNow);
      if (due <= interruptNow) {
        it = K().timers.erase(it);
        timer->Header.Inserted = FALSE;
        timer->Header.SignalState = 1;
        if (timer->Period > 0) {
          timer->Header.Absolute = FALSE;
          timer->DueTime.QuadPart = interruptNow + (LONGLONG)timer->Period * 10000;
          timer->Header.Inserted = TRUE;
          K().timers.insert(timer);
        }
        if (timer->Dpc) InsertDpcLocked(timer->Dpc, (PVOID)(ULONG_PTR)systemNow, nullptr);
        fired = true;
      } else {
        if (next < 0 || due < next) next = due;
        ++it;
      }
    }
    if (fired) {
      K().signal.notify_all();
      continue;
    }
    if (next < 0) {
      K().signal.wait(guard);
    } else {
      K().signal.wait_for(guard, std::chrono::nanoseconds((next - interruptNow) * 100));
    }
  }
}

void WorkerThread() {
  std::unique_lock<std::mutex> guard(K().lock);
  for (;;) {
    ++K().workersIdle;
    K().signal.wait(guard, [] { return !K().work.empty(); });
    --K().workersIdle;
    WorkEntry entry = std::move(K().work.front());
    K().work.pop_front();
    K().workQueued.erase(entry.key);
    ++K().workRunning;
    guard.unlock();
    RunAt(PASSIVE_LEVEL, entry.driver, "work item routine", entry.run);
    guard.lock();
    --K().workRunning;
    K().signal.notify_all();
  }
}

// ---- waits ----------------------------------------------------------------------------------

PKTHREAD CurrentThread() { return (PKTHREAD)&Self().token; }

bool Signalled(DISPATCHER_HEADER* header) {
  if (header->Type == kMutant) {
    auto* mutex = (PKMUTEX)header;
    return header->SignalState > 0 || mutex->OwnerThread == CurrentThread();
  }
  return header->SignalState > 0;
}

// Consumes the signal of an object that satisfied a wait.
NTSTATUS Acquire(DISPATCHER_HEADER* header) {
  switch (header->Type) {
    case kSynchronizationEvent:
    case kSynchronizationTimer:
      header->SignalState = 0;
      break;
    case kSemaphore:
      header->SignalState--;
      break;
    case kMutant: {
      auto* mutex = (PKMUTEX)header;
      header->SignalState--;
      mutex->OwnerThread = CurrentThread();
      if (mutex->Abandoned) {
        mutex->Abandoned = FALSE;
        return STATUS_ABANDONED;
      }
      break;
    }
    default:
      break;
  }
  return STATUS_SUCCESS;
}

// Deadline in interrupt time for a wait, or -1 for none; absolute times are recomputed against
// the moving system clock at each check.
struct Deadline {
  bool infinite = true;
  bool absolute = false;
  LONGLONG value = 0;
  LONGLONG Remaining(LONGLONG systemNow, LONGLONG interruptNow) const {
    return absolute ? value - systemNow : value - interruptNow;
  }
};

NTSTATUS WaitObjects(ULONG count, PVOID objects[], WAIT_TYPE type, PLARGE_INTEGER timeout,
                     const std::source_location& loc, const char* call) {
  ThreadState& self = Self();
  bool poll = timeout && timeout->QuadPart == 0;
  if (self.irql >= DISPATCH_LEVEL && !poll) {
    Verify(Check::WaitAtDispatch,
           std::string(call) + " with a nonzero time-out at IRQL " + std::to_string(self.irql),
           loc);
    poll = true;  // a real system would bug check; carry on as a poll so the test can finish
  }
  Deadline deadline;
  if (poll) {
    deadline.infinite = false;
    deadline.value = InterruptTimeNow();
  } else if (timeout) {
    deadline.infinite = false;
    if (timeout->QuadPart < 0) {
      deadline.value = InterruptTimeNow() - timeout->QuadPart;
    } else {
      deadline.absolute = true;
      deadline.value = timeout->QuadPart;
    }
  }
  std::unique_lock<std::mutex> guard(K().lock);
  for (;;) {
    if (type == WaitAny) {
      for (ULONG i = 0; i < count; ++i) {
        auto* header = (DISPATCHER_HEADER*)objects[i];
        if (Signalled(header)) {
          NTSTATUS status = Acquire(header);
          return status == STATUS_ABANDONED ? STATUS_ABANDONED + (NTSTATUS)i : (NTSTATUS)i;
        }
      }
    } else {
      bool all = true;
      for (ULONG i = 0; i < count && all; ++i) all = Signalled((DISPATCHER_HEADER*)objects[i]);
      if (all) {
        for (ULONG i = 0; i < count; ++i) Acquire((DISPATCHER_HEADER*)objects[i]);
        return STATUS_SUCCESS;
      }
    }
    if (deadline.infinite) {
      K().signal.wait(guard);
      continue;
    }
    LONGLONG systemNow = SystemTimeNow();
    LONGLONG remaining = deadline.Remaining(systemNow, InterruptTimeNow());
    if (remaining <= 0) return STATUS_TIMEOUT;
    // Absolute waits re-check in slices so that clock moves are seen promptly.
    K().signal.wait_for(guard, std::chrono::nanoseconds(remaining * 100));
  }
}

}  // namespace

PDRIVER_OBJECT DpcOwner(PKDPC dpc) {
  std::lock_guard<std::mutex> guard(K().lock);
  auto it = K().dpcOwner.find(dpc);
  return it == K().dpcOwner.end() ? nullptr : it->second;
}

}  // namespace wdmemu

using namespace wdmemu;

// ---- IRQL -------------------------------------------------------------------------------------

KIRQL KeGetCurrentIrql() { return Self().irql; }

VOID KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql, std::source_location loc) {
  ThreadState& self = Self();
  if (newIrql < self.irql) {
    Verify(Check::IrqlTooHigh,
           "KeRaiseIrql to " + std::to_string(newIrql) + " from " + std::to_string(self.irql), loc);
  }
  *oldIrql = self.irql;
  self.irql = newIrql;
}

VOID KeLowerIrql(KIRQL newIrql, std::source_location loc) {
  ThreadState& self = Self();
  if (newIrql > self.irql) {
    Verify(Check::IrqlTooHigh,
           "KeLowerIrql to " + std::to_string(newIrql) + " from " + std::to_string(self.irql), loc);
  }
  self.irql = newIrql;
}

KIRQL KeRaiseIrqlToDpcLevel() {
  KIRQL old = Self().irql;
  if (old < DISPATCH_LEVEL) Self().irql = DISPATCH_LEVEL;
  return old;
}

// ---- spin locks ---------------------------------------------------------------------------

namespace {
ULONG_PTR Token() { return (ULONG_PTR)&Self().token; }

void Take(PKSPIN_LOCK lock, const std::source_location& loc) {
  ULONG_PTR self = Token();
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) == self) {
    Fatal(Check::SpinLockNotOwner, "spin lock acquired recursively (deadlock)", loc);
  }
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, self, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED)) {
      break;
    }
    std::this_thread::yield();
  }
  Self().spinLocksHeld++;
}

void Give(PKSPIN_LOCK lock, const std::source_location& loc) {
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) != Token()) {
    Verify(Check::SpinLockNotOwner, "spin lock released by a thread that does not hold it", loc);
    return;
  }
  __atomic_store_n(lock, (ULONG_PTR)0, __ATOMIC_RELEASE);
  if (Self().spinLocksHeld > 0) Self().spinLocksHeld--;
}
}  // namespace

VOID KeInitializeSpinLock(PKSPIN_LOCK lock) { *lock = 0; }

VOID KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql, std::source_location loc) {
  CheckIrql(DISPATCH_LEVEL, "KeAcquireSpinLock", loc);
  KIRQL old = Self().irql;
  Self().irql = DISPATCH_LEVEL;
  Take(lock, loc);
  *oldIrql = old;
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock, std::source_location loc) {
  KIRQL old;
  KeAcquireSpinLock(lock, &old, loc);
  return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql, std::source_location loc) {
  if (Self().irql != DISPATCH_LEVEL) {
    Verify(Check::SpinLockWrongIrql,
           "KeReleaseSpinLock at IRQL " + std::to_string(Self().irql) + " (must be DISPATCH_LEVEL)",
           loc);
  }
  Give(lock, loc);
  if (newIrql > DISPATCH_LEVEL) {
    Verify(Check::SpinLockWrongIrql, "KeReleaseSpinLock to IRQL " + std::to_string(newIrql), loc);
  }
  Self().irql = newIrql;
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock, std::source_location loc) {
  if (Self().irql < DISPATCH_LEVEL) {
    Verify(Check::SpinLockWrongIrql,
           "KeAcquireSpinLockAtDpcLevel at IRQL " + std::to_string(Self().irql), loc);
  }
  Take(lock, loc);
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock, std::source_location loc) {
  if (Self().irql < DISPATCH_LEVEL) {
    Verify(Check::SpinLockWrongIrql,
           "KeReleaseSpinLockFromDpcLevel at IRQL " + std::to_string(Self().irql), loc);
  }
  Give(lock, loc);
}

BOOLEAN KeTestSpinLock(PKSPIN_LOCK lock) { return __atomic_load_n(lock, __ATOMIC_RELAXED) == 0; }

// ---- events, mutexes, semaphores --------------------------------------------------------------

VOID KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
  std::lock_guard<std::mutex> guard(K().lock);
  event->Header.Type = type == NotificationEvent ? kNotificationEvent : kSynchronizationEvent;
  event->Header.SignalState = state ? 1 : 0;
  InitializeListHead(&event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT event, KPRIORITY, BOOLEAN, std::source_location loc) {
  CheckIrql(DISPATCH_LEVEL, "KeSetEvent", loc);
  LONG previous;
  {
    std::lock_guard<std::mutex> guard(K().lock);
    previous = event->Header.SignalState;
    event->Header.SignalState = 1;
  }
  K().signal.notify_all();
  return previous;
}

LONG KeResetEvent(PRKEVENT event, std::source_location loc) {
  CheckIrql(DISPATCH_LEVEL, "KeResetEvent", loc);
  std::lock_guard<std::mutex> guard(K().lock);
  LONG previous = event->Header.SignalState;
  event->Header.SignalState = 0;
  return previous;
}

VOID KeClearEvent(PRKEVENT event) {
  std::lock_guard<std::mutex> guard(K().lock);
  event->Header.SignalState = 0;
}

LONG KeReadStateEvent(PRKEVENT event) {
  std::lock_guard<std::mutex> guard(K().lock);
  return event->Header.SignalState;
}

VOID KeInitializeMutex(PRKMUTEX mutex, ULONG) {
  std::lock_guard<std::mutex> guard(K().lock);
  mutex->Header.Type = kMutant;
  mutex->Header.SignalState = 1;
  InitializeListHead(&mutex->Header.WaitListHead);
  mutex->OwnerThread = nullptr;
  mutex->Abandoned = FALSE;
}

LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN, std::source_location loc) {
  LONG state;
  {
    std::lock_guard<std::mutex> guard(K().lock);
    if (mutex->OwnerThread != CurrentThread() || mutex->Header.SignalState > 0) {
      Verify(Check::MutexNotOwned,
             "KeReleaseMutex by a thread that does not own it "
             "(STATUS_MUTANT_NOT_OWNED)",
             loc);
      return mutex->Header.SignalState;
    }
    state = mutex->Header.SignalState++;
    if (state == 0) mutex->OwnerThread = nullptr;
  }
  K().signal.notify_all();
  return state;
}

LONG KeReadStateMutex(PRKMUTEX mutex) {
  std::lock_guard<std::mutex> guard(K().lock);
  return mutex->Header.SignalState;
}

VOID KeInitializeSemaphore(PRKSEMAPHORE semaphore, LONG count, LONG limit) {
  std::lock_guard<std::mutex> guard(K().lock);
  semaphore->Header.Type = kSemaphore;
  semaphore->Header.SignalState = count;
  InitializeListHead(&semaphore->Header.WaitListHead);
  semaphore->Limit = limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE semaphore, KPRIORITY, LONG adjustment, BOOLEAN,
                        std::source_location loc) {
  CheckIrql(DISPATCH_LEVEL, "KeReleaseSemaphore", loc);
  LONG previous;
  {
    std::lock_guard<std::mutex> guard(K().lock);
    previous = semaphore->Header.SignalState;
    if (previous + adjustment > semaphore->Limit) {
      Verify(Check::BugCheck,
             "KeReleaseSemaphore beyond the limit (STATUS_SEMAPHORE_LIMIT_EXCEEDED)", loc);
      return previous;
    }
    semaphore->Header.SignalState = previous + adjustment;
  }
  K().signal.notify_all();
  return previous;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE semaphore) {
  std::lock_guard<std::mutex> guard(K().lock);
  return semaphore->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               PLARGE_INTEGER timeout, std::source_location loc) {
  PVOID objects[1] = {object};
  return WaitObjects(1, objects, WaitAny, timeout, loc, "KeWaitForSingleObject");
}

NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID objects[], WAIT_TYPE waitType, KWAIT_REASON,
                                  KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER timeout, PKWAIT_BLOCK,
                                  std::source_location loc) {
  return WaitObjects(count, objects, waitType, timeout, loc, "KeWaitForMultipleObjects");
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval,
                                std::source_location loc) {
  CheckIrql(APC_LEVEL, "KeDelayExecutionThread", loc);
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  PVOID objects[1] = {&never};
  WaitObjects(1, objects, WaitAny, interval, loc, "KeDelayExecutionThread");
  return STATUS_SUCCESS;
}

VOID KeStallExecutionProcessor(ULONG microseconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(microseconds);
  while (std::chrono::steady_clock::now() < until) std::this_thread::yield();
}

// ---- fast mutexes ---------------------------------------------------------------------------

VOID ExInitializeFastMutex(PFAST_MUTEX mutex) {
  mutex->Count = 1;
  mutex->Owner = nullptr;
  mutex->Contention = 0;
  mutex->OldIrql = 0;
  KeInitializeEvent(&mutex->Event, SynchronizationEvent, TRUE);
}

VOID ExAcquireFastMutex(PFAST_MUTEX mutex, std::source_location loc) {
  CheckIrql(APC_LEVEL, "ExAcquireFastMutex", loc);
  if (mutex->Owner == CurrentThread())
    Fatal(Check::BugCheck, "fast mutex acquired recursively", loc);
  KeWaitForSingleObject(&mutex->Event, Executive, KernelMode, FALSE, nullptr, loc);
  mutex->Owner = CurrentThread();
  mutex->OldIrql = Self().irql;
  Self().irql = APC_LEVEL;
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX mutex, std::source_location loc) {
  CheckIrql(APC_LEVEL, "ExTryToAcquireFastMutex", loc);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  if (KeWaitForSingleObject(&mutex->Event, Executive, KernelMode, FALSE, &zero, loc) != 0) {
    return FALSE;
  }
  mutex->Owner = CurrentThread();
  mutex->OldIrql = Self().irql;
  Self().irql = APC_LEVEL;
  return TRUE;
}

VOID ExReleaseFastMutex(PFAST_MUTEX mutex, std::source_location loc) {
  if (mutex->Owner != CurrentThread()) {
    Verify(Check::MutexNotOwned, "ExReleaseFastMutex by a thread that does not own it", loc);
    return;
  }
  mutex->Owner = nullptr;
  Self().irql = (KIRQL)mutex->OldIrql;
  KeSetEvent(&mutex->Event, 0, FALSE, loc);
}

// ---- DPCs and timers ----------------------------------------------------------------------

VOID KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context) {
  std::lock_guard<std::mutex> guard(K().lock);
  dpc->Type = 0x13;
  dpc->Importance = 1;
  dpc->Number = 0;
  dpc->DeferredRoutine = routine;
  dpc->DeferredContext = context;
  dpc->SystemArgument1 = dpc->SystemArgument2 = nullptr;
  dpc->DpcData = nullptr;
  K().dpcQueued.erase(dpc);
  K().dpcOwner[dpc] = Self().driver;
}

BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID argument1, PVOID argument2) {
  StartKernelThreads();
  bool inserted;
  {
    std::lock_guard<std::mutex> guard(K().lock);
    inserted = InsertDpcLocked(dpc, argument1, argument2);
  }
  K().signal.notify_all();
  return inserted;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC dpc) {
  std::lock_guard<std::mutex> guard(K().lock);
  if (!K().dpcQueued.erase(dpc)) return FALSE;
  K().dpcQueue.erase(std::find(K().dpcQueue.begin(), K().dpcQueue.end(), dpc));
  return TRUE;
}

VOID KeFlushQueuedDpcs() {
  std::unique_lock<std::mutex> guard(K().lock);
  K().signal.wait(guard, [] { return K().dpcQueue.empty() && !K().dpcRunning; });
}

VOID KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type) {
  std::lock_guard<std::mutex> guard(K().lock);
  K().timers.erase(timer);
  timer->Header.Type = type == NotificationTimer ? kNotificationTimer : kSynchronizationTimer;
  timer->Header.SignalState = 0;
  timer->Header.Inserted = FALSE;
  timer->Header.Absolute = FALSE;
  InitializeListHead(&timer->Header.WaitListHead);
  timer->DueTime.QuadPart = 0;
  timer->Dpc = nullptr;
  timer->Period = 0;
}

VOID KeInitializeTimer(PKTIMER timer) { KeInitializeTimerEx(timer, NotificationTimer); }

BOOLEAN KeSetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG periodMs, PKDPC dpc) {
  StartKernelThreads();
  BOOLEAN wasQueued;
  {
    std::lock_guard<std::mutex> guard(K().lock);
    wasQueued = K().timers.erase(timer) ? TRUE : FALSE;
    timer->Header.SignalState = 0;
    timer->Dpc = dpc;
    timer->Period = periodMs;
    if (dueTime.QuadPart < 0) {
      timer->Header.Absolute = FALSE;
      timer->DueTime.QuadPart = InterruptTimeNow() - dueTime.QuadPart;
    } else {
      timer->Header.Absolute = TRUE;
      timer->DueTime.QuadPart = dueTime.QuadPart;
    }
    timer->Header.Inserted = TRUE;
    K().timers.insert(timer);
  }
  K().signal.notify_all();
  return wasQueued;
}

BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc) {
  return KeSetTimerEx(timer, dueTime, 0, dpc);
}

BOOLEAN KeCancelTimer(PKTIMER timer) {
  std::lock_guard<std::mutex> guard(K().lock);
  bool queued = K().timers.erase(timer) != 0;
  timer->Header.Inserted = FALSE;
  return queued ? TRUE : FALSE;
}

BOOLEAN KeReadStateTimer(PKTIMER timer) {
  std::lock_guard<std::mutex> guard(K().lock);
  return timer->Header.SignalState > 0 ? TRUE : FALSE;
}

// ---- time -----------------------------------------------------------------------------------

VOID KeQuerySystemTime(PLARGE_INTEGER time) { time->QuadPart = SystemTimeNow(); }

ULONGLONG KeQueryInterruptTime() { return (ULONGLONG)InterruptTimeNow(); }

ULONG KeQueryTimeIncrement() { return 156250; }

VOID KeQueryTickCount(PLARGE_INTEGER ticks) {
  ticks->QuadPart = InterruptTimeNow() / KeQueryTimeIncrement();
}

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER frequency) {
  if (frequency) frequency->QuadPart = 10000000;
  LARGE_INTEGER now;
  now.QuadPart = InterruptTimeNow();
  return now;
}

VOID ExSystemTimeToLocalTime(PLARGE_INTEGER systemTime, PLARGE_INTEGER localTime) {
  *localTime = *systemTime;  // the world runs in UTC
}

VOID RtlTimeToTimeFields(PLARGE_INTEGER time, PTIME_FIELDS fields) {
  LONGLONG t = time->QuadPart;
  fields->Milliseconds = (SHORT)((t / 10000) % 1000);
  LONGLONG seconds = t / 10000000;
  fields->Second = (SHORT)(seconds % 60);
  fields->Minute = (SHORT)((seconds / 60) % 60);
  fields->Hour = (SHORT)((seconds / 3600) % 24);
  LONGLONG days = seconds / 86400;  // days since 1601-01-01 (a Monday)
  fields->Weekday = (SHORT)((days + 1) % 7);
  // Civil date from days since 1601-01-01: shift to days since 0000-03-01.
  LONGLONG z = days + 584694;  // 1601-01-01 is day 584694 after 0000-03-01
  LONGLONG era = z / 146097;
  LONGLONG doe = z - era * 146097;
  LONGLONG yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  LONGLONG y = yoe + era * 400;
  LONGLONG doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  LONGLONG mp = (5 * doy + 2) / 153;
  LONGLONG d = doy - (153 * mp + 2) / 5 + 1;
  LONGLONG m = mp < 10 ? mp + 3 : mp - 9;
  fields->Year = (SHORT)(y + (m <= 2));
  fields->Month = (SHORT)m;
  fields->Day = (SHORT)d;
}

PKTHREAD KeGetCurrentThread() { return CurrentThread(); }
HANDLE PsGetCurrentThreadId() { return (HANDLE)CurrentThread(); }

// ---- system worker threads ------------------------------------------------------------------

VOID ExQueueWorkItem(PWORK_QUEUE_ITEM item, WORK_QUEUE_TYPE, std::source_location loc) {
  CheckIrql(DISPATCH_LEVEL, "ExQueueWorkItem", loc);
  PWORKER_THREAD_ROUTINE routine = item->WorkerRoutine;
  WorkEntry entry;
  entry.key = item;
  entry.driver = Self().driver;
  entry.run = [item, routine] { routine(item->Parameter); };
  if (!QueueWork(std::move(entry))) {
    Verify(Check::WorkItemQueuedTwice, "ExQueueWorkItem on a work item that is still queued", loc);
  }
}

ULONG DbgPrint(PCSTR format, ...) {
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  return 0;
}
