// Files, folders, time and failure injection, as the platform documents them.
#include <shlobj.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "win32emu/world.h"
#include "wine_differences.h"

namespace {

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = win32emu::MakeTemporaryWorld();
    win32emu::ClearFailures();
  }
  void TearDown() override {
    win32emu::ClearFailures();
    win32emu::RestoreKnownFolders();
    std::filesystem::remove_all(root_);
  }
  static HANDLE Open(const wchar_t* name, DWORD access, DWORD share, DWORD disposition) {
    return CreateFileW(name, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  static void Put(const wchar_t* name, const std::string& bytes) {
    HANDLE h = Open(name, GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr));
    CloseHandle(h);
  }
  std::string root_;
};

TEST_F(FilesTest, DispositionsAndTheirErrors) {
  Put(L"C:\\existing.txt", "12345");
  struct Case {
    const wchar_t* name;
    DWORD access, disposition;
    bool opens;
    DWORD error;
    DWORD sizeAfter;
  } cases[] = {
      {L"C:\\existing.txt", GENERIC_WRITE, CREATE_NEW, false, ERROR_FILE_EXISTS, 5},
      {L"C:\\existing.txt", GENERIC_WRITE, CREATE_ALWAYS, true, ERROR_ALREADY_EXISTS, 0},
      {L"C:\\existing.txt", GENERIC_READ, OPEN_ALWAYS, true, ERROR_ALREADY_EXISTS, 5},
      {L"C:\\existing.txt", GENERIC_READ, OPEN_EXISTING, true, 0, 5},
      {L"C:\\existing.txt", GENERIC_READ, TRUNCATE_EXISTING, false, ERROR_INVALID_PARAMETER, 5},
      {L"C:\\existing.txt", GENERIC_WRITE, TRUNCATE_EXISTING, true, 0, 0},
      {L"C:\\missing.txt", GENERIC_READ, OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND, 0},
      {L"C:\\nodir\\missing.txt", GENERIC_READ, OPEN_EXISTING, false, ERROR_PATH_NOT_FOUND, 0},
      {L"C:\\nodir\\new.txt", GENERIC_WRITE, CREATE_ALWAYS, false, ERROR_PATH_NOT_FOUND, 0},
      {L"C:\\fresh.txt", GENERIC_WRITE, CREATE_ALWAYS, true, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << win32emu::Narrow(c.name) << " disposition " << c.disposition);
    if (c.disposition == TRUNCATE_EXISTING && !(c.access & GENERIC_WRITE) &&
        !win32test::UnlessWine("TRUNCATE_EXISTING truncates a file opened for reading only"))
      continue;
    Put(L"C:\\existing.txt", "12345");
    SetLastError(1234);
    HANDLE h = Open(c.name, c.access, FILE_SHARE_READ, c.disposition);
    EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens);
    EXPECT_EQ(GetLastError(), c.error);
    if (h != INVALID_HANDLE_VALUE) {
      EXPECT_EQ(GetFileSize(h, nullptr), c.sizeAfter);
      CloseHandle(h);
    }
    DeleteFileW(L"C:\\fresh.txt");
  }
}

TEST_F(FilesTest, SharingIsCheckedBothWays) {
  Put(L"C:\\log.txt", "x");
  HANDLE writer = Open(L"C:\\log.txt", GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  // A reader that lets others write may join; a second writer may not.
  HANDLE reader =
      Open(L"C:\\log.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(L"C:\\log.txt", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  // A reader that denies writing conflicts with the writer already there.
  EXPECT_EQ(Open(L"C:\\log.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  CloseHandle(reader);
  CloseHandle(writer);
  HANDLE again = Open(L"C:\\log.txt", GENERIC_WRITE, 0, OPEN_EXISTING);
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  CloseHandle(again);
}

TEST_F(FilesTest, ReadWriteAndAccessRights) {
  Put(L"C:\\data.bin", "hello");
  HANDLE h = Open(L"C:\\data.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  char buffer[16] = {};
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
  EXPECT_EQ(std::string(buffer, n), "hello");
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(FlushFileBuffers(h));  // needs write access
  CloseHandle(h);
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(FilesTest, DirectoriesOneLevelAtATime) {
  EXPECT_EQ(GetFileAttributesW(L"C:\\Nortane"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(GetFileAttributesW(L"C:\\Nortane\\Brisa\\x"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(CreateDirectoryW(L"C:\\Nortane\\Brisa\\", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_TRUE(CreateDirectoryW(L"C:\\Nortane", nullptr));
  EXPECT_FALSE(CreateDirectoryW(L"C:\\Nortane", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(CreateDirectoryW(L"C:\\Nortane\\Brisa\\", nullptr));
  EXPECT_EQ(GetFileAttributesW(L"C:\\Nortane\\Brisa"),
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
}

TEST_F(FilesTest, KnownFolders) {
  wchar_t path[MAX_PATH];
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path),
            S_OK);
  EXPECT_STREQ(path, L"C:\\ProgramData");  // no trailing backslash
  EXPECT_EQ(SHGetFolderPathW(nullptr, 0x7777, nullptr, SHGFP_TYPE_CURRENT, path), E_INVALIDARG);
#ifndef NORTANE_REAL_WINDOWS  // world control
  win32emu::RemoveKnownFolder(CSIDL_PROGRAM_FILES);
  EXPECT_TRUE(FAILED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, path)));
#endif
}

TEST_F(FilesTest, ModuleFileNameTruncatesAndTerminates) {
  wchar_t full[2600];
  DWORD n = GetModuleFileNameW(nullptr, full, 2600);
  ASSERT_GT(n, 4u);
  EXPECT_EQ(wcslen(full), n);
  EXPECT_EQ(full[1], L':');
  wchar_t small[4];
  EXPECT_EQ(GetModuleFileNameW(nullptr, small, 4), 4u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  if (win32test::UnlessWine("GetModuleFileNameW truncates without a NUL, as Windows XP did"))
    EXPECT_EQ(small[3], L'\0');
#ifndef NORTANE_REAL_WINDOWS  // world control
  // The name maps back to the program on the host.
  EXPECT_TRUE(std::filesystem::exists(win32emu::HostPath(full)));
#endif
}

TEST_F(FilesTest, SystemTimeFollowsTheWorldClock) {
  FILETIME ft{};
  SYSTEMTIME st;
  // 2009-07-04 13:05:09.042 UTC
  SYSTEMTIME in{2009, 7, 0, 4, 13, 5, 9, 42};
  ASSERT_TRUE(SystemTimeToFileTime(&in, &ft));
  ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
  EXPECT_EQ(st.wYear, 2009);
  EXPECT_EQ(st.wMonth, 7);
  EXPECT_EQ(st.wDay, 4);
  EXPECT_EQ(st.wDayOfWeek, 6);  // a Saturday
  EXPECT_EQ(st.wHour, 13);
  EXPECT_EQ(st.wMilliseconds, 42);
  FILETIME bad{0, 0x80000000u};
  EXPECT_FALSE(FileTimeToSystemTime(&bad, &st));

#ifndef NORTANE_REAL_WINDOWS  // world control
  FILETIME before, after;
  GetSystemTimeAsFileTime(&before);
  win32emu::MoveClock(-36000000000LL);  // back an hour
  GetSystemTimeAsFileTime(&after);
  win32emu::SetClockOffset(0);
  auto value = [](FILETIME f) { return (uint64_t(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
  EXPECT_LT(value(after), value(before) - 35000000000ULL);
#endif
}

#ifndef NORTANE_REAL_WINDOWS  // world control
TEST_F(FilesTest, InjectedFailuresSkipThenFail) {
  win32emu::InjectFailure("CreateDirectoryW", ERROR_ACCESS_DENIED, 1, 1);
  EXPECT_TRUE(CreateDirectoryW(L"C:\\a", nullptr));
  EXPECT_FALSE(CreateDirectoryW(L"C:\\b", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(CreateDirectoryW(L"C:\\c", nullptr));
  EXPECT_EQ(win32emu::CallCount("CreateDirectoryW"), 3);
}
#endif

}  // namespace
