// Internals shared by the emulation's sources: the handle table, kernel objects, the calling
// thread's last error and failure injection.
#pragma once

#include <windows.h>

#include <memory>
#include <mutex>
#include <string>

#include "win32emu/world.h"

namespace win32emu {

// Something a HANDLE refers to. Several handles may refer to one object; the object lives until
// the last handle is closed and the last internal reference is dropped.
class KernelObject : public std::enable_shared_from_this<KernelObject> {
 public:
  virtual ~KernelObject() = default;
  virtual const char* TypeName() const = 0;

  // Synchronisation. All three are called with WaitLock() held.
  virtual bool Waitable() const { return false; }
  // Whether a wait by thread `tid` would be satisfied now.
  virtual bool Signaled(DWORD tid) const { return false; }
  // Applies the side effect of a satisfied wait (auto-reset, ownership). Returns true when the
  // wait acquired an abandoned mutex.
  virtual bool Acquire(DWORD tid) { return false; }

  // The handle `h` to this object is being closed (the object may have other handles).
  virtual void OnHandleClosed(HANDLE h) {}
};

// The lock that guards every waitable object's state and every thread's APC queue.
std::mutex& WaitLock();
// Wakes every waiting thread so that it re-examines its objects. Call with WaitLock() held,
// after changing a waitable object's state.
void WakeWaiters();
// The object behind GetCurrentThread()'s pseudo handle: the calling thread.
std::shared_ptr<KernelObject> CurrentThreadObject();

HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE h);
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE h) {
  return std::dynamic_pointer_cast<T>(LookupHandle(h));
}
// Removes the handle; returns the object it referred to (null when the handle was not valid).
std::shared_ptr<KernelObject> RemoveHandle(HANDLE h);

// The error injected for the next call of `api`, or 0. Also counts the call.
DWORD InjectedFailure(const char* api);

// Host thread id of the caller (the value GetCurrentThreadId returns).
DWORD CurrentThreadId();

// The time-scaled length of a wait of `ms` milliseconds (see SetTimeScale).
DWORD ScaledMs(DWORD ms);

}  // namespace win32emu

// Start of an emulated call that reports failure through GetLastError.
#define W32EMU_FAULT_POINT(api, failValue)                    \
  do {                                                        \
    if (DWORD injected_ = ::win32emu::InjectedFailure(api)) { \
      ::SetLastError(injected_);                              \
      return failValue;                                       \
    }                                                         \
  } while (0)

// Start of an emulated call that returns its error code (registry calls).
#define W32EMU_FAULT_POINT_RETURN(api)                                              \
  do {                                                                              \
    if (DWORD injected_ = ::win32emu::InjectedFailure(api)) return (LONG)injected_; \
  } while (0)
