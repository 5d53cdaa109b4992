// The emulated threads' wait machinery: per-thread state, APC queues, the wait itself, and the
// namespace of named synchronisation objects.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core.h"

namespace win32emu {

// One queued asynchronous procedure call. `tag` lets the object that queued it withdraw it
// before it runs (a re-armed or cancelled waitable timer).
struct ApcEntry {
  std::function<void()> run;
  const void* tag = nullptr;
};

// Everything the emulation knows about one thread that has called into it. All fields are
// guarded by WaitLock() unless noted.
struct ThreadState {
  DWORD tid = 0;               // set once before the state is shared
  std::condition_variable cv;  // the thread sleeps on it in its waits
  std::deque<ApcEntry> apcs;
  bool ended = false;        // the thread has left; its handle is signalled
  bool terminating = false;  // TerminateThread was called; leaves at its next wait
  bool started = false;      // CreateThread's thread has reported its id
  DWORD suspendCount = 0;
  DWORD exitCode = 0;  // reported once `ended`
  std::vector<std::weak_ptr<KernelObject>> ownedMutexes;
};

std::shared_ptr<ThreadState> CurrentThreadState();
// The state of a thread handle, or of the calling thread for the pseudo handle; null when `h`
// is no thread.
std::shared_ptr<ThreadState> ThreadStateOf(HANDLE h);
// The live thread with that id, or null. Call with WaitLock() held.
ThreadState* FindThread(DWORD tid);

// Queues `run` to `thread`; it runs only inside an alertable wait of that thread. Returns false
// (and drops `run`) when the thread has ended or is being terminated. Call with WaitLock() held.
bool QueueApcLocked(ThreadState& thread, std::function<void()> run, const void* tag = nullptr);
// Withdraws the not-yet-run APCs queued with `tag`. Call with WaitLock() held.
void WithdrawApcs(ThreadState& thread, const void* tag);

// Waits for the objects like WaitForMultipleObjectsEx (objects already resolved and checked).
DWORD WaitObjects(const std::vector<std::shared_ptr<KernelObject>>& objects, bool waitAll,
                  DWORD milliseconds, bool alertable);

// Leaves the calling thread at once if TerminateThread was called on it (the emulated calls
// that may block call this first).
void LeaveIfTerminated();

// ---- named objects ----

// Finds or makes the object called `name` (empty: always makes one). `make` creates the
// object; `sameType` tells whether an existing object is of the wanted type. Sets the last
// error as the Create* calls do and returns null on failure.
std::shared_ptr<KernelObject> CreateNamed(
    const wchar_t* name, const std::function<std::shared_ptr<KernelObject>()>& make,
    bool (*sameType)(const KernelObject&), bool* existed);
std::shared_ptr<KernelObject> OpenNamed(const wchar_t* name, bool (*sameType)(const KernelObject&));

}  // namespace win32emu
