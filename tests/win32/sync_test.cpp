// Waits, events, mutexes, semaphores and critical sections with Windows' rules: the lowest
// signalled index wins and only it is consumed, wait-all is atomic, a mutex whose owner left
// is abandoned, and names are shared by type.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>

#include "spawn.h"
#include "wine_differences.h"

using win32test::Join;
using win32test::Spawn;

namespace {
HANDLE AutoEvent(bool set) { return CreateEventW(nullptr, FALSE, set, nullptr); }
}  // namespace

TEST(Wait, LowestSignalledIndexWinsAndOnlyItIsConsumed) {
  HANDLE h[3] = {AutoEvent(false), AutoEvent(true), AutoEvent(true)};
  EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0 + 2);
  EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  for (HANDLE e : h) CloseHandle(e);
}

TEST(Wait, WaitAllChangesNothingUntilAllAreSignalled) {
  HANDLE sem = CreateSemaphoreW(nullptr, 1, 5, nullptr);
  HANDLE h[2] = {AutoEvent(true), sem};
  HANDLE missing = AutoEvent(false);
  HANDLE three[3] = {h[0], h[1], missing};
  EXPECT_EQ(WaitForMultipleObjects(3, three, TRUE, 10), static_cast<DWORD>(WAIT_TIMEOUT));
  // Both are still signalled, so waiting for the two of them succeeds and consumes both.
  EXPECT_EQ(WaitForMultipleObjects(2, h, TRUE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(h[0], 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(sem, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  // Signalled later, from another thread, the whole set completes together.
  HANDLE t = Spawn([&] {
    SetEvent(h[0]);
    ReleaseSemaphore(sem, 1, nullptr);
    SetEvent(missing);
    return DWORD{0};
  });
  EXPECT_EQ(WaitForMultipleObjects(3, three, TRUE, 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(Join(t));
  for (HANDLE e : three) CloseHandle(e);
}

TEST(Wait, BadArgumentsFail) {
  HANDLE e = AutoEvent(true);
  HANDLE twice[2] = {e, e};
  HANDLE bogus = reinterpret_cast<HANDLE>(0x7777);
  struct Case {
    DWORD count;
    const HANDLE* handles;
    BOOL all;
    DWORD error;
  } cases[] = {
      {0, &e, FALSE, ERROR_INVALID_PARAMETER},
      {MAXIMUM_WAIT_OBJECTS + 1, &e, FALSE, ERROR_INVALID_PARAMETER},
      {2, twice, TRUE, ERROR_INVALID_PARAMETER},
      {1, &bogus, FALSE, ERROR_INVALID_HANDLE},
  };
  const char* wine = "WaitForMultipleObjects waits for all of a repeated handle, consuming it";
  for (const Case& c : cases) {
    if (c.handles == twice && !win32test::UnlessWine(wine)) continue;
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(c.count, c.handles, c.all, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), c.error) << c.count;
  }
  // Wait-any tolerates a repeated handle; the event was not consumed by the failed calls.
  EXPECT_EQ(WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_OBJECT_0);
  CloseHandle(e);
}

TEST(Event, ManualStaysSignalledAutoReleasesOneWaiter) {
  HANDLE manual = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  ASSERT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  HANDLE gate = AutoEvent(false);
  std::atomic<int> passed{0};
  auto waiter = [&] {
    WaitForSingleObject(gate, INFINITE);
    ++passed;
    return DWORD{0};
  };
  HANDLE t[2] = {Spawn(waiter), Spawn(waiter)};
  ASSERT_TRUE(SetEvent(gate));
  DWORD first = WaitForMultipleObjects(2, t, FALSE, 5000);
  ASSERT_LT(first, 2u);
  EXPECT_EQ(WaitForSingleObject(t[1 - first], 20), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(passed.load(), 1);
  SetEvent(gate);
  EXPECT_TRUE(Join(t[0]));
  EXPECT_TRUE(Join(t[1]));
  CloseHandle(manual);
  CloseHandle(gate);
}

TEST(Event, NamesAreSharedAndTyped) {
  HANDLE a = CreateEventW(nullptr, TRUE, FALSE, L"sync_test.shared");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(GetLastError(), 0u);
  // The second create ignores its arguments and opens the same event.
  HANDLE b = CreateEventW(nullptr, FALSE, TRUE, L"sync_test.shared");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(WaitForSingleObject(a, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  SetEvent(b);
  EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);  // still manual-reset
  HANDLE opened = OpenEventW(EVENT_ALL_ACCESS, FALSE, L"sync_test.shared");
  EXPECT_NE(opened, nullptr);

  EXPECT_EQ(CreateMutexW(nullptr, FALSE, L"sync_test.shared"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  for (HANDLE h : {a, b, opened}) CloseHandle(h);
  // The name goes with the last handle.
  EXPECT_EQ(OpenEventW(EVENT_ALL_ACCESS, FALSE, L"sync_test.shared"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(Mutex, OwnershipIsRecursiveAndPerThread) {
  HANDLE m = CreateMutexW(nullptr, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);  // owner again: count 2
  std::atomic<DWORD> other{0}, otherRelease{0};
  HANDLE t = Spawn([&] {
    other = WaitForSingleObject(m, 0);
    otherRelease = ReleaseMutex(m) ? 0 : GetLastError();
    return DWORD{0};
  });
  ASSERT_TRUE(Join(t));
  EXPECT_EQ(other.load(), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(otherRelease.load(), static_cast<DWORD>(ERROR_NOT_OWNER));
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_FALSE(ReleaseMutex(m));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
  CloseHandle(m);
}

TEST(Mutex, OwnerThatEndsAbandonsItAndTheNextWaiterOwnsIt) {
  HANDLE other = AutoEvent(false);
  HANDLE m = CreateMutexW(nullptr, FALSE, nullptr);
  HANDLE t = Spawn([&] { return WaitForSingleObject(m, 0); });
  ASSERT_TRUE(Join(t));
  HANDLE h[2] = {other, m};
  EXPECT_EQ(WaitForMultipleObjects(2, h, FALSE, 0), WAIT_ABANDONED_0 + 1);
  // Owned now: another thread cannot take it until it is released.
  std::atomic<DWORD> seen{0};
  t = Spawn([&] {
    seen = WaitForSingleObject(m, 0);
    return DWORD{0};
  });
  ASSERT_TRUE(Join(t));
  EXPECT_EQ(seen.load(), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);  // no longer abandoned
  EXPECT_TRUE(ReleaseMutex(m));
  CloseHandle(m);
  CloseHandle(other);
}

TEST(Semaphore, CountsAndRefusesToExceedItsMaximum) {
  HANDLE s = CreateSemaphoreW(nullptr, 2, 3, nullptr);
  EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(s, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  LONG previous = -1;
  EXPECT_TRUE(ReleaseSemaphore(s, 3, &previous));
  EXPECT_EQ(previous, 0);
  EXPECT_FALSE(ReleaseSemaphore(s, 1, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TOO_MANY_POSTS));
  EXPECT_EQ(CreateSemaphoreW(nullptr, 4, 3, nullptr), nullptr);
  CloseHandle(s);
}

TEST(CriticalSection, IsRecursiveForItsOwnerAndExcludesOthers) {
  CRITICAL_SECTION cs;
  ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&cs, 5000));
  EnterCriticalSection(&cs);
  EXPECT_TRUE(TryEnterCriticalSection(&cs));
  std::atomic<BOOL> otherGot{TRUE};
  HANDLE t = Spawn([&] {
    otherGot = TryEnterCriticalSection(&cs);
    return DWORD{0};
  });
  ASSERT_TRUE(Join(t));
  EXPECT_FALSE(otherGot.load());
  LeaveCriticalSection(&cs);
  LeaveCriticalSection(&cs);
  t = Spawn([&] {
    otherGot = TryEnterCriticalSection(&cs);
    if (otherGot) LeaveCriticalSection(&cs);
    return DWORD{0};
  });
  ASSERT_TRUE(Join(t));
  EXPECT_TRUE(otherGot.load());
  DeleteCriticalSection(&cs);
}
