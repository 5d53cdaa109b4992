#include "service_fixture.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "protocol/utf16.h"
#include "win32emu/world.h"

namespace brisa::testing {

void WorldTest::SetUp() {
  root_ = win32emu::MakeTemporaryWorld();
  win32emu::ClearFailures();
  win32emu::ClearStatusReports();
  // What the installer lays down: the company's data folder.
  CreateDirectoryW(L"C:\\ProgramData\\Nortane", nullptr);
}

void WorldTest::TearDown() {
  win32emu::SetInProcessServiceHost(nullptr);
  win32emu::SetStartedAsService(L"");
  win32emu::SetTimeScale(1);
  win32emu::ClearFailures();
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

std::string ReadWorldFile(const std::wstring& windowsPath) {
  std::ifstream in(win32emu::HostPath(windowsPath), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::wstring> LogLines(const std::string& bytes) {
  std::vector<std::wstring> lines;
  if (bytes.size() < 2) return lines;
  std::wstring text =
      DecodeUtf16Le(reinterpret_cast<const uint8_t*>(bytes.data()) + 2, (bytes.size() - 2) / 2);
  size_t start = 0;
  for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::wstring LineText(const std::wstring& line) {
  auto close = line.find(L"] ");
  return close == std::wstring::npos ? line : line.substr(close + 2);
}

}  // namespace brisa::testing
