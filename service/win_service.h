// A reusable host for one Windows service: its identity and install settings, the status it
// reports to the service control manager, the service log, the device-interface classes it
// wants events for, and the virtual operations through which the manager's requests reach the
// concrete service.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "protocol/service_log.h"

namespace brisa {

// Appends "Nortane\" to a known folder (CSIDL); ".\" when the folder cannot be had.
std::wstring NortaneFolder(int csidl);
std::wstring DataFolder();     // common application data + "Nortane\"
std::wstring ProgramFolder();  // program files + "Nortane\"

class cWinService {
 public:
  cWinService();
  virtual ~cWinService();
  cWinService(const cWinService&) = delete;
  cWinService& operator=(const cWinService&) = delete;

  virtual bool InstallService();
  virtual bool UninstallService();
  virtual bool StartInstalledService();
  virtual bool StopInstalledService();
  virtual bool SendUserControl(DWORD code);
  // Opens the log and hands the process to the service dispatcher until the service stops.
  virtual bool Connect();
  virtual bool Run(DWORD argc, LPWSTR* argv) = 0;
  virtual bool Stop() = 0;
  virtual bool Pause();
  virtual bool Continue();
  virtual bool Shutdown();
  virtual DWORD DeviceChange(DWORD eventType, LPVOID eventData);
  virtual DWORD HardwareProfileChange(DWORD eventType, LPVOID eventData);
  virtual DWORD PowerStateChange(DWORD eventType, LPVOID eventData);
  virtual DWORD SessionChange(DWORD eventType, LPVOID eventData);
  virtual DWORD UserControl(DWORD code);
  virtual bool IsValid();

  // The service thread's body (reached from the dispatcher through serviceMain).
  void Main(DWORD argc, LPWSTR* argv);
  // The control handler's body (on the dispatcher thread).
  DWORD Control(LPVOID eventData, DWORD eventType, DWORD control);
  // Reports `state` to the manager with the fields the state calls for.
  bool ReportStatus(DWORD state);

  cServiceLog& Log() { return log; }
  // The one service object of the process, which the manager's callbacks reach.
  static cWinService* Instance() { return instance; }

 protected:
  // Sets one field of `status` under the status lock.
  void SetCurrentState(DWORD state);
  // Reports a full record; `checkPointNext` takes ++checkPoint under the status lock.
  bool Report(DWORD state, DWORD controls, bool checkPointNext);

  const wchar_t* serviceName;
  const wchar_t* displayName;
  const wchar_t* logFolder;
  LPSERVICE_MAIN_FUNCTIONW serviceMain;
  LPHANDLER_FUNCTION_EX controlHandler;
  std::vector<GUID> notifyClasses;
  std::vector<HDEVNOTIFY> notifyHandles;
  DWORD checkPoint;
  SERVICE_STATUS status;
  SERVICE_STATUS_HANDLE statusHandle;
  DWORD acceptedControls;
  DWORD desiredAccess;
  DWORD serviceType;
  DWORD startType;
  DWORD errorControl;
  cServiceLog log;

 private:
  // Guards `status` and `checkPoint`: the dispatcher thread and the service thread both write
  // them, and each report must go out as one consistent record.
  CRITICAL_SECTION statusLock;
  static cWinService* instance;
};

// Runs the program: scans the command line and performs the one action it names, or runs as
// the service. Returns the process exit code (0; -2 for a bad command line).
int RunProgram(cWinService& service, int argc, wchar_t** argv);

// The whole entry point: the run-time library's invalid-parameter handler, the process
// start-up checks (-1 when they fail), then RunProgram.
int ProgramEntry(cWinService& service, int argc, wchar_t** argv);

}  // namespace brisa
