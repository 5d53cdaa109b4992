// Waitable timers. One service thread expires them; a move of the world's clock expires, at
// once, the absolute timers it carried past their due time, while relative ones keep counting
// on the monotonic clock.
#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "waits.h"

namespace win32emu {
namespace {

using Steady = std::chrono::steady_clock;

class TimerObject : public KernelObject {
 public:
  explicit TimerObject(bool manual) : manual(manual) {}
  const char* TypeName() const override { return "Timer"; }
  bool Waitable() const override { return true; }
  bool Signaled(DWORD) const override { return signaled; }
  bool Acquire(DWORD) override {
    if (!manual) signaled = false;
    return false;
  }

  // All guarded by WaitLock().
  const bool manual;
  bool signaled = false;
  bool active = false;
  bool absolute = false;
  int64_t dueFileTime = 0;       // when absolute
  Steady::time_point dueSteady;  // when relative
  std::chrono::nanoseconds period{0};
  PTIMERAPCROUTINE routine = nullptr;
  LPVOID argument = nullptr;
  std::weak_ptr<ThreadState> setter;
};

struct TimerService {
  std::vector<std::weak_ptr<TimerObject>> armed;  // guarded by WaitLock()
  std::condition_variable cv;
  std::once_flag started;
};
TimerService& Service() {
  static TimerService* service = new TimerService;  // its thread runs until the process ends
  return *service;
}

int64_t SystemNow() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

Steady::time_point DueOf(const TimerObject& t, Steady::time_point now, int64_t nowFileTime) {
  if (!t.absolute) return t.dueSteady;
  // Far-away due times are capped; a clock move recomputes them anyway.
  int64_t ahead = std::clamp<int64_t>(t.dueFileTime - nowFileTime, 0, 1000000000000000LL);
  return now + std::chrono::nanoseconds(ahead * 100);
}

void Fire(const std::shared_ptr<TimerObject>& t, Steady::time_point due, Steady::time_point now,
          int64_t nowFileTime) {
  t->signaled = true;
  if (t->routine) {
    if (auto setter = t->setter.lock()) {
      auto routine = t->routine;
      auto argument = t->argument;
      DWORD low = static_cast<DWORD>(nowFileTime), high = static_cast<DWORD>(nowFileTime >> 32);
      QueueApcLocked(
          *setter, [=] { routine(argument, low, high); }, t.get());
    }
  }
  if (t->period.count() > 0) {
    // Periods count from the first expiry on the monotonic clock; missed periods are skipped.
    t->absolute = false;
    t->dueSteady = due + t->period;
    while (t->dueSteady <= now) t->dueSteady += t->period;
  } else {
    t->active = false;
  }
}

// Expires what is due and returns the next due time. Call with WaitLock() held.
Steady::time_point ExpireLocked() {
  auto& armed = Service().armed;
  auto now = Steady::now();
  int64_t nowFileTime = SystemNow();
  auto next = Steady::time_point::max();
  bool fired = false;
  for (auto it = armed.begin(); it != armed.end();) {
    auto t = it->lock();
    if (!t || !t->active) {
      it = armed.erase(it);
      continue;
    }
    auto due = DueOf(*t, now, nowFileTime);
    if (due <= now) {
      Fire(t, due, now, nowFileTime);
      fired = true;
      if (!t->active) {
        it = armed.erase(it);
        continue;
      }
      due = t->dueSteady;
    }
    next = std::min(next, due);
    ++it;
  }
  if (fired) WakeWaiters();
  return next;
}

void OnClockMoved(void*) {
  std::lock_guard<std::mutex> g(WaitLock());
  ExpireLocked();
  Service().cv.notify_all();
}

void StartService() {
  std::call_once(Service().started, [] {
    AddClockObserver(OnClockMoved, nullptr);
    std::thread([] {
      std::unique_lock<std::mutex> lock(WaitLock());
      for (;;) {
        auto next = ExpireLocked();
        if (next == Steady::time_point::max()) {
          Service().cv.wait(lock);
        } else {
          Service().cv.wait_until(lock, next);
        }
      }
    }).detach();
  });
}

std::chrono::nanoseconds Scaled(std::chrono::nanoseconds d) {
  unsigned factor = TimeScale();
  return factor <= 1 ? d : d / factor;
}

bool IsTimer(const KernelObject& object) {
  return dynamic_cast<const TimerObject*>(&object) != nullptr;
}

// Stops the timer and withdraws its not-yet-run completion routine. Call with WaitLock() held.
void DisarmLocked(TimerObject& t) {
  t.active = false;
  if (auto setter = t.setter.lock()) WithdrawApcs(*setter, &t);
}

}  // namespace
}  // namespace win32emu

using namespace win32emu;

extern "C" {

HANDLE WINAPI CreateWaitableTimerW(LPSECURITY_ATTRIBUTES, BOOL manualReset, LPCWSTR name) {
  W32EMU_FAULT_POINT("CreateWaitableTimerW", nullptr);
  bool existed;
  auto object = CreateNamed(
      name, [&] { return std::make_shared<TimerObject>(manualReset != FALSE); }, IsTimer, &existed);
  return object ? InsertHandle(std::move(object)) : nullptr;
}

HANDLE WINAPI OpenWaitableTimerW(DWORD, BOOL, LPCWSTR name) {
  W32EMU_FAULT_POINT("OpenWaitableTimerW", nullptr);
  auto object = OpenNamed(name, IsTimer);
  return object ? InsertHandle(std::move(object)) : nullptr;
}

BOOL WINAPI SetWaitableTimer(HANDLE h, const LARGE_INTEGER* dueTime, LONG period,
                             PTIMERAPCROUTINE routine, LPVOID argument, BOOL resume) {
  W32EMU_FAULT_POINT("SetWaitableTimer", FALSE);
  auto t = LookupHandleAs<TimerObject>(h);
  if (!t) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!dueTime || period < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  StartService();
  auto setter = CurrentThreadState();
  {
    std::lock_guard<std::mutex> g(WaitLock());
    // Re-arming restarts the timer without signalling it; a pending routine is withdrawn.
    DisarmLocked(*t);
    t->signaled = false;
    t->active = true;
    t->period = Scaled(std::chrono::milliseconds(period));
    if (period > 0 && t->period.count() == 0) t->period = std::chrono::nanoseconds(1);
    t->routine = routine;
    t->argument = argument;
    t->setter = setter;
    if (dueTime->QuadPart >= 0) {
      t->absolute = true;
      t->dueFileTime = dueTime->QuadPart;
    } else {
      t->absolute = false;
      t->dueSteady =
          Steady::now() + Scaled(std::chrono::nanoseconds(
                              std::min<int64_t>(-dueTime->QuadPart, 1000000000000000LL) * 100));
    }
    auto& armed = Service().armed;
    if (std::none_of(armed.begin(), armed.end(),
                     [&](const std::weak_ptr<TimerObject>& w) { return w.lock() == t; }))
      armed.push_back(t);
    Service().cv.notify_all();
  }
  // The emulated machine has no wake-capable power management.
  if (resume) SetLastError(ERROR_NOT_SUPPORTED);
  return TRUE;
}

BOOL WINAPI CancelWaitableTimer(HANDLE h) {
  W32EMU_FAULT_POINT("CancelWaitableTimer", FALSE);
  auto t = LookupHandleAs<TimerObject>(h);
  if (!t) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(WaitLock());
  DisarmLocked(*t);  // the signalled state stays as it is
  return TRUE;
}

}  // extern "C"
