// A serial port as brisa uses it, on COM8: a pseudo-terminal whose other side echoes what it
// receives and hangs up on "BYE" (tools/wine/echo_peer.py). The same program runs on the
// emulation, the port bound to the pseudo-terminal by the world (serial_line.sh), and under Wine,
// the port a dosdevices link (tools/wine/serial_test.sh): two implementations of the same
// contract. The tests run in order, once.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "wine_differences.h"

namespace {

HANDLE port = INVALID_HANDLE_VALUE;

struct sIo : OVERLAPPED {
  int done = 0;
  DWORD error = 0xFFFFFFFF, bytes = 0;
};

void WINAPI Completed(DWORD error, DWORD bytes, LPOVERLAPPED o) {
  auto* io = static_cast<sIo*>(o);
  io->error = error;
  io->bytes = bytes;
  ++io->done;
}

// Alertable waits until the routine ran, at most five seconds.
bool AwaitCompletion(sIo& io) {
  for (int i = 0; i < 50 && !io.done; ++i) SleepEx(100, TRUE);
  return io.done == 1;
}

class SerialLine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    port = CreateFileW(L"\\\\.\\COM8", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
  }
  void SetUp() override { ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError(); }
};

TEST_F(SerialLine, SettingsReadBackAsSet) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(port, &dcb));
  dcb.BaudRate = CBR_115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  ASSERT_TRUE(SetCommState(port, &dcb));
  DCB back{};
  back.DCBlength = sizeof back;
  ASSERT_TRUE(GetCommState(port, &back));
  EXPECT_EQ(back.BaudRate, static_cast<DWORD>(CBR_115200));
  EXPECT_EQ(back.ByteSize, 8);
  EXPECT_EQ(back.Parity, NOPARITY);
  EXPECT_EQ(back.StopBits, ONESTOPBIT);

  COMMTIMEOUTS timeouts{2, 0, 0, 1000, 1};  // what brisa's port uses
  ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
  COMMTIMEOUTS read{};
  ASSERT_TRUE(GetCommTimeouts(port, &read));
  EXPECT_EQ(read.ReadIntervalTimeout, 2u);
  EXPECT_EQ(read.WriteTotalTimeoutMultiplier, 1000u);
  EXPECT_EQ(read.WriteTotalTimeoutConstant, 1u);
}

TEST_F(SerialLine, CompletionsRunOnlyInAnAlertableWaitOfTheIssuer) {
  const std::string text = "hello, module";
  sIo write{}, read{};
  char buffer[64] = {};
  ASSERT_TRUE(WriteFileEx(port, text.data(), static_cast<DWORD>(text.size()), &write, Completed));
  ASSERT_TRUE(ReadFileEx(port, buffer, static_cast<DWORD>(text.size()), &read, Completed));
  Sleep(200);  // not alertable: whatever finished waits in the queue
  EXPECT_EQ(write.done + read.done, 0);
  ASSERT_TRUE(AwaitCompletion(write));
  EXPECT_EQ(write.error, 0u);
  EXPECT_EQ(write.bytes, text.size());
  ASSERT_TRUE(AwaitCompletion(read));
  EXPECT_EQ(read.error, 0u);
  EXPECT_EQ(std::string(buffer, read.bytes), text);
}

TEST_F(SerialLine, CancelIoAbortsAPendingReadWith995) {
  sIo read{};
  char buffer[16];
  ASSERT_TRUE(ReadFileEx(port, buffer, sizeof buffer, &read, Completed));
  EXPECT_EQ(SleepEx(100, TRUE), 0u);  // nothing arrives: the read stays pending
  EXPECT_EQ(read.done, 0);
  ASSERT_TRUE(CancelIo(port));
  ASSERT_TRUE(AwaitCompletion(read));
  EXPECT_EQ(read.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

TEST_F(SerialLine, ClearCommErrorCountsTheInputWaitingOnTheLine) {
  sIo write{};
  ASSERT_TRUE(WriteFileEx(port, "abcde", 5, &write, Completed));
  ASSERT_TRUE(AwaitCompletion(write));
  COMSTAT stat{};
  DWORD errors = 0;
  for (int i = 0; i < 50; ++i) {  // the echo is on its way back
    ASSERT_TRUE(ClearCommError(port, &errors, &stat));
    if (stat.cbInQue == 5) break;
    SleepEx(20, TRUE);
  }
  EXPECT_EQ(stat.cbInQue, 5u);
  EXPECT_EQ(errors, 0u);
  sIo read{};
  char buffer[8] = {};
  ASSERT_TRUE(ReadFileEx(port, buffer, 5, &read, Completed));
  ASSERT_TRUE(AwaitCompletion(read));
  EXPECT_EQ(std::string(buffer, read.bytes), "abcde");
  ASSERT_TRUE(ClearCommError(port, &errors, &stat));
  EXPECT_EQ(stat.cbInQue, 0u);
}

// A line whose far side hangs up is a USB serial device pulled out: its driver fails the reads
// with 31. Wine maps the tty's hang-up to a broken pipe instead.
TEST_F(SerialLine, AHungUpLineFailsReads) {
  sIo write{};
  ASSERT_TRUE(WriteFileEx(port, "BYE", 3, &write, Completed));
  ASSERT_TRUE(AwaitCompletion(write));
  sIo read{};
  char buffer[16];
  DWORD error = 0;
  if (ReadFileEx(port, buffer, sizeof buffer, &read, Completed)) {
    ASSERT_TRUE(AwaitCompletion(read));
    error = read.error;
  } else {
    error = GetLastError();
  }
  if (win32test::UnlessWine("a hung-up line fails reads with 109 (broken pipe), not 31"))
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_GEN_FAILURE));
  else
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
}

}  // namespace
