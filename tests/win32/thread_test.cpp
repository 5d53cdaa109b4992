// Threads and APCs as Windows defines them: exit codes, suspension, termination, and user APCs
// that run only, in order, inside an alertable wait of their thread.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <vector>

#include "spawn.h"

using win32test::Join;
using win32test::Spawn;

TEST(Thread, ExitCodeIsStillActiveUntilTheThreadEnds) {
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD tid = 0;
  std::atomic<DWORD> seenTid{0};
  HANDLE t = Spawn(
      [&] {
        seenTid = GetCurrentThreadId();
        WaitForSingleObject(go, INFINITE);
        return DWORD{42};
      },
      0, &tid);
  ASSERT_NE(t, nullptr);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_TIMEOUT);
  SetEvent(go);
  ASSERT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(seenTid.load(), tid);
  EXPECT_EQ(GetThreadId(t), tid);
  CloseHandle(t);
  CloseHandle(go);
}

TEST(Thread, SuspendedThreadRunsOnlyAfterResume) {
  std::atomic<bool> ran{false};
  HANDLE t = Spawn(
      [&] {
        ran = true;
        return DWORD{0};
      },
      CREATE_SUSPENDED);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(WaitForSingleObject(t, 20), WAIT_TIMEOUT);
  EXPECT_FALSE(ran.load());
  EXPECT_EQ(ResumeThread(t), 1u);
  EXPECT_TRUE(Join(t));
  EXPECT_TRUE(ran.load());
}

TEST(Thread, ExitThreadAndTerminateThreadSetTheExitCode) {
  HANDLE exits = Spawn([] {
    ExitThread(7);
    return DWORD{1};
  });
  // A thread blocked for ever in an emulated wait leaves when terminated.
  HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE blocked = Spawn([&] {
    WaitForSingleObjectEx(never, INFINITE, TRUE);
    return DWORD{1};
  });
  ASSERT_TRUE(TerminateThread(blocked, 99));
  for (HANDLE t : {exits, blocked}) ASSERT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeThread(exits, &code);
  EXPECT_EQ(code, 7u);
  GetExitCodeThread(blocked, &code);
  EXPECT_EQ(code, 99u);
  // A thread that is gone accepts no APCs.
  EXPECT_EQ(QueueUserAPC([](ULONG_PTR) {}, blocked, 0), 0u);
  for (HANDLE h : {exits, blocked, never}) CloseHandle(h);
}

TEST(Thread, CloseHandleDoesNotStopTheThread) {
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE t = Spawn([&] {
    WaitForSingleObject(go, INFINITE);
    SetEvent(done);
    return DWORD{0};
  });
  EXPECT_TRUE(CloseHandle(t));
  SetEvent(go);
  EXPECT_EQ(WaitForSingleObject(done, 5000), WAIT_OBJECT_0);
  EXPECT_FALSE(CloseHandle(t));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  CloseHandle(go);
  CloseHandle(done);
}

namespace {
std::vector<ULONG_PTR>* g_apcLog;
void WINAPI LogApc(ULONG_PTR value) { g_apcLog->push_back(value); }
}  // namespace

TEST(Apc, RunsInOrderOnlyInAnAlertableWaitOfItsThread) {
  std::vector<ULONG_PTR> log;
  g_apcLog = &log;
  HANDLE queued = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE running = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::vector<DWORD> results;
  HANDLE t = Spawn([&] {
    SetEvent(running);
    // Not alertable: the APCs queued meanwhile must not run, and do not end the wait.
    results.push_back(WaitForSingleObject(queued, INFINITE));
    results.push_back(static_cast<DWORD>(log.size()));
    results.push_back(SleepEx(0, FALSE));
    results.push_back(static_cast<DWORD>(log.size()));
    results.push_back(SleepEx(INFINITE, TRUE));
    return DWORD{0};
  });
  // Calls queued before the thread runs would run at its start.
  ASSERT_EQ(WaitForSingleObject(running, 5000), WAIT_OBJECT_0);
  for (ULONG_PTR v : {1, 2, 3}) ASSERT_NE(QueueUserAPC(LogApc, t, v), 0u);
  SetEvent(queued);
  ASSERT_TRUE(Join(t));
  EXPECT_EQ(results, (std::vector<DWORD>{WAIT_OBJECT_0, 0, 0, 0, WAIT_IO_COMPLETION}));
  EXPECT_EQ(log, (std::vector<ULONG_PTR>{1, 2, 3}));
  CloseHandle(queued);
  CloseHandle(running);
}

TEST(Apc, AlertableWaitWakesForAnApcQueuedWhileWaiting) {
  std::vector<ULONG_PTR> log;
  g_apcLog = &log;
  HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<DWORD> result{0};
  HANDLE t = Spawn([&] {
    result = WaitForMultipleObjectsEx(1, &never, FALSE, INFINITE, TRUE);
    return DWORD{0};
  });
  EXPECT_EQ(WaitForSingleObject(t, 20), WAIT_TIMEOUT);
  ASSERT_NE(QueueUserAPC(LogApc, t, 5), 0u);
  ASSERT_TRUE(Join(t));
  EXPECT_EQ(result.load(), WAIT_IO_COMPLETION);
  EXPECT_EQ(log, std::vector<ULONG_PTR>{5});
  CloseHandle(never);
}

TEST(Apc, QueuedBeforeTheWaitReturnsAtOnceThroughThePseudoHandle) {
  std::vector<ULONG_PTR> log;
  g_apcLog = &log;
  ASSERT_NE(QueueUserAPC(LogApc, GetCurrentThread(), 9), 0u);
  HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(WaitForSingleObjectEx(never, INFINITE, TRUE), WAIT_IO_COMPLETION);
  EXPECT_EQ(log, std::vector<ULONG_PTR>{9});
  // Nothing left: the next alertable poll times out.
  EXPECT_EQ(SleepEx(0, TRUE), 0u);
  CloseHandle(never);
}

TEST(Apc, DuplicatedPseudoHandleNamesTheThreadThatDuplicatedIt) {
  std::vector<ULONG_PTR> log;
  g_apcLog = &log;
  HANDLE self = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self,
                              0, FALSE, DUPLICATE_SAME_ACCESS));
  HANDLE t = Spawn([&] { return QueueUserAPC(LogApc, self, 4) ? DWORD{0} : DWORD{1}; });
  ASSERT_TRUE(Join(t));
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(SleepEx(0, TRUE), WAIT_IO_COMPLETION);
  EXPECT_EQ(log, std::vector<ULONG_PTR>{4});
  CloseHandle(self);
}

TEST(Apc, QueuedBeforeTheThreadRunsRunsFirst) {
  std::vector<ULONG_PTR> log;
  g_apcLog = &log;
  std::atomic<size_t> seenAtStart{99};
  HANDLE t = Spawn(
      [&] {
        seenAtStart = log.size();
        return DWORD{0};
      },
      CREATE_SUSPENDED);
  for (ULONG_PTR v : {1, 2}) ASSERT_NE(QueueUserAPC(LogApc, t, v), 0u);
  ASSERT_EQ(ResumeThread(t), 1u);
  ASSERT_TRUE(Join(t));
  EXPECT_EQ(seenAtStart.load(), 2u);
  EXPECT_EQ(log, (std::vector<ULONG_PTR>{1, 2}));
}
