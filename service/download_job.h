// What the device watch knows of one served port, and what it hands a download thread.
#pragma once

#include <windows.h>

#include <string>

namespace brisa {

class cServiceLog;
class cTarnProtocolServer;

struct sDeviceInfo {
  std::wstring busName;     // "usb"
  std::wstring deviceId;    // vid_xxxx&pid_yyyy
  std::wstring instanceId;  // the device instance
  std::wstring connectKey;  // port name + "\TarnService"
  HANDLE thread = nullptr;
  cTarnProtocolServer* server = nullptr;  // owned by the table entry
  DWORD removalWaits = 0;
  // The module's removal was seen while the thread still ran: nothing is left to wait for.
  bool removed = false;

  virtual ~sDeviceInfo() = default;
  // The same port of the same device: the four strings, case-sensitively.
  virtual bool Equals(const sDeviceInfo& other) const {
    return busName == other.busName && deviceId == other.deviceId &&
           instanceId == other.instanceId && connectKey == other.connectKey;
  }
};

struct sDownloadJob {
  sDeviceInfo device;
  std::wstring amssPath, appsPath, nvpkPath;
  cServiceLog* log = nullptr;
};

}  // namespace brisa
