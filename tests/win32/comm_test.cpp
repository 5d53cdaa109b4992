// Serial ports as Windows and its serial driver define them: the port namespace, exclusive
// opens, completion routines that run only in an alertable wait of the issuing thread, the
// read time-out rules, cancel and purge, line settings and errors, in-process and tty endpoints.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "spawn.h"
#include "win32emu/ports.h"
#include "win32emu/world.h"

using win32test::Join;
using win32test::Spawn;

namespace {

class ScriptedPeer : public win32emu::PortPeer {
 public:
  void OnOpen(win32emu::PortLink& l, const std::wstring& name) override {
    std::lock_guard<std::mutex> g(m);
    link = &l;
    fileName = name;
    ++opens;
  }
  void OnSettings(const DCB& d, const COMMTIMEOUTS& t) override {
    std::lock_guard<std::mutex> g(m);
    dcb = d;
    timeouts = t;
  }
  void OnWrite(const void* data, size_t size) override {
    std::lock_guard<std::mutex> g(m);
    if (keepBytes)
      written.insert(written.end(), static_cast<const uint8_t*>(data),
                     static_cast<const uint8_t*>(data) + size);
    writtenCount += size;
    if (echo) link->Push(data, size);
  }
  void OnPurge(DWORD flags) override {
    std::lock_guard<std::mutex> g(m);
    purges.push_back(flags);
  }
  void OnEscape(DWORD function) override {
    std::lock_guard<std::mutex> g(m);
    escapes.push_back(function);
  }
  // Link calls never call back, so a peer may make them holding the lock its callbacks take.
  void StallLocked(bool on) {
    std::lock_guard<std::mutex> g(m);
    link->Stall(on);
  }
  void OnClose() override {
    std::lock_guard<std::mutex> g(m);
    link = nullptr;
    ++closes;
  }

  std::mutex m;
  win32emu::PortLink* link = nullptr;
  std::wstring fileName;
  int opens = 0, closes = 0;
  DCB dcb{};
  COMMTIMEOUTS timeouts{};
  std::vector<uint8_t> written;
  std::atomic<size_t> writtenCount{0};
  bool keepBytes = true;
  bool echo = false;
  std::vector<DWORD> purges, escapes;
};

// What a completion routine saw; reached through OVERLAPPED.hEvent, which is free for context.
struct Completion {
  OVERLAPPED ov{};
  std::atomic<int> calls{0};
  DWORD error = 0xFFFF, bytes = 0xFFFF, tid = 0;
  Completion() { ov.hEvent = this; }
};
void WINAPI OnDone(DWORD error, DWORD bytes, LPOVERLAPPED ov) {
  auto* c = static_cast<Completion*>(ov->hEvent);
  c->error = error;
  c->bytes = bytes;
  c->tid = GetCurrentThreadId();
  ++c->calls;
}

// Runs alertable waits until the completion has been seen, or the time is up.
bool AwaitCompletion(Completion& c, DWORD ms = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (c.calls == 0 && std::chrono::steady_clock::now() < end) SleepEx(10, TRUE);
  return c.calls > 0;
}

// A completed write has been taken by the driver, not necessarily by the far end yet.
std::string WrittenWhenArrived(ScriptedPeer& peer, size_t n, DWORD ms = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (peer.writtenCount < n && std::chrono::steady_clock::now() < end) Sleep(1);
  std::lock_guard<std::mutex> g(peer.m);
  return std::string(peer.written.begin(), peer.written.end());
}

HANDLE OpenPort(const wchar_t* path, DWORD flags = FILE_FLAG_OVERLAPPED) {
  return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     flags | FILE_ATTRIBUTE_NORMAL, nullptr);
}

class CommTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { win32emu::MakeTemporaryWorld(); }
  void SetUp() override {
    peer = std::make_shared<ScriptedPeer>();
    win32emu::BindPort(L"COM7", peer);
    port = OpenPort(L"\\\\.\\COM7\\TarnService");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
    win32emu::UnbindPort(L"COM7");
  }
  void SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant, DWORD wMul = 0,
                   DWORD wConst = 0) {
    COMMTIMEOUTS t{interval, multiplier, constant, wMul, wConst};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
  }
  void Push(const std::string& s) { peer->link->Push(s.data(), s.size()); }

  std::shared_ptr<ScriptedPeer> peer;
  HANDLE port = INVALID_HANDLE_VALUE;
};

}  // namespace

TEST_F(CommTest, NamespaceBindsPortsOpensThemOnceAndPassesTheFileName) {
  EXPECT_EQ(peer->fileName, L"\\TarnService");
  // Already open, in whatever case and with whatever share mode.
  HANDLE again =
      CreateFileW(L"\\\\.\\com7", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  EXPECT_EQ(again, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OpenPort(L"\\\\.\\COM99"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  ASSERT_TRUE(CloseHandle(port));
  port = INVALID_HANDLE_VALUE;
  EXPECT_EQ(peer->closes, 1);
  port = OpenPort(L"\\\\.\\com7");
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  EXPECT_EQ(peer->opens, 2);
  EXPECT_EQ(peer->fileName, L"");
}

TEST_F(CommTest, ReadCompletesOnlyInAnAlertableWaitOfTheIssuingThread) {
  SetTimeouts(2, 0, 0);
  char buffer[4];
  Completion c;
  ASSERT_TRUE(ReadFileEx(port, buffer, sizeof buffer, &c.ov, OnDone));
  Push("wxyz");  // fills the buffer: the read is done, its routine is due
  HANDLE other = Spawn([] { return SleepEx(20, TRUE); });
  ASSERT_TRUE(Join(other));
  HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(WaitForSingleObject(never, 20), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(c.calls.load(), 0);
  EXPECT_EQ(WaitForSingleObjectEx(never, INFINITE, TRUE), WAIT_IO_COMPLETION);
  EXPECT_EQ(c.calls.load(), 1);
  EXPECT_EQ(c.error, 0u);
  EXPECT_EQ(c.bytes, 4u);
  EXPECT_EQ(c.tid, GetCurrentThreadId());
  EXPECT_EQ(std::string(buffer, 4), "wxyz");
  CloseHandle(never);
}

TEST_F(CommTest, IntervalTimeoutStartsWithTheFirstByte) {
  SetTimeouts(2, 0, 0);
  char buffer[64];
  Completion c;
  ASSERT_TRUE(ReadFileEx(port, buffer, sizeof buffer, &c.ov, OnDone));
  // No byte, no end: the read waits without limit.
  EXPECT_EQ(SleepEx(40, TRUE), 0u);
  EXPECT_EQ(c.calls.load(), 0);
  Push("abc");
  ASSERT_TRUE(AwaitCompletion(c));
  EXPECT_EQ(c.error, 0u);
  EXPECT_EQ(c.bytes, 3u);
  EXPECT_EQ(std::string(buffer, 3), "abc");
}

TEST_F(CommTest, TotalAndImmediateTimeoutModes) {
  struct Case {
    COMMTIMEOUTS timeouts;
    const char* buffered;  // in the port before the read starts
    DWORD expectedBytes;
  } cases[] = {
      {{MAXDWORD, 0, 0, 0, 0}, "", 0},             // returns at once, empty
      {{MAXDWORD, 0, 0, 0, 0}, "hi", 2},           // returns at once with what is there
      {{MAXDWORD, MAXDWORD, 20, 0, 0}, "", 0},     // nothing comes: the constant ends it
      {{MAXDWORD, MAXDWORD, 5000, 0, 0}, "q", 1},  // data there: at once
      {{0, 0, 20, 0, 0}, "", 0},                   // a time-out is no error
      {{0, 1, 10, 0, 0}, "ab", 2},                 // total time-out with part of the data
  };
  for (const Case& k : cases) {
    COMMTIMEOUTS t = k.timeouts;
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    Push(k.buffered);
    char buffer[8];
    Completion c;
    ASSERT_TRUE(ReadFileEx(port, buffer, sizeof buffer, &c.ov, OnDone));
    EXPECT_TRUE(AwaitCompletion(c, 2000)) << k.timeouts.ReadTotalTimeoutConstant;
    EXPECT_EQ(c.error, 0u);
    EXPECT_EQ(c.bytes, k.expectedBytes) << k.buffered;
  }
  // Waiting for the first byte: it arrives after the read started and ends it.
  SetTimeouts(MAXDWORD, MAXDWORD, 5000);
  char buffer[8];
  Completion c;
  ASSERT_TRUE(ReadFileEx(port, buffer, sizeof buffer, &c.ov, OnDone));
  EXPECT_EQ(SleepEx(10, TRUE), 0u);
  Push("z");
  ASSERT_TRUE(AwaitCompletion(c, 1000));
  EXPECT_EQ(c.bytes, 1u);
  // All three MAXDWORD is refused.
  COMMTIMEOUTS bad{MAXDWORD, MAXDWORD, MAXDWORD, 0, 0};
  EXPECT_FALSE(SetCommTimeouts(port, &bad));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(CommTest, CancelIoAbortsOnlyTheCallersIoWith995) {
  SetTimeouts(2, 0, 0);
  char buffer[8];
  Completion c;
  ASSERT_TRUE(ReadFileEx(port, buffer, sizeof buffer, &c.ov, OnDone));
  HANDLE other = Spawn([&] { return CancelIo(port) ? DWORD{0} : DWORD{1}; });
  ASSERT_TRUE(Join(other));
  EXPECT_EQ(SleepEx(10, TRUE), 0u);
  EXPECT_EQ(c.calls.load(), 0);
  ASSERT_TRUE(CancelIo(port));
  EXPECT_EQ(c.calls.load(), 0);  // not from inside CancelIo
  EXPECT_EQ(SleepEx(0, TRUE), WAIT_IO_COMPLETION);
  EXPECT_EQ(c.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(c.bytes, 0u);

  // CancelIoEx reaches another thread's request by its OVERLAPPED.
  Completion d;
  ASSERT_TRUE(ReadFileEx(port, buffer, sizeof buffer, &d.ov, OnDone));
  std::atomic<DWORD> unknown{0};
  other = Spawn([&] {
    OVERLAPPED stranger{};
    unknown = CancelIoEx(port, &stranger) ? 0 : GetLastError();
    return CancelIoEx(port, &d.ov) ? DWORD{0} : DWORD{1};
  });
  ASSERT_TRUE(Join(other));
  EXPECT_EQ(unknown.load(), static_cast<DWORD>(ERROR_NOT_FOUND));
  EXPECT_EQ(SleepEx(0, TRUE), WAIT_IO_COMPLETION);
  EXPECT_EQ(d.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

TEST_F(CommTest, PurgeAbortsAndDiscards) {
  SetTimeouts(2, 0, 0);
  char buffer[8];
  Completion read;
  ASSERT_TRUE(ReadFileEx(port, buffer, sizeof buffer, &read.ov, OnDone));
  ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT));
  ASSERT_TRUE(AwaitCompletion(read));
  EXPECT_EQ(read.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));

  // Buffered input discarded: an immediate read finds nothing.
  Push("stale");
  COMSTAT stat{};
  DWORD errors = 1;
  ASSERT_TRUE(ClearCommError(port, &errors, &stat));
  EXPECT_EQ(stat.cbInQue, 5u);
  ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
  ASSERT_TRUE(ClearCommError(port, &errors, &stat));
  EXPECT_EQ(stat.cbInQue, 0u);

  // A write held back by flow control is aborted and never reaches the line.
  peer->link->Stall(true);
  Completion write;
  ASSERT_TRUE(WriteFileEx(port, "held", 4, &write.ov, OnDone));
  ASSERT_TRUE(ClearCommError(port, &errors, &stat));
  EXPECT_EQ(stat.cbOutQue, 4u);
  EXPECT_EQ(stat.fCtsHold, 1u);
  ASSERT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR));
  ASSERT_TRUE(AwaitCompletion(write));
  EXPECT_EQ(write.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  peer->link->Stall(false);
  EXPECT_TRUE(peer->written.empty());
  EXPECT_EQ(peer->purges,
            (std::vector<DWORD>{PURGE_RXABORT, PURGE_RXCLEAR, PURGE_TXABORT | PURGE_TXCLEAR}));
  EXPECT_FALSE(PurgeComm(port, 0x10));
}

TEST_F(CommTest, WritesReachThePeerAndAStalledWriteTimesOutWithoutError) {
  Completion first;
  ASSERT_TRUE(WriteFileEx(port, "hello", 5, &first.ov, OnDone));
  ASSERT_TRUE(AwaitCompletion(first));
  EXPECT_EQ(first.error, 0u);
  EXPECT_EQ(first.bytes, 5u);
  EXPECT_EQ(WrittenWhenArrived(*peer, 5), "hello");

  SetTimeouts(0, 0, 0, 1, 10);  // 1 ms per byte + 10 ms
  peer->link->Stall(true);
  Completion stalled;
  ASSERT_TRUE(WriteFileEx(port, "abc", 3, &stalled.ov, OnDone));
  ASSERT_TRUE(AwaitCompletion(stalled));
  EXPECT_EQ(stalled.error, 0u);
  EXPECT_EQ(stalled.bytes, 0u);

  // Without a write time-out it waits for the line, then goes out whole.
  SetTimeouts(0, 0, 0, 0, 0);
  Completion later;
  ASSERT_TRUE(WriteFileEx(port, "xyz", 3, &later.ov, OnDone));
  EXPECT_EQ(SleepEx(20, TRUE), 0u);
  peer->StallLocked(false);
  ASSERT_TRUE(AwaitCompletion(later));
  EXPECT_EQ(later.bytes, 3u);
  EXPECT_EQ(WrittenWhenArrived(*peer, 8), "helloxyz");
}

TEST_F(CommTest, CommStateIsValidatedAndReachesThePeer) {
  static_assert(sizeof(DCB) == 28);
  static_assert(sizeof(COMMTIMEOUTS) == 20);
  static_assert(sizeof(COMSTAT) == 12);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(port, &dcb));
  EXPECT_EQ(dcb.fBinary, 1u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_NE(dcb.XonChar, dcb.XoffChar);

  struct Case {
    const char* what;
    void (*change)(DCB&);
  } invalid[] = {
      {"Xon equals Xoff", [](DCB& d) { d.XoffChar = d.XonChar; }},
      {"byte size 4", [](DCB& d) { d.ByteSize = 4; }},
      {"byte size 9", [](DCB& d) { d.ByteSize = 9; }},
      {"parity 5", [](DCB& d) { d.Parity = 5; }},
      {"stop bits 3", [](DCB& d) { d.StopBits = 3; }},
      {"1.5 stop bits with 8 data bits", [](DCB& d) { d.StopBits = ONE5STOPBITS; }},
      {"2 stop bits with 5 data bits",
       [](DCB& d) {
         d.ByteSize = 5;
         d.StopBits = TWOSTOPBITS;
       }},
      {"baud rate 0", [](DCB& d) { d.BaudRate = 0; }},
  };
  for (const Case& k : invalid) {
    DCB d = dcb;
    k.change(d);
    EXPECT_FALSE(SetCommState(port, &d)) << k.what;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << k.what;
  }
  // What the protocol server does: clear the software flow control and error bits, 8 bits.
  DCB d = dcb;
  reinterpret_cast<DWORD*>(&d)[2] &= ~0x4700u;
  d.ByteSize = 8;
  d.BaudRate = CBR_57600;
  ASSERT_TRUE(SetCommState(port, &d));
  DCB back{};
  ASSERT_TRUE(GetCommState(port, &back));
  EXPECT_EQ(back.BaudRate, static_cast<DWORD>(CBR_57600));
  EXPECT_EQ(peer->dcb.BaudRate, static_cast<DWORD>(CBR_57600));
  EXPECT_TRUE(EscapeCommFunction(port, SETDTR));
  EXPECT_TRUE(EscapeCommFunction(port, CLRRTS));
  EXPECT_FALSE(EscapeCommFunction(port, 42));
  EXPECT_EQ(peer->escapes, (std::vector<DWORD>{SETDTR, CLRRTS}));
  EXPECT_TRUE(SetupComm(port, 4096, 4096));
}

TEST_F(CommTest, LineErrorsAreReportedOnceAndAbortIoWhenAsked) {
  DWORD errors = 0;
  peer->link->RaiseLineError(CE_FRAME);
  ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
  EXPECT_EQ(errors, static_cast<DWORD>(CE_FRAME));
  ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
  EXPECT_EQ(errors, 0u);

  DCB dcb{};
  GetCommState(port, &dcb);
  dcb.fAbortOnError = 1;
  ASSERT_TRUE(SetCommState(port, &dcb));
  SetTimeouts(2, 0, 0);
  char buffer[4];
  Completion pending;
  ASSERT_TRUE(ReadFileEx(port, buffer, sizeof buffer, &pending.ov, OnDone));
  peer->link->RaiseLineError(CE_OVERRUN);
  ASSERT_TRUE(AwaitCompletion(pending));
  EXPECT_EQ(pending.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  Completion refused;
  EXPECT_FALSE(ReadFileEx(port, buffer, sizeof buffer, &refused.ov, OnDone));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
  EXPECT_EQ(errors, static_cast<DWORD>(CE_OVERRUN));
  Completion again;
  EXPECT_TRUE(ReadFileEx(port, buffer, sizeof buffer, &again.ov, OnDone));
  EXPECT_TRUE(CancelIo(port));
  EXPECT_EQ(SleepEx(0, TRUE), WAIT_IO_COMPLETION);
  EXPECT_EQ(again.calls.load(), 1);
  EXPECT_EQ(refused.calls.load(), 0);  // a refused start never calls its routine
}

TEST_F(CommTest, DisconnectFailsPendingAndLaterIo) {
  SetTimeouts(2, 0, 0);
  char buffer[4];
  Completion pending;
  ASSERT_TRUE(ReadFileEx(port, buffer, sizeof buffer, &pending.ov, OnDone));
  peer->link->Disconnect(ERROR_GEN_FAILURE);
  ASSERT_TRUE(AwaitCompletion(pending));
  EXPECT_EQ(pending.error, static_cast<DWORD>(ERROR_GEN_FAILURE));
  Completion later;
  EXPECT_FALSE(WriteFileEx(port, "x", 1, &later.ov, OnDone));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
  DCB dcb{};
  EXPECT_FALSE(GetCommState(port, &dcb));
}

TEST_F(CommTest, ClosingCancelsPendingIoAndTheRoutineStillRuns) {
  SetTimeouts(2, 0, 0);
  char buffer[4];
  Completion pending;
  ASSERT_TRUE(ReadFileEx(port, buffer, sizeof buffer, &pending.ov, OnDone));
  ASSERT_TRUE(CloseHandle(port));
  port = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(AwaitCompletion(pending));
  EXPECT_EQ(pending.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

TEST_F(CommTest, SynchronousAndEventOverlappedIo) {
  ASSERT_TRUE(CloseHandle(port));
  port = OpenPort(L"\\\\.\\COM7", 0);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  peer->echo = true;
  SetTimeouts(2, 0, 0);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(port, "ping", 4, &n, nullptr));
  EXPECT_EQ(n, 4u);
  char buffer[16];
  ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &n, nullptr));
  EXPECT_EQ(std::string(buffer, n), "ping");
  // ReadFileEx needs an overlapped handle.
  Completion c;
  EXPECT_FALSE(ReadFileEx(port, buffer, 4, &c.ov, OnDone));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  CloseHandle(port);
  port = OpenPort(L"\\\\.\\COM7");
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  SetTimeouts(2, 0, 0);
  OVERLAPPED ov{};
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_FALSE(ReadFile(port, buffer, 3, nullptr, &ov));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_FALSE(GetOverlappedResult(port, &ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
  Push("abc");
  EXPECT_EQ(WaitForSingleObject(ov.hEvent, 5000), WAIT_OBJECT_0);
  ASSERT_TRUE(GetOverlappedResult(port, &ov, &n, TRUE));
  EXPECT_EQ(n, 3u);
  CloseHandle(ov.hEvent);
}

// The protocol server's pattern: 256 KiB writes with WriteFileEx, reads with ReadFileEx, each
// completion handled in the worker's alertable wait.
TEST_F(CommTest, BulkTransferThroughAnInProcessPeer) {
  peer->keepBytes = false;
  SetTimeouts(2, 0, 0, 1000, 1);
  constexpr size_t kTotal = 16 << 20, kBlock = 262144;
  std::vector<uint8_t> block(kBlock, 0x5A);
  auto start = std::chrono::steady_clock::now();
  size_t sent = 0;
  while (sent < kTotal) {
    Completion c;
    ASSERT_TRUE(WriteFileEx(port, block.data(), kBlock, &c.ov, OnDone));
    ASSERT_TRUE(AwaitCompletion(c));
    ASSERT_EQ(c.bytes, kBlock);
    sent += kBlock;
  }
  WrittenWhenArrived(*peer, kTotal);
  EXPECT_EQ(peer->writtenCount.load(), kTotal);
  // Inbound: the peer pushes while the application reads 64 KiB at a time.
  HANDLE pusher = Spawn([&] {
    std::vector<uint8_t> chunk(kBlock, 0xA5);
    for (size_t pushed = 0; pushed < kTotal; pushed += kBlock)
      peer->link->Push(chunk.data(), chunk.size());
    return DWORD{0};
  });
  std::vector<uint8_t> in(65536);
  size_t received = 0;
  bool intact = true;
  while (received < kTotal) {
    Completion c;
    ASSERT_TRUE(ReadFileEx(port, in.data(), static_cast<DWORD>(in.size()), &c.ov, OnDone));
    ASSERT_TRUE(AwaitCompletion(c));
    intact &= std::all_of(in.begin(), in.begin() + c.bytes, [](uint8_t b) { return b == 0xA5; });
    received += c.bytes;
  }
  ASSERT_TRUE(Join(pusher));
  EXPECT_TRUE(intact);
  EXPECT_EQ(received, kTotal);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  RecordProperty("MBps", static_cast<int>(2 * kTotal / seconds / 1e6));
}

TEST_F(CommTest, PseudoTerminalEndpointCarriesBytesBothWays) {
  win32emu::PtyPair pty;
  ASSERT_TRUE(win32emu::OpenPtyPair(&pty));
  win32emu::BindPortToDevice(L"COM8", pty.slavePath);
  // Another process of the world learns the binding from the world file.
  std::ifstream file(win32emu::WorldRoot() + "/devices/ports");
  std::string line;
  std::getline(file, line);
  EXPECT_EQ(line, "COM8 = " + pty.slavePath);

  HANDLE tty = OpenPort(L"\\\\.\\COM8\\TarnService");
  ASSERT_NE(tty, INVALID_HANDLE_VALUE);
  EXPECT_EQ(OpenPort(L"\\\\.\\COM8"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  COMMTIMEOUTS t{2, 0, 0, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(tty, &t));
  DCB dcb{};
  ASSERT_TRUE(GetCommState(tty, &dcb));
  ASSERT_TRUE(SetCommState(tty, &dcb));

  // Binary bytes pass unchanged: the line is raw.
  const std::string out("\x7e\r\n\x03\x11\x13 data", 10);
  Completion w;
  ASSERT_TRUE(WriteFileEx(tty, out.data(), static_cast<DWORD>(out.size()), &w.ov, OnDone));
  ASSERT_TRUE(AwaitCompletion(w));
  EXPECT_EQ(w.bytes, out.size());
  std::string got;
  for (int i = 0; i < 500 && got.size() < out.size(); ++i) {
    pollfd p{pty.master, POLLIN, 0};
    poll(&p, 1, 10);
    char buf[64];
    ssize_t n = read(pty.master, buf, sizeof buf);
    if (n > 0) got.append(buf, static_cast<size_t>(n));
  }
  EXPECT_EQ(got, out);

  char buffer[64];
  Completion r;
  ASSERT_TRUE(ReadFileEx(tty, buffer, sizeof buffer, &r.ov, OnDone));
  ASSERT_EQ(write(pty.master, out.data(), out.size()), static_cast<ssize_t>(out.size()));
  ASSERT_TRUE(AwaitCompletion(r));
  EXPECT_EQ(std::string(buffer, r.bytes), out);

  // The far end hangs up: pending reads fail.
  Completion gone;
  ASSERT_TRUE(ReadFileEx(tty, buffer, sizeof buffer, &gone.ov, OnDone));
  close(pty.master);
  ASSERT_TRUE(AwaitCompletion(gone));
  EXPECT_NE(gone.error, 0u);
  CloseHandle(tty);
  win32emu::UnbindPort(L"COM8");
  EXPECT_EQ(OpenPort(L"\\\\.\\COM8"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}
