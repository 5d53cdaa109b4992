// Events, mutexes, semaphores, critical sections and the namespace of named objects.
#include <map>
#include <mutex>

#include "waits.h"

namespace win32emu {
namespace {

class EventObject : public KernelObject {
 public:
  EventObject(bool manual, bool initial) : manual(manual), signaled(initial) {}
  const char* TypeName() const override { return "Event"; }
  bool Waitable() const override { return true; }
  bool Signaled(DWORD) const override { return signaled; }
  bool Acquire(DWORD) override {
    if (!manual) signaled = false;
    return false;
  }

  const bool manual;
  bool signaled;
};

class MutexObject : public KernelObject {
 public:
  const char* TypeName() const override { return "Mutex"; }
  bool Waitable() const override { return true; }
  bool Signaled(DWORD tid) const override { return owner == 0 || owner == tid; }
  bool Acquire(DWORD tid) override {
    if (owner == tid) {
      ++count;
      return false;
    }
    owner = tid;
    count = 1;
    if (ThreadState* thread = FindThread(tid)) thread->ownedMutexes.push_back(weak_from_this());
    bool wasAbandoned = abandoned;
    abandoned = false;
    return wasAbandoned;
  }

  DWORD owner = 0;
  LONG count = 0;
  bool abandoned = false;
};

class SemaphoreObject : public KernelObject {
 public:
  SemaphoreObject(LONG initial, LONG maximum) : count(initial), maximum(maximum) {}
  const char* TypeName() const override { return "Semaphore"; }
  bool Waitable() const override { return true; }
  bool Signaled(DWORD) const override { return count > 0; }
  bool Acquire(DWORD) override {
    --count;
    return false;
  }

  LONG count;
  const LONG maximum;
};

template <class T>
bool IsA(const KernelObject& object) {
  return dynamic_cast<const T*>(&object) != nullptr;
}

struct Names {
  std::mutex lock;
  std::map<std::wstring, std::weak_ptr<KernelObject>> objects;
};
Names& NameTable() {
  static Names* names = new Names;
  return *names;
}

template <class T>
HANDLE OpenByName(const wchar_t* name) {
  auto object = OpenNamed(name, IsA<T>);
  return object ? InsertHandle(std::move(object)) : nullptr;
}

// Lets go of a mutex the calling thread owns once; false when it is not the owner.
bool ReleaseOnce(MutexObject& mutex, DWORD tid) {
  if (mutex.owner != tid) return false;
  if (--mutex.count == 0) {
    mutex.owner = 0;
    if (ThreadState* thread = FindThread(tid)) {
      auto& owned = thread->ownedMutexes;
      for (auto it = owned.begin(); it != owned.end(); ++it) {
        if (it->lock().get() == &mutex) {
          owned.erase(it);
          break;
        }
      }
    }
    WakeWaiters();
  }
  return true;
}

struct CriticalSectionImpl {
  std::recursive_mutex mutex;
};
CriticalSectionImpl* ImplOf(LPCRITICAL_SECTION cs) {
  return static_cast<CriticalSectionImpl*>(cs->LockSemaphore);
}

}  // namespace

void AbandonMutex(KernelObject& object, DWORD tid) {
  auto& mutex = static_cast<MutexObject&>(object);
  if (mutex.owner != tid) return;
  mutex.owner = 0;
  mutex.count = 0;
  mutex.abandoned = true;
}

std::shared_ptr<KernelObject> CreateNamed(
    const wchar_t* name, const std::function<std::shared_ptr<KernelObject>()>& make,
    bool (*sameType)(const KernelObject&), bool* existed) {
  *existed = false;
  if (!name || !*name) {
    SetLastError(0);
    return make();
  }
  auto& names = NameTable();
  std::lock_guard<std::mutex> g(names.lock);
  auto& slot = names.objects[name];
  if (auto existing = slot.lock()) {
    if (!sameType(*existing)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    *existed = true;
    SetLastError(ERROR_ALREADY_EXISTS);
    return existing;
  }
  auto object = make();
  slot = object;
  SetLastError(0);
  return object;
}

std::shared_ptr<KernelObject> OpenNamed(const wchar_t* name,
                                        bool (*sameType)(const KernelObject&)) {
  if (!name || !*name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto& names = NameTable();
  std::lock_guard<std::mutex> g(names.lock);
  auto it = names.objects.find(name);
  auto object = it == names.objects.end() ? nullptr : it->second.lock();
  if (!object) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  if (!sameType(*object)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return object;
}

}  // namespace win32emu

using namespace win32emu;

extern "C" {

// ---- events ----

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState,
                           LPCWSTR name) {
  W32EMU_FAULT_POINT("CreateEventW", nullptr);
  bool existed;
  auto object = CreateNamed(
      name, [&] { return std::make_shared<EventObject>(manualReset, initialState); },
      IsA<EventObject>, &existed);
  return object ? InsertHandle(std::move(object)) : nullptr;
}

HANDLE WINAPI OpenEventW(DWORD, BOOL, LPCWSTR name) {
  W32EMU_FAULT_POINT("OpenEventW", nullptr);
  return OpenByName<EventObject>(name);
}

static BOOL SetEventState(HANDLE h, bool signaled) {
  auto event = LookupHandleAs<EventObject>(h);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(WaitLock());
  event->signaled = signaled;
  if (signaled) WakeWaiters();
  return TRUE;
}

BOOL WINAPI SetEvent(HANDLE h) {
  W32EMU_FAULT_POINT("SetEvent", FALSE);
  return SetEventState(h, true);
}

BOOL WINAPI ResetEvent(HANDLE h) {
  W32EMU_FAULT_POINT("ResetEvent", FALSE);
  return SetEventState(h, false);
}

// ---- mutexes ----

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCWSTR name) {
  W32EMU_FAULT_POINT("CreateMutexW", nullptr);
  bool existed;
  auto object = CreateNamed(
      name, [] { return std::make_shared<MutexObject>(); }, IsA<MutexObject>, &existed);
  if (!object) return nullptr;
  // For a mutex that already existed the initial-owner request is ignored.
  if (initialOwner && !existed) {
    DWORD tid = CurrentThreadState()->tid;
    std::lock_guard<std::mutex> g(WaitLock());
    object->Acquire(tid);
  }
  return InsertHandle(std::move(object));
}

HANDLE WINAPI OpenMutexW(DWORD, BOOL, LPCWSTR name) {
  W32EMU_FAULT_POINT("OpenMutexW", nullptr);
  return OpenByName<MutexObject>(name);
}

BOOL WINAPI ReleaseMutex(HANDLE h) {
  W32EMU_FAULT_POINT("ReleaseMutex", FALSE);
  auto mutex = LookupHandleAs<MutexObject>(h);
  if (!mutex) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  DWORD tid = CurrentThreadState()->tid;
  std::lock_guard<std::mutex> g(WaitLock());
  if (!ReleaseOnce(*mutex, tid)) {
    SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
  return TRUE;
}

// ---- semaphores ----

HANDLE WINAPI CreateSemaphoreW(LPSECURITY_ATTRIBUTES, LONG initialCount, LONG maximumCount,
                               LPCWSTR name) {
  W32EMU_FAULT_POINT("CreateSemaphoreW", nullptr);
  if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  bool existed;
  auto object = CreateNamed(
      name, [&] { return std::make_shared<SemaphoreObject>(initialCount, maximumCount); },
      IsA<SemaphoreObject>, &existed);
  return object ? InsertHandle(std::move(object)) : nullptr;
}

HANDLE WINAPI OpenSemaphoreW(DWORD, BOOL, LPCWSTR name) {
  W32EMU_FAULT_POINT("OpenSemaphoreW", nullptr);
  return OpenByName<SemaphoreObject>(name);
}

BOOL WINAPI ReleaseSemaphore(HANDLE h, LONG releaseCount, LPLONG previousCount) {
  W32EMU_FAULT_POINT("ReleaseSemaphore", FALSE);
  auto semaphore = LookupHandleAs<SemaphoreObject>(h);
  if (!semaphore) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (releaseCount <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(WaitLock());
  if (releaseCount > semaphore->maximum - semaphore->count) {
    SetLastError(ERROR_TOO_MANY_POSTS);
    return FALSE;
  }
  if (previousCount) *previousCount = semaphore->count;
  semaphore->count += releaseCount;
  WakeWaiters();
  return TRUE;
}

// ---- signal one, wait for another ----

DWORD WINAPI SignalObjectAndWait(HANDLE toSignal, HANDLE toWaitOn, DWORD ms, BOOL alertable) {
  W32EMU_FAULT_POINT("SignalObjectAndWait", WAIT_FAILED);
  auto signal = LookupHandle(toSignal);
  auto wait = LookupHandle(toWaitOn);
  if (!signal || !wait || !wait->Waitable()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  DWORD tid = CurrentThreadState()->tid;
  {
    std::lock_guard<std::mutex> g(WaitLock());
    if (auto* event = dynamic_cast<EventObject*>(signal.get())) {
      event->signaled = true;
    } else if (auto* mutex = dynamic_cast<MutexObject*>(signal.get())) {
      if (mutex->owner != tid) {
        SetLastError(ERROR_NOT_OWNER);
        return WAIT_FAILED;
      }
      ReleaseOnce(*mutex, tid);
    } else if (auto* semaphore = dynamic_cast<SemaphoreObject*>(signal.get())) {
      if (semaphore->count >= semaphore->maximum) {
        SetLastError(ERROR_TOO_MANY_POSTS);
        return WAIT_FAILED;
      }
      ++semaphore->count;
    } else {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    WakeWaiters();
  }
  return WaitObjects({wait}, false, ms, alertable != FALSE);
}

// ---- critical sections ----
// The structure keeps the platform's layout; the lock itself lives behind LockSemaphore.

VOID WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs) {
  InitializeCriticalSectionAndSpinCount(cs, 0);
}

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION cs, DWORD spinCount) {
  cs->DebugInfo = nullptr;
  cs->LockCount = -1;
  cs->RecursionCount = 0;
  cs->OwningThread = nullptr;
  cs->SpinCount = spinCount;
  cs->LockSemaphore = new CriticalSectionImpl;
  return TRUE;
}

DWORD WINAPI SetCriticalSectionSpinCount(LPCRITICAL_SECTION cs, DWORD spinCount) {
  DWORD previous = static_cast<DWORD>(cs->SpinCount);
  cs->SpinCount = spinCount;
  return previous;
}

VOID WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs) {
  ImplOf(cs)->mutex.lock();
  ++cs->RecursionCount;
  cs->OwningThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(CurrentThreadId()));
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
  if (!ImplOf(cs)->mutex.try_lock()) return FALSE;
  ++cs->RecursionCount;
  cs->OwningThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(CurrentThreadId()));
  return TRUE;
}

VOID WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs) {
  if (--cs->RecursionCount == 0) cs->OwningThread = nullptr;
  ImplOf(cs)->mutex.unlock();
}

VOID WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs) {
  delete ImplOf(cs);
  cs->LockSemaphore = nullptr;
}

}  // extern "C"
