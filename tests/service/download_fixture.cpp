#include "download_fixture.h"

#include <filesystem>
#include <fstream>

#include "service/options.h"
#include "win32emu/ports.h"
#include "win32emu/world.h"

namespace brisa::testing {

bool cTestBrisa::WaitDownload(size_t index, DWORD ms) {
  EnterCriticalSection(&downloadsLock);
  HANDLE thread = index < downloads.size() ? downloads[index].thread : nullptr;
  LeaveCriticalSection(&downloadsLock);
  return thread && WaitForSingleObject(thread, ms) == WAIT_OBJECT_0;
}

namespace {
void Write(const std::wstring& windowsPath, const std::vector<uint8_t>& bytes) {
  std::string host = win32emu::HostPath(windowsPath);
  std::filesystem::create_directories(std::filesystem::path(host).parent_path());
  std::ofstream(host, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}
std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  for (auto& b : bytes) {
    seed = seed * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(seed >> 24);
  }
  return bytes;
}
}  // namespace

void DownloadTest::SetUp() {
  WorldTest::SetUp();
  CreateDirectoryW(L"C:\\ProgramData\\Nortane\\Brisa", nullptr);
  service_ = std::make_unique<cTestBrisa>();
  service_->Log().OpenLog(logPath_.c_str());
}

void DownloadTest::TearDown() {
  service_.reset();  // ends and closes every download
  for (auto& m : modules_) win32emu::UnbindPort(m->Identity().portName);
  modules_.clear();
  WorldTest::TearDown();
}

sFirmware DownloadTest::InstallSet(const std::wstring& folder, uint32_t payload, uint16_t version,
                                   uint16_t mark2) {
  sFirmware f;
  f.amss = folder + L"AMSS.mbn";
  f.apps = folder + L"Apps.mbn";
  f.nvpk = folder + L"NVPK.mbn";
  std::vector<uint8_t> amss = Pattern(payload + 8, 11);
  uint8_t trailer[8] = {0x34,
                        0x12,
                        static_cast<uint8_t>(mark2),
                        static_cast<uint8_t>(mark2 >> 8),
                        static_cast<uint8_t>(version),
                        static_cast<uint8_t>(version >> 8),
                        0xAA,
                        0x55};
  std::copy(trailer, trailer + 8, amss.end() - 8);
  std::vector<uint8_t> apps = Pattern(payload / 2 + 13, 12), nvpk = Pattern(payload / 3 + 7, 13);
  Write(f.amss, amss);
  Write(f.apps, apps);
  Write(f.nvpk, nvpk);
  f.amssSent = payload;
  f.appsSize = static_cast<uint32_t>(apps.size());
  f.nvpkSize = static_cast<uint32_t>(nvpk.size());
  f.amssDigest = tarnsim::Fnv1a64(amss.data(), payload);
  f.appsDigest = tarnsim::Fnv1a64(apps.data(), apps.size());
  f.nvpkDigest = tarnsim::Fnv1a64(nvpk.data(), nvpk.size());
  return f;
}

void DownloadTest::WriteOptions(const std::wstring& amss, const std::wstring& apps,
                                const std::wstring& nvpk) {
  std::wstring text = amss + L"\r\n" + apps + L"\r\n" + nvpk + L"\r\n";
  std::vector<uint8_t> bytes = {0xFF, 0xFE};
  for (wchar_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  Write(OptionsFilePath(), bytes);
}

std::shared_ptr<worldsim::cInProcessModule> DownloadTest::AddModule(tarnsim::sModuleConfig config,
                                                                    int number,
                                                                    const std::wstring& deviceId) {
  worldsim::sModuleIdentity id;
  id.deviceId = deviceId;
  id.instance = L"5&1a2b3c4d&0&" + std::to_wstring(number);
  id.portName = L"COM" + std::to_wstring(6 + number);
  auto module = std::make_shared<worldsim::cInProcessModule>(id, config);
  module->Arrive();
  modules_.push_back(module);
  return module;
}

DWORD DownloadTest::RunOneDownload() {
  service_->PDC();
  if (!service_->WaitDownload(0, 60000)) return 0xFFFFFFFF;
  DWORD code = 0xFFFFFFFF;
  EnterCriticalSection(&service_->downloadsLock);
  GetExitCodeThread(service_->downloads[0].thread, &code);
  LeaveCriticalSection(&service_->downloadsLock);
  return code;
}

std::vector<std::wstring> DownloadTest::Log(bool withDumps) {
  std::vector<std::wstring> texts;
  for (auto& line : LogLines(ReadWorldFile(logPath_))) {
    std::wstring text = LineText(line);
    if (withDumps || text.rfind(L"  ", 0) != 0) texts.push_back(text);
  }
  return texts;
}

std::vector<std::wstring> DownloadTest::ThreadLog(const std::wstring& marker) {
  std::wstring thread;
  std::vector<std::wstring> texts;
  for (auto& line : LogLines(ReadWorldFile(logPath_))) {
    std::wstring text = LineText(line);
    std::wstring prefix = line.substr(0, line.size() - text.size());
    std::wstring id = prefix.substr(prefix.find(L'['));  // "[ttttt] "
    if (thread.empty() && text.rfind(marker, 0) == 0) thread = id;
    if (!thread.empty() && id == thread && text.rfind(L"  ", 0) != 0) texts.push_back(text);
  }
  return texts;
}

std::vector<std::wstring> DownloadTest::LogFrom(const std::wstring& from) {
  auto all = Log();
  auto it = std::find_if(all.begin(), all.end(),
                         [&](const std::wstring& t) { return t.rfind(from, 0) == 0; });
  return std::vector<std::wstring>(it, all.end());
}

}  // namespace brisa::testing
