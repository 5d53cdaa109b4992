// Threads, waits, asynchronous procedure calls, events, mutexes, semaphores, critical sections
// and waitable timers.
#pragma once

#include "win32emu/base_types.h"

#ifndef NTAPI
#define NTAPI
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef LONG* LPLONG;

// ---- wait results and limits ----
#define STATUS_WAIT_0 ((DWORD)0x00000000)
#define STATUS_ABANDONED_WAIT_0 ((DWORD)0x00000080)
#define STATUS_USER_APC ((DWORD)0x000000C0)
#define STATUS_TIMEOUT ((DWORD)0x00000102)
#define STATUS_PENDING ((DWORD)0x00000103)
#define WAIT_OBJECT_0 ((STATUS_WAIT_0) + 0)
#define WAIT_ABANDONED ((STATUS_ABANDONED_WAIT_0) + 0)
#define WAIT_ABANDONED_0 ((STATUS_ABANDONED_WAIT_0) + 0)
#define WAIT_IO_COMPLETION STATUS_USER_APC
#define WAIT_FAILED ((DWORD)0xffffffff)
#define STILL_ACTIVE STATUS_PENDING
#define MAXIMUM_WAIT_OBJECTS 64
#ifndef ERROR_TOO_MANY_POSTS
#define ERROR_TOO_MANY_POSTS 298
#endif

// ---- access rights (accepted, not enforced) ----
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3)
#define MUTEX_MODIFY_STATE 0x0001
#define MUTEX_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x1)
#define SEMAPHORE_MODIFY_STATE 0x0002
#define SEMAPHORE_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3)
#define TIMER_QUERY_STATE 0x0001
#define TIMER_MODIFY_STATE 0x0002
#define TIMER_ALL_ACCESS \
  (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | TIMER_QUERY_STATE | TIMER_MODIFY_STATE)

// ---- threads ----
#define CREATE_SUSPENDED 0x4
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x10000

typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID parameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;
typedef VOID(NTAPI* PAPCFUNC)(ULONG_PTR parameter);

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                           LPVOID parameter, DWORD flags, LPDWORD threadId);
VOID WINAPI ExitThread(DWORD exitCode);
BOOL WINAPI TerminateThread(HANDLE thread, DWORD exitCode);
BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
DWORD WINAPI ResumeThread(HANDLE thread);
DWORD WINAPI GetThreadId(HANDLE thread);
DWORD WINAPI QueueUserAPC(PAPCFUNC apc, HANDLE thread, ULONG_PTR data);

// ---- waits ----
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WINAPI WaitForSingleObjectEx(HANDLE handle, DWORD milliseconds, BOOL alertable);
DWORD WINAPI WaitForMultipleObjects(DWORD count, CONST HANDLE* handles, BOOL waitAll,
                                    DWORD milliseconds);
DWORD WINAPI WaitForMultipleObjectsEx(DWORD count, CONST HANDLE* handles, BOOL waitAll,
                                      DWORD milliseconds, BOOL alertable);
DWORD WINAPI SignalObjectAndWait(HANDLE toSignal, HANDLE toWaitOn, DWORD milliseconds,
                                 BOOL alertable);
DWORD WINAPI SleepEx(DWORD milliseconds, BOOL alertable);

// ---- events ----
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState,
                           LPCWSTR name);
HANDLE WINAPI OpenEventW(DWORD access, BOOL inherit, LPCWSTR name);
BOOL WINAPI SetEvent(HANDLE event);
BOOL WINAPI ResetEvent(HANDLE event);

// ---- mutexes ----
HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES sa, BOOL initialOwner, LPCWSTR name);
HANDLE WINAPI OpenMutexW(DWORD access, BOOL inherit, LPCWSTR name);
BOOL WINAPI ReleaseMutex(HANDLE mutex);

// ---- semaphores ----
HANDLE WINAPI CreateSemaphoreW(LPSECURITY_ATTRIBUTES sa, LONG initialCount, LONG maximumCount,
                               LPCWSTR name);
HANDLE WINAPI OpenSemaphoreW(DWORD access, BOOL inherit, LPCWSTR name);
BOOL WINAPI ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LPLONG previousCount);

// ---- critical sections ----
typedef struct _RTL_CRITICAL_SECTION_DEBUG* PRTL_CRITICAL_SECTION_DEBUG;
typedef struct _RTL_CRITICAL_SECTION {
  PRTL_CRITICAL_SECTION_DEBUG DebugInfo;
  LONG LockCount;
  LONG RecursionCount;
  HANDLE OwningThread;
  HANDLE LockSemaphore;
  ULONG_PTR SpinCount;
} RTL_CRITICAL_SECTION, *PRTL_CRITICAL_SECTION;
typedef RTL_CRITICAL_SECTION CRITICAL_SECTION;
typedef PRTL_CRITICAL_SECTION PCRITICAL_SECTION;
typedef PRTL_CRITICAL_SECTION LPCRITICAL_SECTION;

VOID WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs);
BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION cs, DWORD spinCount);
DWORD WINAPI SetCriticalSectionSpinCount(LPCRITICAL_SECTION cs, DWORD spinCount);
VOID WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs);
BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION cs);
VOID WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs);
VOID WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs);

// ---- waitable timers ----
typedef VOID(CALLBACK* PTIMERAPCROUTINE)(LPVOID argument, DWORD timerLowValue,
                                         DWORD timerHighValue);

HANDLE WINAPI CreateWaitableTimerW(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, LPCWSTR name);
HANDLE WINAPI OpenWaitableTimerW(DWORD access, BOOL inherit, LPCWSTR name);
BOOL WINAPI SetWaitableTimer(HANDLE timer, const LARGE_INTEGER* dueTime, LONG period,
                             PTIMERAPCROUTINE completionRoutine, LPVOID argument, BOOL resume);
BOOL WINAPI CancelWaitableTimer(HANDLE timer);

#ifdef __cplusplus
}
#endif
