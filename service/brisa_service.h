// The download service: finds modules in download mode on serial ports and serves each one.
#pragma once

#include <windows.h>

#include <atomic>
#include <set>
#include <string>
#include <vector>

#include "service/download_job.h"
#include "service/win_service.h"

namespace brisa {

// The serial-port device-interface class {86E0D1E0-8089-11D0-9CE4-08003E301F73}.
extern const GUID kComPortInterfaceClass;

// Where an installation may list other serviced IDs (REG_MULTI_SZ of vid_xxxx&pid_yyyy),
// replacing the built-in pair.
constexpr const wchar_t* kDeviceIdsKey =
    L"SYSTEM\\CurrentControlSet\\Services\\BrisaOristo\\Parameters";
constexpr const wchar_t* kDeviceIdsValue = L"DeviceIds";

class cBrisa : public cWinService {
 public:
  using sDeviceInfo = brisa::sDeviceInfo;
  static constexpr DWORD kRemovalWaits = 30;

  cBrisa();
  ~cBrisa() override;

  bool Run(DWORD argc, LPWSTR* argv) override;
  bool Stop() override;
  DWORD DeviceChange(DWORD eventType, LPVOID eventData) override;
  DWORD PowerStateChange(DWORD eventType, LPVOID eventData) override;
  DWORD UserControl(DWORD code) override;
  bool IsValid() override;

  // One enumeration pass over the present serial-port interfaces.
  void PDC();
  // Serves one present interface; true when a download was started.
  bool PDA(const std::wstring& path);
  // Sweeps the download table (index -1: every entry).
  void CT(bool terminate, int index);
  bool DeviceRemoved(const std::wstring& path);
  void ReadOptions();

  const std::set<std::wstring>& DeviceIds() const { return deviceIds; }
  size_t DownloadCount();

 protected:
  // Splits a lower-cased device path into bus, device ID and instance; false for fewer tokens.
  static bool SplitPath(const std::wstring& path, sDeviceInfo& info);
  // Applies the registry's list of serviced IDs, if it holds a valid one.
  void LoadDeviceIds();
  void CloseEntry(size_t position, DWORD exitCode);

  HANDLE stopEvent;
  std::set<std::wstring> deviceIds;
  std::vector<sDeviceInfo> downloads;
  std::wstring amssPath, appsPath, nvpkPath;
  std::atomic<BYTE> suspended;  // written by the dispatcher thread, read by the service thread
  CRITICAL_SECTION downloadsLock;
};

}  // namespace brisa
