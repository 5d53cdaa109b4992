// Waitable timers: relative and absolute due times against the world's clock, periods,
// re-arming and cancelling, and completion routines queued to the setting thread.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>

#include "spawn.h"
#include "wine_differences.h"
#include "win32emu/world.h"

using win32test::Join;
using win32test::Spawn;

namespace {

constexpr LONGLONG kMs = 10000;  // 100 ns units per millisecond

LARGE_INTEGER Relative(LONGLONG ms) {
  LARGE_INTEGER due;
  due.QuadPart = -ms * kMs;
  return due;
}

LARGE_INTEGER FromNow(LONGLONG ms) {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  LARGE_INTEGER due;
  due.QuadPart =
      static_cast<LONGLONG>((static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) +
      ms * kMs;
  return due;
}

struct Fired {
  std::atomic<int> count{0};
  std::atomic<DWORD> tid{0};
  std::atomic<ULONGLONG> when{0};
};

void CALLBACK OnTimer(LPVOID arg, DWORD low, DWORD high) {
  auto* fired = static_cast<Fired*>(arg);
  fired->tid = GetCurrentThreadId();
  fired->when = (static_cast<ULONGLONG>(high) << 32) | low;
  ++fired->count;
}

class TimerTest : public ::testing::Test {
 protected:
  void TearDown() override { win32emu::SetClockOffset(0); }
};

}  // namespace

TEST_F(TimerTest, SynchronizationTimerIsConsumedNotificationTimerStays) {
  HANDLE sync = CreateWaitableTimerW(nullptr, FALSE, nullptr);
  HANDLE notify = CreateWaitableTimerW(nullptr, TRUE, nullptr);
  // A new timer is inactive and not signalled.
  EXPECT_EQ(WaitForSingleObject(sync, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  LARGE_INTEGER due = Relative(5);
  ASSERT_TRUE(SetWaitableTimer(sync, &due, 0, nullptr, nullptr, FALSE));
  ASSERT_TRUE(SetWaitableTimer(notify, &due, 0, nullptr, nullptr, FALSE));
  EXPECT_EQ(WaitForSingleObject(sync, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(sync, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(notify, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(notify, 0), WAIT_OBJECT_0);
  CloseHandle(sync);
  CloseHandle(notify);
}

TEST_F(TimerTest, PeriodicTimerKeepsFiring) {
  HANDLE t = CreateWaitableTimerW(nullptr, FALSE, nullptr);
  LARGE_INTEGER due = Relative(1);
  ASSERT_TRUE(SetWaitableTimer(t, &due, 2, nullptr, nullptr, FALSE));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0) << i;
  ASSERT_TRUE(CancelWaitableTimer(t));
  CloseHandle(t);
}

TEST_F(TimerTest, ReArmResetsWithoutSignallingAndWithdrawsThePendingRoutine) {
  Fired fired;
  HANDLE t = CreateWaitableTimerW(nullptr, TRUE, nullptr);
  LARGE_INTEGER now = Relative(1);
  ASSERT_TRUE(SetWaitableTimer(t, &now, 0, OnTimer, &fired, FALSE));
  // Not alertable: the timer is signalled, its routine waits in the queue.
  ASSERT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
  LARGE_INTEGER later = Relative(60 * 60 * 1000);
  ASSERT_TRUE(SetWaitableTimer(t, &later, 0, OnTimer, &fired, FALSE));
  EXPECT_EQ(WaitForSingleObject(t, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(SleepEx(0, TRUE), 0u);
  EXPECT_EQ(fired.count.load(), 0);
  CloseHandle(t);
}

TEST_F(TimerTest, CancelStopsTheTimerButKeepsItsSignalledState) {
  HANDLE t = CreateWaitableTimerW(nullptr, TRUE, nullptr);
  LARGE_INTEGER soon = Relative(1);
  ASSERT_TRUE(SetWaitableTimer(t, &soon, 0, nullptr, nullptr, FALSE));
  ASSERT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
  ASSERT_TRUE(CancelWaitableTimer(t));
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);

  HANDLE u = CreateWaitableTimerW(nullptr, TRUE, nullptr);
  LARGE_INTEGER brief = Relative(10);
  ASSERT_TRUE(SetWaitableTimer(u, &brief, 0, nullptr, nullptr, FALSE));
  ASSERT_TRUE(CancelWaitableTimer(u));
  EXPECT_EQ(WaitForSingleObject(u, 40), static_cast<DWORD>(WAIT_TIMEOUT));
  CloseHandle(t);
  CloseHandle(u);
}

#ifndef NORTANE_REAL_WINDOWS  // world control
TEST_F(TimerTest, AbsoluteTimerFollowsTheClockRelativeTimerDoesNot) {
  HANDLE absolute = CreateWaitableTimerW(nullptr, TRUE, nullptr);
  HANDLE relative = CreateWaitableTimerW(nullptr, TRUE, nullptr);
  LARGE_INTEGER inAnHour = FromNow(60 * 60 * 1000);
  LARGE_INTEGER anHour = Relative(60 * 60 * 1000);
  ASSERT_TRUE(SetWaitableTimer(absolute, &inAnHour, 0, nullptr, nullptr, FALSE));
  ASSERT_TRUE(SetWaitableTimer(relative, &anHour, 0, nullptr, nullptr, FALSE));
  EXPECT_EQ(WaitForSingleObject(absolute, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  win32emu::MoveClock(2LL * 60 * 60 * 1000 * kMs);
  EXPECT_EQ(WaitForSingleObject(absolute, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(relative, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  // Set back, an absolute time that was near is an hour away again.
  win32emu::SetClockOffset(0);
  LARGE_INTEGER soon = FromNow(20);
  ASSERT_TRUE(SetWaitableTimer(absolute, &soon, 0, nullptr, nullptr, FALSE));
  win32emu::MoveClock(-60LL * 60 * 1000 * kMs);
  EXPECT_EQ(WaitForSingleObject(absolute, 60), static_cast<DWORD>(WAIT_TIMEOUT));
  CloseHandle(absolute);
  CloseHandle(relative);
}
#endif

TEST_F(TimerTest, RoutineRunsOnTheSettingThreadInItsAlertableWait) {
  Fired fired;
  std::atomic<DWORD> setterTid{0}, beforeAlertable{99}, alertable{0};
  HANDLE t = CreateWaitableTimerW(nullptr, TRUE, nullptr);
  LARGE_INTEGER before = FromNow(0);
  HANDLE setter = Spawn([&] {
    setterTid = GetCurrentThreadId();
    LARGE_INTEGER soon = Relative(1);
    SetWaitableTimer(t, &soon, 0, OnTimer, &fired, FALSE);
    WaitForSingleObject(t, INFINITE);
    beforeAlertable = static_cast<DWORD>(fired.count.load());
    alertable = SleepEx(INFINITE, TRUE);
    return DWORD{0};
  });
  // The main thread's alertable waits never see the setter's routine.
  EXPECT_EQ(SleepEx(20, TRUE), 0u);
  ASSERT_TRUE(Join(setter));
  EXPECT_EQ(beforeAlertable.load(), 0u);
  EXPECT_EQ(alertable.load(), WAIT_IO_COMPLETION);
  EXPECT_EQ(fired.count.load(), 1);
  EXPECT_EQ(fired.tid.load(), setterTid.load());
  EXPECT_GE(fired.when.load(), static_cast<ULONGLONG>(before.QuadPart));
  CloseHandle(t);
}

TEST_F(TimerTest, ArgumentsAreChecked) {
  HANDLE t = CreateWaitableTimerW(nullptr, FALSE, nullptr);
  LARGE_INTEGER due = Relative(1000);
  if (win32test::UnlessWine("SetWaitableTimer accepts a negative period")) {
    EXPECT_FALSE(SetWaitableTimer(t, &due, -1, nullptr, nullptr, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  SetLastError(0);
  EXPECT_TRUE(SetWaitableTimer(t, &due, 0, nullptr, nullptr, TRUE));
  if (win32test::UnlessWine("SetWaitableTimer with fResume leaves ERROR_NOT_SUPPORTED unset"))
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_TRUE(CancelWaitableTimer(t));
  CloseHandle(t);
}
