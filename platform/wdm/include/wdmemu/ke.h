// The kernel: IRQL, spin locks, dispatcher objects and waits, timers and DPCs, work items,
// interlocked operations, time and pool. Calls that the verifier checks take the caller's
// source location as a defaulted last argument, so a report names the driver line at fault;
// driver code calls them exactly as on Windows.
#pragma once

#include <source_location>

#include "wdmemu/status.h"

#define WDMEMU_HERE std::source_location loc = std::source_location::current()

// ---- IRQL -----------------------------------------------------------------------------------

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

KIRQL KeGetCurrentIrql();
VOID KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql, WDMEMU_HERE);
VOID KeLowerIrql(KIRQL newIrql, WDMEMU_HERE);
KIRQL KeRaiseIrqlToDpcLevel();

// Marks code that must not run above APC_LEVEL, as PAGED_CODE does in a checked build.
VOID wdmemu_PagedCode(WDMEMU_HERE);
#define PAGED_CODE() wdmemu_PagedCode()

typedef enum _KPROCESSOR_MODE_VALUES { KernelMode = 0, UserMode = 1 } MODE;

// ---- spin locks -----------------------------------------------------------------------------

VOID KeInitializeSpinLock(PKSPIN_LOCK lock);
VOID KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql, WDMEMU_HERE);
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock, WDMEMU_HERE);
VOID KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql, WDMEMU_HERE);
VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock, WDMEMU_HERE);
VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock, WDMEMU_HERE);
BOOLEAN KeTestSpinLock(PKSPIN_LOCK lock);

// ---- dispatcher objects ---------------------------------------------------------------------

typedef struct _DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Absolute;
  UCHAR Size;
  UCHAR Inserted;
  LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer = 0, SynchronizationTimer = 1 } TIMER_TYPE;
typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 6 } KWAIT_REASON;
typedef enum _WAIT_TYPE { WaitAll = 0, WaitAny = 1 } WAIT_TYPE;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

struct _KTHREAD;
typedef struct _KTHREAD *PKTHREAD, *PETHREAD;

typedef struct _KMUTANT {
  DISPATCHER_HEADER Header;
  LIST_ENTRY MutantListEntry;
  PKTHREAD OwnerThread;
  BOOLEAN Abandoned;
  UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

typedef struct _KSEMAPHORE {
  DISPATCHER_HEADER Header;
  LONG Limit;
} KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;

struct _KDPC;
typedef VOID KDEFERRED_ROUTINE(struct _KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef struct _KDPC {
  UCHAR Type;
  UCHAR Importance;
  volatile USHORT Number;
  LIST_ENTRY DpcListEntry;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  volatile PVOID DpcData;
} KDPC, *PKDPC, *PRKDPC;

typedef struct _KTIMER {
  DISPATCHER_HEADER Header;
  ULARGE_INTEGER DueTime;
  LIST_ENTRY TimerListEntry;
  struct _KDPC* Dpc;
  ULONG Processor;
  LONG Period;
} KTIMER, *PKTIMER, *PRKTIMER;

typedef struct _KWAIT_BLOCK {
  LIST_ENTRY WaitListEntry;
  PKTHREAD Thread;
  PVOID Object;
  struct _KWAIT_BLOCK* NextWaitBlock;
  USHORT WaitKey;
  UCHAR WaitType;
  UCHAR BlockState;
} KWAIT_BLOCK, *PKWAIT_BLOCK;

#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64
#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1
#define SEMAPHORE_INCREMENT 1

VOID KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait, WDMEMU_HERE);
LONG KeResetEvent(PRKEVENT event, WDMEMU_HERE);
VOID KeClearEvent(PRKEVENT event);
LONG KeReadStateEvent(PRKEVENT event);

VOID KeInitializeMutex(PRKMUTEX mutex, ULONG level);
LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN wait, WDMEMU_HERE);
LONG KeReadStateMutex(PRKMUTEX mutex);

VOID KeInitializeSemaphore(PRKSEMAPHORE semaphore, LONG count, LONG limit);
LONG KeReleaseSemaphore(PRKSEMAPHORE semaphore, KPRIORITY increment, LONG adjustment, BOOLEAN wait,
                        WDMEMU_HERE);
LONG KeReadStateSemaphore(PRKSEMAPHORE semaphore);

// Timeout: NULL waits for ever; 0 polls; negative is relative in 100 ns units; positive is an
// absolute system time.
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode,
                               BOOLEAN alertable, PLARGE_INTEGER timeout, WDMEMU_HERE);
NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID objects[], WAIT_TYPE waitType,
                                  KWAIT_REASON reason, KPROCESSOR_MODE mode, BOOLEAN alertable,
                                  PLARGE_INTEGER timeout, PKWAIT_BLOCK waitBlocks, WDMEMU_HERE);
#define KeWaitForMutexObject KeWaitForSingleObject
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN alertable, PLARGE_INTEGER interval,
                                WDMEMU_HERE);
VOID KeStallExecutionProcessor(ULONG microseconds);

// ---- fast mutexes ---------------------------------------------------------------------------

typedef struct _FAST_MUTEX {
  LONG Count;
  PKTHREAD Owner;
  ULONG Contention;
  KEVENT Event;
  ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX;

VOID ExInitializeFastMutex(PFAST_MUTEX mutex);
VOID ExAcquireFastMutex(PFAST_MUTEX mutex, WDMEMU_HERE);
VOID ExReleaseFastMutex(PFAST_MUTEX mutex, WDMEMU_HERE);
BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX mutex, WDMEMU_HERE);

// ---- timers and DPCs ------------------------------------------------------------------------

VOID KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context);
BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID argument1, PVOID argument2);
BOOLEAN KeRemoveQueueDpc(PRKDPC dpc);
VOID KeFlushQueuedDpcs();

VOID KeInitializeTimer(PKTIMER timer);
VOID KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type);
BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc);
BOOLEAN KeSetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG periodMs, PKDPC dpc);
BOOLEAN KeCancelTimer(PKTIMER timer);
BOOLEAN KeReadStateTimer(PKTIMER timer);

// ---- time -----------------------------------------------------------------------------------

// System time: 100 ns units since 1601-01-01 UTC, following the world's clock offset.
VOID KeQuerySystemTime(PLARGE_INTEGER time);
// Interrupt time: 100 ns units since boot; never moves with the clock.
ULONGLONG KeQueryInterruptTime();
VOID KeQueryTickCount(PLARGE_INTEGER ticks);
ULONG KeQueryTimeIncrement();
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER frequency);

typedef struct _TIME_FIELDS {
  SHORT Year, Month, Day, Hour, Minute, Second, Milliseconds, Weekday;
} TIME_FIELDS, *PTIME_FIELDS;
VOID RtlTimeToTimeFields(PLARGE_INTEGER time, PTIME_FIELDS fields);
VOID ExSystemTimeToLocalTime(PLARGE_INTEGER systemTime, PLARGE_INTEGER localTime);

// ---- threads ----------------------------------------------------------------------------------

PKTHREAD KeGetCurrentThread();
#define PsGetCurrentThread() KeGetCurrentThread()
HANDLE PsGetCurrentThreadId();

// ---- interlocked --------------------------------------------------------------------------

inline LONG InterlockedIncrement(LONG volatile* p) {
  return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* p) {
  return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(LONG volatile* p, LONG v) {
  return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(LONG volatile* p, LONG v) {
  return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedAdd(LONG volatile* p, LONG v) {
  return __atomic_add_fetch(p, v, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* p, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
inline LONG InterlockedOr(LONG volatile* p, LONG v) {
  return __atomic_fetch_or(p, v, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedAnd(LONG volatile* p, LONG v) {
  return __atomic_fetch_and(p, v, __ATOMIC_SEQ_CST);
}
inline LONGLONG InterlockedIncrement64(LONGLONG volatile* p) {
  return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST);
}
inline LONGLONG InterlockedDecrement64(LONGLONG volatile* p) {
  return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST);
}
inline LONGLONG InterlockedExchange64(LONGLONG volatile* p, LONGLONG v) {
  return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
inline LONGLONG InterlockedCompareExchange64(LONGLONG volatile* p, LONGLONG exchange,
                                             LONGLONG comparand) {
  __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* p, PVOID v) {
  return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* p, PVOID exchange, PVOID comparand) {
  __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
inline VOID KeMemoryBarrier() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
#define MemoryBarrier() KeMemoryBarrier()

// ---- pool -------------------------------------------------------------------------------------

typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  NonPagedPoolExecute = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolNx = 0x200,
} POOL_TYPE;

// Plain allocations come back filled with a garbage pattern, as uninitialised pool does.
PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag, WDMEMU_HERE);
PVOID ExAllocatePool(POOL_TYPE type, SIZE_T bytes, WDMEMU_HERE);
PVOID ExAllocatePoolZero(POOL_TYPE type, SIZE_T bytes, ULONG tag, WDMEMU_HERE);
VOID ExFreePoolWithTag(PVOID p, ULONG tag, WDMEMU_HERE);
VOID ExFreePool(PVOID p, WDMEMU_HERE);

// ---- system worker threads ------------------------------------------------------------------

typedef enum _WORK_QUEUE_TYPE {
  CriticalWorkQueue = 0,
  DelayedWorkQueue = 1,
  HyperCriticalWorkQueue = 2,
} WORK_QUEUE_TYPE;

typedef VOID WORKER_THREAD_ROUTINE(PVOID Parameter);
typedef WORKER_THREAD_ROUTINE* PWORKER_THREAD_ROUTINE;

typedef struct _WORK_QUEUE_ITEM {
  LIST_ENTRY List;
  PWORKER_THREAD_ROUTINE WorkerRoutine;
  volatile PVOID Parameter;
} WORK_QUEUE_ITEM, *PWORK_QUEUE_ITEM;

inline VOID ExInitializeWorkItem(PWORK_QUEUE_ITEM item, PWORKER_THREAD_ROUTINE routine,
                                 PVOID parameter) {
  item->WorkerRoutine = routine;
  item->Parameter = parameter;
  item->List.Flink = nullptr;
}
VOID ExQueueWorkItem(PWORK_QUEUE_ITEM item, WORK_QUEUE_TYPE queueType, WDMEMU_HERE);

// ---- debugging ------------------------------------------------------------------------------

ULONG DbgPrint(PCSTR format, ...);
#define KdPrint(args) DbgPrint args
VOID DbgBreakPoint(WDMEMU_HERE);
[[noreturn]] VOID KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                               WDMEMU_HERE);
[[noreturn]] VOID KeBugCheck(ULONG code, WDMEMU_HERE);
VOID wdmemu_AssertFailed(const char* expression, WDMEMU_HERE);
#define ASSERT(e) ((e) ? (void)0 : wdmemu_AssertFailed(#e))
#define NT_ASSERT(e) ASSERT(e)
