// The options file reader and the numbered firmware sets with their fallbacks.
#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>

#include "protocol/service_log.h"
#include "service/options.h"
#include "service/win_service.h"
#include "service_fixture.h"
#include "win32emu/world.h"

namespace brisa {
namespace {

void Put(const std::wstring& windowsPath, const std::string& bytes) {
  std::string host = win32emu::HostPath(windowsPath);
  std::filesystem::create_directories(std::filesystem::path(host).parent_path());
  std::ofstream(host, std::ios::binary) << bytes;
}

std::string Utf16(const std::wstring& text, bool bigEndian) {
  std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (wchar_t c : text) {
    char lo = static_cast<char>(c & 0xFF), hi = static_cast<char>((c >> 8) & 0xFF);
    out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
  }
  return out;
}

std::vector<std::wstring> Lines(const wchar_t* path) {
  cDB2TextFile file(path);
  std::vector<std::wstring> lines;
  for (std::wstring line; file.ReadLine(line);) lines.push_back(line);
  return lines;
}

class OptionsTest : public testing::WorldTest {};

TEST_F(OptionsTest, EncodingsLineEndsAndBlanks) {
  using ::testing::ElementsAre;
  Put(L"C:\\le.txt", Utf16(L"C:\\a\\AMSS.mbn\r\n  C:\\b\\Apps.mbn\r\nC:\\c\\NVPK.mbn\r\n", false));
  EXPECT_THAT(Lines(L"C:\\le.txt"),
              ElementsAre(L"C:\\a\\AMSS.mbn", L"  C:\\b\\Apps.mbn", L"C:\\c\\NVPK.mbn"));
  Put(L"C:\\be.txt", Utf16(L"x\ny", true));
  EXPECT_THAT(Lines(L"C:\\be.txt"), ElementsAre(L"x", L"y"));
  // Odd length: never UTF-16, even with what looks like a mark; read from the ANSI code page.
  Put(L"C:\\ansi.txt", "\xFF\xFE\x80");
  EXPECT_THAT(Lines(L"C:\\ansi.txt"), ElementsAre(L"\u00ff\u00fe\u20ac"));
  Put(L"C:\\blank.txt", "a\n\nb");
  EXPECT_THAT(Lines(L"C:\\blank.txt"), ElementsAre(L"a", L"", L"b"));
}

TEST_F(OptionsTest, FilesThatCannotBeRead) {
  struct Case {
    const wchar_t* path;
    DWORD error;
  } cases[] = {{L"", ERROR_FILE_NOT_FOUND},
               {L"C:\\missing.txt", ERROR_FILE_NOT_FOUND},
               {L"C:\\empty.txt", ERROR_FILE_INVALID},
               {L"C:\\big.txt", ERROR_GEN_FAILURE}};
  Put(L"C:\\empty.txt", "");
  Put(L"C:\\big.txt", std::string(0x800001, 'x'));
  for (const Case& c : cases) {
    cDB2TextFile file(c.path);
    EXPECT_EQ(file.Error(), c.error) << win32emu::Narrow(c.path);
    std::wstring line;
    EXPECT_FALSE(file.ReadLine(line));
  }
  Put(L"C:\\limit.txt", std::string(0x800000, 'x'));
  EXPECT_TRUE(cDB2TextFile(L"C:\\limit.txt").IsValid());
}

class LocateTest : public testing::WorldTest {
 protected:
  void SetUp() override {
    WorldTest::SetUp();
    images_ = ImageFolder();
    log_.OpenLog(L"C:\\log.txt");
    job_.log = &log_;
    job_.amssPath = L"default-amss";
    job_.appsPath = L"default-apps";
    job_.nvpkPath = L"default-nvpk";
  }
  std::vector<std::wstring> Log() {
    log_.CloseLog();
    std::vector<std::wstring> texts;
    for (auto& l : testing::LogLines(testing::ReadWorldFile(L"C:\\log.txt")))
      texts.push_back(testing::LineText(l));
    return texts;
  }
  std::wstring images_;
  cServiceLog log_;
  sDownloadJob job_;
};

TEST_F(LocateTest, ASetTakesTheSharedImagesItLacks) {
  Put(images_ + L"3\\NVPK.mbn", "n");
  Put(images_ + L"3\\Apps.mbn", "a");
  Put(images_ + L"UMTS\\AMSS.mbn", "m");
  Put(images_ + L"UMTS\\Apps.mbn", "shared apps");
  EXPECT_EQ(LocateImages(job_, 3), 0u);
  EXPECT_EQ(job_.nvpkPath, images_ + L"3\\NVPK.mbn");
  EXPECT_EQ(job_.amssPath, images_ + L"UMTS\\AMSS.mbn");
  EXPECT_EQ(job_.appsPath, images_ + L"3\\Apps.mbn");
  EXPECT_EQ(images_, L"C:\\Program Files\\Nortane\\Images\\Oristo\\");
  EXPECT_TRUE(Log().empty());
}

TEST_F(LocateTest, MissingImagesLeaveTheDefaults) {
  Put(images_ + L"UMTS\\AMSS.mbn", "m");
  Put(images_ + L"UMTS\\Apps.mbn", "a");
  EXPECT_EQ(LocateImages(job_, 7), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));  // no NVPK: no set
  Put(images_ + L"8\\NVPK.mbn", "n");
  std::filesystem::remove(win32emu::HostPath(images_ + L"UMTS\\Apps.mbn"));
  EXPECT_EQ(LocateImages(job_, 8), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(LocateImages(job_, 0xFFFFFFFFu), 0u);
  EXPECT_EQ(job_.amssPath, L"default-amss");
  EXPECT_EQ(job_.appsPath, L"default-apps");
  EXPECT_EQ(job_.nvpkPath, L"default-nvpk");
  EXPECT_THAT(Log(), ::testing::ElementsAre(
                         L"Tarn unable to find NVPK file: " + images_ + L"7\\NVPK.mbn (3)",
                         L"Tarn unable to find apps file: " + images_ + L"UMTS\\Apps.mbn (2)"));
}

}  // namespace
}  // namespace brisa
