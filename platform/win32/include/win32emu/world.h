// The simulated world behind the Win32 emulation: what tests and tools control.
//
// The world is a directory (its root) holding the drives, the service database and anything
// else that outlives one process, plus in-process state such as the clock offset and the
// failure-injection table. Drive C: is <root>/drive_c; drive Z: is the host's "/" (so that
// programs can name host files, as under Wine).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "win32emu/base_types.h"

namespace win32emu {

// ---- the root -------------------------------------------------------------------------------

// The world's root directory. Taken from WIN32EMU_ROOT when set, else
// $XDG_STATE_HOME/win32emu or $HOME/.local/state/win32emu. Created on first use.
std::string WorldRoot();
// Points the process at another world (tests use a fresh temporary one each). Creates the
// standard folders. Affects this process and the processes it starts afterwards.
void SetWorldRoot(const std::string& root);
// Makes a fresh world in a new temporary directory and returns its root.
std::string MakeTemporaryWorld();

// ---- paths ----------------------------------------------------------------------------------

// Host path for a Windows path ("C:\\ProgramData\\x" -> "<root>/drive_c/ProgramData/x",
// "Z:\\tmp\\x" -> "/tmp/x", ".\\x" -> "./x"). Empty when the path cannot name a file.
std::string HostPath(std::wstring_view windowsPath);
// Windows path for a host path ("<root>/drive_c/a" -> "C:\\a", "/tmp/x" -> "Z:\\tmp\\x").
std::wstring WindowsPath(const std::string& hostPath);

// ---- text -----------------------------------------------------------------------------------

std::string Narrow(std::wstring_view text);  // UTF-8
std::wstring Widen(std::string_view utf8);

// ---- the clock ------------------------------------------------------------------------------

// The system clock is the host's real time plus an offset, in 100 ns units. Moving it forward or
// back behaves like a user setting the clock: absolute timers follow it, relative ones do not.
int64_t ClockOffset();
void SetClockOffset(int64_t offset100ns);
void MoveClock(int64_t delta100ns);
// Observers of clock changes (waitable timers with absolute due times register here).
using ClockObserver = void (*)(void* context);
void AddClockObserver(ClockObserver observer, void* context);
void RemoveClockObserver(ClockObserver observer, void* context);

// ---- failure injection ----------------------------------------------------------------------

// Makes the named emulated call ("CreateFileW", "SetServiceStatus", ...) fail with `error`:
// after `skip` successful calls, for `count` calls (count < 0: for ever). Injections for one
// call name are consumed in the order given.
void InjectFailure(const char* api, DWORD error, int skip = 0, int count = 1);
void ClearFailures();
// How often the named call has been made since the last ClearFailures (for tests that step an
// injection across every call of an operation).
int CallCount(const char* api);

// ---- folders --------------------------------------------------------------------------------

// Removes or restores a known folder (CSIDL value); SHGetFolderPathW fails for a removed one.
void RemoveKnownFolder(int csidl);
void RestoreKnownFolders();

// ---- the registry ----------------------------------------------------------------------------

// Writes a value, creating its key (HKEY_LOCAL_MACHINE ... as root).
LONG SetRegistryValue(HKEY root, const std::wstring& key, const std::wstring& name, DWORD type,
                      const void* data, DWORD bytes);

// ---- the service control manager ------------------------------------------------------------

// Every SERVICE_STATUS this process reported through SetServiceStatus, in order.
struct StatusReport {
  DWORD serviceType, currentState, controlsAccepted, win32ExitCode, serviceSpecificExitCode,
      checkPoint, waitHint;
};
std::vector<StatusReport> StatusReports();
void ClearStatusReports();

// Makes this process count as started by the service manager for `serviceName`: a later
// StartServiceCtrlDispatcherW connects instead of failing with 1063. The service must be
// installed in the world's database. Empty name: not started by the manager.
void SetStartedAsService(const std::wstring& serviceName);

// Makes StartServiceW run services in this process: instead of starting the service's binary
// it calls `host` with the service name, which must arrange for StartServiceCtrlDispatcherW to
// be called (on a thread of its own, after SetStartedAsService). Null restores process starts.
void SetInProcessServiceHost(std::function<void(const std::wstring&)> host);

// Delivers a control to the running service in this process or another one, as the manager
// would (eventData is copied). Returns the handler's result, or an error code (1062 when the
// service is not running). Device and power events use this path.
DWORD DeliverControl(const std::wstring& serviceName, DWORD control, DWORD eventType,
                     const void* eventData, size_t eventDataSize);

// Shortens the emulation's time-outs in this process, for tests of long waits and polling
// loops: a time-out of n ms lasts n / factor ms (a non-zero one at least 1 ms; INFINITE stays
// infinite). 1 = real time. It applies to the time-out of every wait (WaitForSingleObject(Ex),
// WaitForMultipleObjects(Ex), SignalObjectAndWait, SleepEx), to Sleep, to the relative due
// times and the periods of waitable timers, and to the service manager's own 30 s limits
// (StartServiceW's wait for the connect, the wait for a control handler's answer). It does not
// apply to the clocks: the system time, GetTickCount and GetTickCount64 run in real time, so a
// loop bounded by a tick-count deadline still takes its real length; nor to absolute due times
// of waitable timers (they follow the system clock) or to serial port time-outs.
void SetTimeScale(unsigned factor);
unsigned TimeScale();

}  // namespace win32emu
