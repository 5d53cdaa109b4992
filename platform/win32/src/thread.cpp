// Threads, APC queues and the waits (alertable or not) of the emulated Win32 threads.
//
// Threads are host threads. Every thread that calls into the emulation gets a ThreadState on
// first use, so threads the emulation did not start (the process's main thread, std::thread)
// can own mutexes, receive APCs and be waited on through a duplicated pseudo handle.
//
// TerminateThread cannot stop a host thread from outside. It marks the thread: the thread
// receives no more APCs, its exit code is fixed, and it leaves (through pthread_exit) at its next
// emulated wait, SleepEx or I/O call, or at once when it is blocked in one. Until it really
// leaves, its handle stays non-signalled and GetExitCodeThread reports STILL_ACTIVE, which is
// what Windows shows while the asynchronous termination is in progress.
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <unordered_map>

#include "waits.h"

namespace win32emu {
namespace {

struct Registry {
  std::unordered_map<DWORD, ThreadState*> threads;  // live threads by id
  std::vector<ThreadState*> waiting;                // threads inside WaitObjects
  std::condition_variable started;                  // CreateThread waits for the new thread's id
};
Registry& Reg() {
  static Registry* registry = new Registry;  // used by threads still running at exit
  return *registry;
}

void AbandonOwnedMutexes(ThreadState& state);

void EndThread(ThreadState& state) {
  std::deque<ApcEntry> dropped;  // destroyed outside the lock
  std::lock_guard<std::mutex> g(WaitLock());
  dropped.swap(state.apcs);
  AbandonOwnedMutexes(state);
  state.ended = true;
  auto& reg = Reg();
  auto it = reg.threads.find(state.tid);
  if (it != reg.threads.end() && it->second == &state) reg.threads.erase(it);
  WakeWaiters();
}

// Ends the thread's emulated life when the host thread leaves, however it leaves.
struct Holder {
  std::shared_ptr<ThreadState> state;
  ~Holder() {
    if (state) EndThread(*state);
  }
};
thread_local Holder t_holder;

class ThreadObject : public KernelObject {
 public:
  explicit ThreadObject(std::shared_ptr<ThreadState> s) : state(std::move(s)) {}
  const char* TypeName() const override { return "Thread"; }
  bool Waitable() const override { return true; }
  bool Signaled(DWORD) const override { return state->ended; }

  std::shared_ptr<ThreadState> state;
};

struct StartContext {
  std::shared_ptr<ThreadState> state;
  LPTHREAD_START_ROUTINE start;
  LPVOID parameter;
};

void* ThreadMain(void* raw) {
  std::unique_ptr<StartContext> context(static_cast<StartContext*>(raw));
  ThreadState& state = *context->state;
  t_holder.state = context->state;
  {
    std::unique_lock<std::mutex> lock(WaitLock());
    state.tid = CurrentThreadId();
    Reg().threads[state.tid] = &state;
    state.started = true;
    Reg().started.notify_all();
    state.cv.wait(lock, [&] { return state.suspendCount == 0 || state.terminating; });
    if (state.terminating) return nullptr;
    // A thread begins with the calls queued to it before it ran (the start-up is alertable).
    while (!state.apcs.empty()) {
      ApcEntry entry = std::move(state.apcs.front());
      state.apcs.pop_front();
      lock.unlock();
      entry.run();
      lock.lock();
    }
  }
  DWORD code = context->start(context->parameter);
  std::lock_guard<std::mutex> g(WaitLock());
  if (!state.terminating) state.exitCode = code;
  return nullptr;
}

[[noreturn]] void LeaveNow() { pthread_exit(nullptr); }

}  // namespace

// Defined in sync.cpp: gives up one mutex of a thread that ended while owning it.
void AbandonMutex(KernelObject& mutex, DWORD tid);

namespace {
void AbandonOwnedMutexes(ThreadState& state) {
  for (auto& weak : state.ownedMutexes)
    if (auto mutex = weak.lock()) AbandonMutex(*mutex, state.tid);
  state.ownedMutexes.clear();
}
}  // namespace

void WakeWaiters() {
  for (ThreadState* t : Reg().waiting) t->cv.notify_all();
}

std::shared_ptr<ThreadState> CurrentThreadState() {
  if (!t_holder.state) {
    auto state = std::make_shared<ThreadState>();
    state->tid = CurrentThreadId();
    state->started = true;
    std::lock_guard<std::mutex> g(WaitLock());
    Reg().threads[state->tid] = state.get();
    t_holder.state = std::move(state);
  }
  return t_holder.state;
}

std::shared_ptr<KernelObject> CurrentThreadObject() {
  return std::make_shared<ThreadObject>(CurrentThreadState());
}

std::shared_ptr<ThreadState> ThreadStateOf(HANDLE h) {
  auto thread = std::dynamic_pointer_cast<ThreadObject>(LookupHandle(h));
  return thread ? thread->state : nullptr;
}

ThreadState* FindThread(DWORD tid) {
  auto it = Reg().threads.find(tid);
  return it == Reg().threads.end() ? nullptr : it->second;
}

bool QueueApcLocked(ThreadState& thread, std::function<void()> run, const void* tag) {
  if (thread.ended || thread.terminating) return false;
  thread.apcs.push_back({std::move(run), tag});
  thread.cv.notify_all();
  return true;
}

void WithdrawApcs(ThreadState& thread, const void* tag) {
  auto& q = thread.apcs;
  q.erase(std::remove_if(q.begin(), q.end(), [&](const ApcEntry& e) { return e.tag == tag; }),
          q.end());
}

void LeaveIfTerminated() {
  auto self = CurrentThreadState();
  bool leave;
  {
    std::lock_guard<std::mutex> g(WaitLock());
    leave = self->terminating;
  }
  if (leave) LeaveNow();
}

DWORD WaitObjects(const std::vector<std::shared_ptr<KernelObject>>& objects, bool waitAll,
                  DWORD milliseconds, bool alertable) {
  auto self = CurrentThreadState();
  const DWORD tid = self->tid;
  DWORD scaled = ScaledMs(milliseconds);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(scaled);
  std::unique_lock<std::mutex> lock(WaitLock());
  for (;;) {
    if (self->terminating) {
      lock.unlock();
      LeaveNow();
    }
    if (!objects.empty()) {
      if (!waitAll) {
        for (size_t i = 0; i < objects.size(); ++i) {
          if (objects[i]->Signaled(tid)) {
            bool abandoned = objects[i]->Acquire(tid);
            return static_cast<DWORD>((abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + i);
          }
        }
      } else if (std::all_of(objects.begin(), objects.end(),
                             [&](const auto& o) { return o->Signaled(tid); })) {
        DWORD result = WAIT_OBJECT_0;
        for (size_t i = 0; i < objects.size(); ++i)
          if (objects[i]->Acquire(tid) && result == WAIT_OBJECT_0)
            result = static_cast<DWORD>(WAIT_ABANDONED_0 + i);
        return result;
      }
    }
    if (alertable && !self->apcs.empty()) {
      // All queued calls run, in order, including those queued while they run.
      while (!self->apcs.empty()) {
        {
          ApcEntry entry = std::move(self->apcs.front());
          self->apcs.pop_front();
          lock.unlock();
          entry.run();
        }
        lock.lock();
      }
      return WAIT_IO_COMPLETION;
    }
    if (scaled == 0) return WAIT_TIMEOUT;
    auto& waiting = Reg().waiting;
    waiting.push_back(self.get());
    bool timedOut = false;
    if (scaled == INFINITE) {
      self->cv.wait(lock);
    } else {
      timedOut = self->cv.wait_until(lock, deadline) == std::cv_status::timeout;
    }
    waiting.erase(std::find(waiting.begin(), waiting.end(), self.get()));
    // One more look at the objects and the queue before reporting the time-out: a state change
    // that raced with the deadline is still seen, as it would be on Windows.
    if (timedOut) scaled = 0;
  }
}

}  // namespace win32emu

using win32emu::ThreadState;
using win32emu::WaitLock;

namespace {

DWORD WaitHandles(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms, BOOL alertable) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<win32emu::KernelObject>> objects;
  objects.reserve(count);
  for (DWORD i = 0; i < count; ++i) {
    auto object = win32emu::LookupHandle(handles[i]);
    if (!object || !object->Waitable()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    // A wait for all of a set that names one object twice could never be satisfied.
    if (waitAll && std::find(objects.begin(), objects.end(), object) != objects.end()) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return WAIT_FAILED;
    }
    objects.push_back(std::move(object));
  }
  return win32emu::WaitObjects(objects, waitAll != FALSE, ms, alertable != FALSE);
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start,
                           LPVOID parameter, DWORD flags, LPDWORD threadId) {
  W32EMU_FAULT_POINT("CreateThread", nullptr);
  if (!start) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // The requested stack size is a hint the host's default (larger than Windows') satisfies.
  auto state = std::make_shared<ThreadState>();
  state->suspendCount = (flags & CREATE_SUSPENDED) ? 1 : 0;
  auto* context = new win32emu::StartContext{state, start, parameter};
  pthread_t thread;
  if (pthread_create(&thread, nullptr, win32emu::ThreadMain, context) != 0) {
    delete context;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  pthread_detach(thread);
  DWORD tid;
  {
    std::unique_lock<std::mutex> lock(WaitLock());
    win32emu::Reg().started.wait(lock, [&] { return state->started; });
    tid = state->tid;
  }
  if (threadId) *threadId = tid;
  return win32emu::InsertHandle(std::make_shared<win32emu::ThreadObject>(std::move(state)));
}

VOID WINAPI ExitThread(DWORD exitCode) {
  auto self = win32emu::CurrentThreadState();
  {
    std::lock_guard<std::mutex> g(WaitLock());
    if (!self->terminating) self->exitCode = exitCode;
  }
  win32emu::LeaveNow();
}

BOOL WINAPI TerminateThread(HANDLE thread, DWORD exitCode) {
  W32EMU_FAULT_POINT("TerminateThread", FALSE);
  auto state = win32emu::ThreadStateOf(thread);
  if (!state) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (state == win32emu::CurrentThreadState()) ExitThread(exitCode);
  std::deque<win32emu::ApcEntry> dropped;
  std::lock_guard<std::mutex> g(WaitLock());
  if (!state->ended && !state->terminating) {
    state->terminating = true;
    state->exitCode = exitCode;
    dropped.swap(state->apcs);
    state->cv.notify_all();
  }
  return TRUE;
}

BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
  W32EMU_FAULT_POINT("GetExitCodeThread", FALSE);
  auto state = win32emu::ThreadStateOf(thread);
  if (!state || !exitCode) {
    SetLastError(state ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(WaitLock());
  *exitCode = state->ended ? state->exitCode : STILL_ACTIVE;
  return TRUE;
}

DWORD WINAPI ResumeThread(HANDLE thread) {
  W32EMU_FAULT_POINT("ResumeThread", static_cast<DWORD>(-1));
  auto state = win32emu::ThreadStateOf(thread);
  if (!state) {
    SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<DWORD>(-1);
  }
  std::lock_guard<std::mutex> g(WaitLock());
  DWORD previous = state->suspendCount;
  if (previous > 0 && --state->suspendCount == 0) state->cv.notify_all();
  return previous;
}

DWORD WINAPI GetThreadId(HANDLE thread) {
  auto state = win32emu::ThreadStateOf(thread);
  if (!state) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  std::lock_guard<std::mutex> g(WaitLock());
  return state->tid;
}

DWORD WINAPI QueueUserAPC(PAPCFUNC apc, HANDLE thread, ULONG_PTR data) {
  W32EMU_FAULT_POINT("QueueUserAPC", 0);
  auto state = win32emu::ThreadStateOf(thread);
  if (!state || !apc) {
    SetLastError(state ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return 0;
  }
  std::lock_guard<std::mutex> g(WaitLock());
  if (!win32emu::QueueApcLocked(*state, [apc, data] { apc(data); })) {
    // What the kernel reports for a thread that no longer accepts APCs.
    SetLastError(ERROR_GEN_FAILURE);
    return 0;
  }
  return 1;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD ms) {
  W32EMU_FAULT_POINT("WaitForSingleObject", WAIT_FAILED);
  return WaitHandles(1, &handle, FALSE, ms, FALSE);
}

DWORD WINAPI WaitForSingleObjectEx(HANDLE handle, DWORD ms, BOOL alertable) {
  W32EMU_FAULT_POINT("WaitForSingleObjectEx", WAIT_FAILED);
  return WaitHandles(1, &handle, FALSE, ms, alertable);
}

DWORD WINAPI WaitForMultipleObjects(DWORD count, CONST HANDLE* handles, BOOL waitAll, DWORD ms) {
  W32EMU_FAULT_POINT("WaitForMultipleObjects", WAIT_FAILED);
  return WaitHandles(count, handles, waitAll, ms, FALSE);
}

DWORD WINAPI WaitForMultipleObjectsEx(DWORD count, CONST HANDLE* handles, BOOL waitAll, DWORD ms,
                                      BOOL alertable) {
  W32EMU_FAULT_POINT("WaitForMultipleObjectsEx", WAIT_FAILED);
  return WaitHandles(count, handles, waitAll, ms, alertable);
}

DWORD WINAPI SleepEx(DWORD ms, BOOL alertable) {
  DWORD result = win32emu::WaitObjects({}, false, ms, alertable != FALSE);
  return result == WAIT_IO_COMPLETION ? WAIT_IO_COMPLETION : 0;
}

}  // extern "C"
