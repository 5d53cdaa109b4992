// The download service: finds modules in download mode on serial ports and serves each one.
#pragma once

#include <windows.h>

#include <set>
#include <string>

#include "service/win_service.h"

namespace brisa {

// The serial-port device-interface class {86E0D1E0-8089-11D0-9CE4-08003E301F73}.
extern const GUID kComPortInterfaceClass;

class cBrisa : public cWinService {
 public:
  cBrisa();
  ~cBrisa() override;

  bool Run(DWORD argc, LPWSTR* argv) override;
  bool Stop() override;
  DWORD UserControl(DWORD code) override;
  bool IsValid() override;

  const std::set<std::wstring>& DeviceIds() const { return deviceIds; }

 protected:
  HANDLE stopEvent;
  std::set<std::wstring> deviceIds;
};

}  // namespace brisa
