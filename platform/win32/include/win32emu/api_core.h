// Handles, errors, files, time, process and module information.
#pragma once

#include "win32emu/base_types.h"

#ifdef __cplusplus
extern "C" {
#endif

// ---- errors and handles ----
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD error);
BOOL WINAPI CloseHandle(HANDLE h);

#define DUPLICATE_CLOSE_SOURCE 0x1
#define DUPLICATE_SAME_ACCESS 0x2
BOOL WINAPI DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess,
                            LPHANDLE target, DWORD access, BOOL inherit, DWORD options);

// ---- overlapped I/O record (the serial slice uses it too) ----
typedef struct _OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    PVOID Pointer;
  };
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;
typedef void(WINAPI* LPOVERLAPPED_COMPLETION_ROUTINE)(DWORD errorCode, DWORD bytes,
                                                      LPOVERLAPPED overlapped);

// ---- files ----
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define FILE_SHARE_READ 0x1
#define FILE_SHARE_WRITE 0x2
#define FILE_SHARE_DELETE 0x4
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_READONLY 0x1
#define FILE_ATTRIBUTE_HIDDEN 0x2
#define FILE_ATTRIBUTE_SYSTEM 0x4
#define FILE_ATTRIBUTE_DIRECTORY 0x10
#define FILE_ATTRIBUTE_ARCHIVE 0x20
#define FILE_ATTRIBUTE_NORMAL 0x80
#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define FILE_FLAG_NO_BUFFERING 0x20000000u
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000u
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2

HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                          DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL WINAPI ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WINAPI WriteFile(HANDLE h, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                      LPOVERLAPPED overlapped);
BOOL WINAPI FlushFileBuffers(HANDLE h);
DWORD WINAPI GetFileSize(HANDLE h, LPDWORD sizeHigh);
BOOL WINAPI GetFileSizeEx(HANDLE h, PLARGE_INTEGER size);
DWORD WINAPI SetFilePointer(HANDLE h, LONG distance, PLONG distanceHigh, DWORD method);
DWORD WINAPI GetFileAttributesW(LPCWSTR name);
BOOL WINAPI CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES sa);
BOOL WINAPI DeleteFileW(LPCWSTR name);

// ---- time ----
void WINAPI GetSystemTime(LPSYSTEMTIME st);
void WINAPI GetSystemTimeAsFileTime(LPFILETIME ft);
BOOL WINAPI FileTimeToSystemTime(const FILETIME* ft, LPSYSTEMTIME st);
BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME ft);
DWORD WINAPI GetTickCount(void);
ULONGLONG WINAPI GetTickCount64(void);
void WINAPI Sleep(DWORD ms);

// ---- process, thread and module ----
DWORD WINAPI GetCurrentThreadId(void);
DWORD WINAPI GetCurrentProcessId(void);
HANDLE WINAPI GetCurrentProcess(void);
HANDLE WINAPI GetCurrentThread(void);
HMODULE WINAPI GetModuleHandleW(LPCWSTR name);
DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
LPWSTR WINAPI GetCommandLineW(void);
void WINAPI ExitProcess(UINT code);

#define NORMAL_PRIORITY_CLASS 0x20
#define IDLE_PRIORITY_CLASS 0x40
#define HIGH_PRIORITY_CLASS 0x80
#define REALTIME_PRIORITY_CLASS 0x100
#define BELOW_NORMAL_PRIORITY_CLASS 0x4000
#define ABOVE_NORMAL_PRIORITY_CLASS 0x8000
BOOL WINAPI SetPriorityClass(HANDLE process, DWORD priorityClass);
DWORD WINAPI GetPriorityClass(HANDLE process);

// ---- exceptions and the run-time library's invalid-parameter handler ----
#define EXCEPTION_NONCONTINUABLE 0x1
#define EXCEPTION_MAXIMUM_PARAMETERS 15
void WINAPI RaiseException(DWORD code, DWORD flags, DWORD nArgs, const ULONG_PTR* args);

typedef void (*_invalid_parameter_handler)(const wchar_t* expression, const wchar_t* function,
                                           const wchar_t* file, unsigned int line,
                                           uintptr_t reserved);
_invalid_parameter_handler _set_invalid_parameter_handler(_invalid_parameter_handler handler);

// Run-time library string helpers of the platform.
int _wcsicmp(const wchar_t* a, const wchar_t* b);
int _wcsnicmp(const wchar_t* a, const wchar_t* b, size_t n);

#ifdef __cplusplus
}
#endif
