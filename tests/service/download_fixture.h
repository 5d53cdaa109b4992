// A world with the firmware installed, emulated modules on in-process ports, and a cBrisa whose
// log is open: the device watch and the download sequence run for real against the emulator.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "service/brisa_service.h"
#include "service_fixture.h"
#include "sim/world/module_world.h"

namespace brisa::testing {

// The device watch with its table open to tests.
class cTestBrisa : public cBrisa {
 public:
  using cBrisa::downloads;
  using cBrisa::downloadsLock;
  using cBrisa::suspended;
  // Waits for the download thread of entry `index`; false when it did not end in `ms`.
  bool WaitDownload(size_t index, DWORD ms);
};

struct sFirmware {
  std::wstring amss, apps, nvpk;  // Windows paths
  uint64_t amssDigest, appsDigest, nvpkDigest;
  uint32_t amssSent, appsSize, nvpkSize;
};

class DownloadTest : public WorldTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes an AMSS image of `payload` bytes plus its trailer, and Apps and NVPK images.
  sFirmware InstallSet(const std::wstring& folder, uint32_t payload, uint16_t version,
                       uint16_t mark2 = 0xFEDC);
  void WriteOptions(const std::wstring& amss, const std::wstring& apps, const std::wstring& nvpk);
  std::shared_ptr<worldsim::cInProcessModule> AddModule(
      tarnsim::sModuleConfig config, int number = 1,
      const std::wstring& deviceId = L"vid_1209&pid_0001");
  // One pass of the watch, then the download to its end; returns the thread's exit code.
  DWORD RunOneDownload();
  // The service log's texts, without prefixes; `withDumps` keeps the hex dump lines.
  std::vector<std::wstring> Log(bool withDumps = false);
  // The texts one thread wrote: the thread of the first line that starts with `marker`.
  std::vector<std::wstring> ThreadLog(const std::wstring& marker);
  // Log lines from the first one that starts with `from`.
  std::vector<std::wstring> LogFrom(const std::wstring& from);

  std::unique_ptr<cTestBrisa> service_;
  std::vector<std::shared_ptr<worldsim::cInProcessModule>> modules_;
  std::wstring logPath_ = L"C:\\ProgramData\\Nortane\\Brisa\\BrisaOristo.txt";
};

}  // namespace brisa::testing
