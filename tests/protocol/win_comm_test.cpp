// The serial transport: how names become device paths, one read and one write at a time, and
// completions that arrive only in an alertable wait of the issuing thread.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <vector>

#include "peer.h"
#include "protocol/win_comm.h"
#include "win32emu/world.h"

namespace brisa {
namespace {

struct Recorder : cCommCallback {
  void Completion(DWORD error, DWORD bytes) override {
    ++calls;
    lastError = error;
    lastBytes = bytes;
  }
  int calls = 0;
  DWORD lastError = 0xFFFFFFFFu;
  DWORD lastBytes = 0;
};

class WinCommTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = win32emu::MakeTemporaryWorld();
    peer = std::make_shared<test::ScriptedPeer>();
    win32emu::BindPort(L"COM7", peer);
    comm.SetCallbacks(&rx, &tx);
  }
  void TearDown() override {
    comm.Close();
    win32emu::UnbindPort(L"COM7");
    std::filesystem::remove_all(root);
  }
  // Runs queued completion routines of this thread until `done` holds (at most 10 s).
  template <typename Done>
  void RunCompletions(Done done) {
    for (int i = 0; i < 1000 && !done(); ++i) SleepEx(10, TRUE);
  }
  std::string root;
  std::shared_ptr<test::ScriptedPeer> peer;
  Recorder rx, tx;
  cWinComm comm;
};

TEST_F(WinCommTest, NamesAndDevicePaths) {
  struct Case {
    const wchar_t* name;
    const wchar_t* kept;
    const wchar_t* fileName;
  } cases[] = {
      {L"COM7", L"COM7", L""},
      {L"\\\\.\\COM7", L"COM7", L""},
      {L"COM7\\TarnService", L"COM7\\TarnService", L"\\TarnService"},
      {L"\\\\.\\COM7\\TarnService", L"COM7\\TarnService", L"\\TarnService"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(win32emu::Narrow(c.name));
    ASSERT_TRUE(comm.Open(c.name, true));
    EXPECT_EQ(comm.GetName(), c.kept);
    EXPECT_EQ(peer->FileName(), c.fileName);
    EXPECT_TRUE(comm.Close());
    EXPECT_EQ(comm.GetName(), L"");
  }
  EXPECT_TRUE(comm.Close());  // nothing open
}

TEST_F(WinCommTest, RefusedOpens) {
  EXPECT_FALSE(comm.Open(L"", true));
  EXPECT_FALSE(comm.Open(L"COM8", true));  // bound to nothing
  EXPECT_FALSE(comm.IsOpen());
  cWinComm bare;
  EXPECT_FALSE(bare.IsReady());
  EXPECT_FALSE(bare.Open(L"COM7", true));

  ASSERT_TRUE(comm.Open(L"COM7", true));
  cWinComm second;
  second.SetCallbacks(&rx, &tx);
  EXPECT_FALSE(second.Open(L"COM7", true));  // opened exclusively
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  // Reopening closes the port first.
  ASSERT_TRUE(comm.Open(L"COM7", true));
  EXPECT_EQ(peer->Closes(), 1);
}

TEST_F(WinCommTest, OneReadAtATimeCompletingInAnAlertableWait) {
  ASSERT_TRUE(comm.Open(L"COM7", true));
  COMMTIMEOUTS timeouts = {2, 0, 0, 1000, 1};
  ASSERT_TRUE(SetCommTimeouts(comm.GetHandle(), &timeouts));
  std::vector<BYTE> buffer(512);
  ASSERT_TRUE(comm.Read(buffer.data(), 512));
  EXPECT_TRUE(comm.ReadPending());
  EXPECT_FALSE(comm.Read(buffer.data(), 512));

  peer->Push("abc");
  // Not before this thread waits alertably.
  Sleep(50);
  EXPECT_EQ(rx.calls, 0);
  RunCompletions([&] { return rx.calls > 0; });
  EXPECT_EQ(rx.calls, 1);
  EXPECT_EQ(rx.lastError, 0u);
  EXPECT_EQ(rx.lastBytes, 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data()), 3), "abc");
  EXPECT_FALSE(comm.ReadPending());
  EXPECT_TRUE(comm.Read(buffer.data(), 512));
}

TEST_F(WinCommTest, WritesCompleteAndCancelledReadsRunBeforeClose) {
  ASSERT_TRUE(comm.Open(L"COM7", true));
  const char bytes[] = "hello";
  ASSERT_TRUE(comm.Write(bytes, 5));
  EXPECT_FALSE(comm.Write(bytes, 5));
  RunCompletions([&] { return tx.calls > 0; });
  EXPECT_EQ(tx.lastError, 0u);
  EXPECT_EQ(tx.lastBytes, 5u);
  EXPECT_EQ(peer->Received(), "hello");

  std::vector<BYTE> buffer(16);
  ASSERT_TRUE(comm.Read(buffer.data(), 16));
  comm.CancelPending();
  EXPECT_EQ(rx.calls, 1);
  EXPECT_EQ(rx.lastError, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_FALSE(comm.ReadPending());
}

}  // namespace
}  // namespace brisa

namespace brisa {
namespace {

struct OrderRecorder : cCommCallback {
  OrderRecorder(std::vector<char>* order, char mark) : order(order), mark(mark) {}
  void Completion(DWORD, DWORD) override { order->push_back(mark); }
  std::vector<char>* order;
  char mark;
};

// The server matches a response only after its write has completed: an answer the far end
// gives at once must not overtake the write's completion.
TEST_F(WinCommTest, AnAnswerNeverOvertakesTheWriteItAnswers) {
  std::vector<char> order;
  OrderRecorder reads(&order, 'r'), writes(&order, 'w');
  cWinComm port;
  port.SetCallbacks(&reads, &writes);
  peer->SetScript([](const std::string&, win32emu::PortLink& link) { link.Push("!", 1); });
  ASSERT_TRUE(port.Open(L"COM7", true));
  // Reads complete as soon as one byte is there.
  COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, 5000, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(port.GetHandle(), &timeouts));
  BYTE buffer[16];
  for (int round = 0; round < 50; ++round) {
    order.clear();
    ASSERT_TRUE(port.Read(buffer, sizeof buffer));
    ASSERT_TRUE(port.Write("?", 1));
    RunCompletions([&] { return order.size() == 2; });
    ASSERT_EQ(std::string(order.begin(), order.end()), "wr") << round;
  }
  port.Close();
}

}  // namespace
}  // namespace brisa
