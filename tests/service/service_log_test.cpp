// The service log: encoding, line format, whole lines under concurrency, truncation, and a log
// that cannot be opened.
#include <gmock/gmock.h>

#include <regex>
#include <thread>

#include "protocol/service_log.h"
#include "service_fixture.h"
#include "win32emu/world.h"

namespace brisa {
namespace {

using testing::LineText;
using testing::LogLines;
using testing::ReadWorldFile;

class ServiceLogTest : public testing::WorldTest {
 protected:
  const wchar_t* path_ = L"C:\\ProgramData\\log.txt";
};

TEST_F(ServiceLogTest, MarkPrefixAndUtf16LittleEndianLines) {
  // 2009-07-04 13:05:09.042 UTC on the world's clock.
  SYSTEMTIME when{2009, 7, 0, 4, 13, 5, 9, 42};
  FILETIME target, now;
  SystemTimeToFileTime(&when, &target);
  GetSystemTimeAsFileTime(&now);
  auto value = [](FILETIME f) {
    return static_cast<int64_t>((uint64_t(f.dwHighDateTime) << 32) | f.dwLowDateTime);
  };
  win32emu::SetClockOffset(value(target) - value(now));

  cServiceLog log;
  ASSERT_TRUE(log.OpenLog(path_));
  log.WriteLine(L"Main()");
  log.WriteLine(L"");  // skipped
  log.WriteLine(L"Gr\u00fc\u00dfe \u20ac \U0001F600");
  log.CloseLog();
  win32emu::SetClockOffset(0);

  std::string bytes = ReadWorldFile(path_);
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  auto lines = LogLines(bytes);
  ASSERT_EQ(lines.size(), 2u);
  // Month/day/four-digit year, time to the millisecond, five-digit thread id.
  wchar_t tid[16];
  swprintf(tid, 16, L"%05u", static_cast<unsigned>(GetCurrentThreadId()));
  EXPECT_EQ(lines[0].substr(0, 20), L"07/04/2009 13:05:09.");  // milliseconds move on
  EXPECT_EQ(lines[0].substr(lines[0].find(L'[')), std::wstring(L"[") + tid + L"] Main()");
  EXPECT_EQ(LineText(lines[1]), L"Gr\u00fc\u00dfe \u20ac \U0001F600");
  // Explicit bytes: "\r\n" as 0D 00 0A 00, the euro sign as AC 20, U+1F600 as a surrogate pair.
  EXPECT_NE(bytes.find(std::string("\xAC\x20", 2)), std::string::npos);
  EXPECT_NE(bytes.find(std::string("\x3D\xD8\x00\xDE", 4)), std::string::npos);
  EXPECT_EQ(bytes.substr(bytes.size() - 4), std::string("\r\0\n\0", 4));
}

TEST_F(ServiceLogTest, TwoThreadsNeverInterleaveWithinALine) {
  cServiceLog log;
  ASSERT_TRUE(log.OpenLog(path_));
  auto writer = [&log](wchar_t c) {
    std::wstring text(200, c);
    for (int i = 0; i < 200; ++i) log.WriteLine(text);
  };
  std::thread a(writer, L'a'), b(writer, L'b');
  a.join();
  b.join();
  log.CloseLog();
  auto lines = LogLines(ReadWorldFile(path_));
  ASSERT_EQ(lines.size(), 400u);
  for (auto& line : lines) {
    std::wstring text = LineText(line);
    EXPECT_TRUE(text == std::wstring(200, L'a') || text == std::wstring(200, L'b'));
  }
}

TEST_F(ServiceLogTest, OpeningAgainTruncatesAndOtherWritersAreDenied) {
  cServiceLog log;
  ASSERT_TRUE(log.OpenLog(path_));
  log.WriteLine(L"first run");
  // Readers may look while the log is open; writers may not.
  HANDLE reader = CreateFileW(path_, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE);
  CloseHandle(reader);
  EXPECT_EQ(CreateFileW(path_, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  log.CloseLog();
  cServiceLog second;
  ASSERT_TRUE(second.OpenLog(path_));
  second.WriteLine(L"second run");
  second.CloseLog();
  auto lines = LogLines(ReadWorldFile(path_));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(LineText(lines[0]), L"second run");
}

TEST_F(ServiceLogTest, ALogThatCannotBeOpenedIgnoresEveryWrite) {
  cServiceLog log;
  EXPECT_FALSE(log.OpenLog(L"C:\\no such folder\\log.txt"));
  EXPECT_FALSE(log.IsOpen());
  log.WriteLine(L"lost");
  log.CloseLog();
  win32emu::InjectFailure("CreateFileW", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(log.OpenLog(path_));
  log.WriteLine(L"lost too");
  EXPECT_TRUE(ReadWorldFile(path_).empty());
}

}  // namespace
}  // namespace brisa
