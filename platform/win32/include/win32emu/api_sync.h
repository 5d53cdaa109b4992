// Interim: the minimal critical sections, events and single waits the service log and the service
// host need, until the full synchronisation slice lands. That slice replaces this file whole and
// deletes src/sync_interim.cpp.
#pragma once
#include "win32emu/base_types.h"
extern "C" {
typedef struct _CRITICAL_SECTION {
  void* impl;
  LONG LockCount;
  LONG RecursionCount;
  HANDLE OwningThread;
  HANDLE LockSemaphore;
  ULONG_PTR SpinCount;
} CRITICAL_SECTION, *LPCRITICAL_SECTION;
BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION cs, DWORD spin);
void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs);
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs);
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs);
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs);
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manual, BOOL initial, LPCWSTR name);
BOOL WINAPI SetEvent(HANDLE);
DWORD WINAPI WaitForSingleObject(HANDLE, DWORD);
}
#define WAIT_OBJECT_0 0
#define WAIT_ABANDONED_0 0x80
