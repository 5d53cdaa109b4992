#include "service/win_service.h"

#include <dbt.h>
#include <shlobj.h>

#include <cwctype>

namespace brisa {

namespace {

constexpr DWORD kWaitHint = 3000;
constexpr int kPollLimit = 10;
constexpr DWORD kPollInterval = 1000;

void WINAPI ServiceMainEntry(DWORD argc, LPWSTR* argv) {
  if (cWinService* service = cWinService::Instance()) service->Main(argc, argv);
}

DWORD WINAPI ControlHandlerEntry(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context) {
  auto* service = static_cast<cWinService*>(context);
  return service ? service->Control(eventData, eventType, control) : ERROR_CALL_NOT_IMPLEMENTED;
}

// Polls the service while it stays in `pendingState`: up to ten sleeps of a second each.
// Returns the last state known (0 when the first query fails).
DWORD PollWhile(SC_HANDLE service, DWORD pendingState, DWORD lastState) {
  SERVICE_STATUS s{};
  DWORD state = lastState;
  for (int sleeps = 0; state == pendingState && sleeps < kPollLimit; ++sleeps) {
    Sleep(kPollInterval);
    if (!QueryServiceStatus(service, &s)) break;
    state = s.dwCurrentState;
  }
  return state;
}

}  // namespace

cWinService* cWinService::instance = nullptr;

std::wstring NortaneFolder(int csidl) {
  wchar_t path[MAX_PATH + 1] = {};
  if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path))) return L".\\";
  std::wstring folder(path);
  size_t first = 0;
  while (first < folder.size() && iswspace(folder[first])) ++first;
  size_t last = folder.size();
  while (last > first && iswspace(folder[last - 1])) --last;
  folder = folder.substr(first, last - first);
  if (folder.empty()) return L".\\";
  if (folder.back() != L'\\') folder += L'\\';
  return folder + L"Nortane\\";
}

std::wstring DataFolder() { return NortaneFolder(CSIDL_COMMON_APPDATA); }
std::wstring ProgramFolder() { return NortaneFolder(CSIDL_PROGRAM_FILES); }

cWinService::cWinService()
    : serviceName(L"BrisaOristo"),
      displayName(L"Nortane Parrin 2000 Download Service (Oristo)"),
      logFolder(L"Brisa\\"),
      serviceMain(ServiceMainEntry),
      controlHandler(ControlHandlerEntry),
      checkPoint(0),
      status{},
      statusHandle(nullptr),
      acceptedControls(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_POWEREVENT),
      desiredAccess(SERVICE_ALL_ACCESS),
      serviceType(SERVICE_WIN32_OWN_PROCESS),
      startType(SERVICE_AUTO_START),
      errorControl(SERVICE_ERROR_NORMAL) {
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwServiceSpecificExitCode = 0;
  InitializeCriticalSectionAndSpinCount(&statusLock, 5000);
  instance = this;
}

cWinService::~cWinService() {
  if (instance == this) instance = nullptr;
  log.CloseLog();
  notifyClasses.clear();
  notifyHandles.clear();
  DeleteCriticalSection(&statusLock);
}

bool cWinService::IsValid() {
  return serviceName && *serviceName && displayName && *displayName && serviceMain &&
         controlHandler;
}

bool cWinService::InstallService() {
  if (!IsValid()) return false;
  wchar_t path[2600];
  DWORD length = GetModuleFileNameW(nullptr, path, 2600);
  if (length == 0 || length >= 2600) return false;
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!scm) return false;
  // A path with blanks is quoted: unquoted, the manager would try "C:\Program.exe" and the
  // like first, and whoever can write there would run as LocalSystem.
  std::wstring binaryPath(path, length);
  if (binaryPath.find(L' ') != std::wstring::npos) binaryPath = L"\"" + binaryPath + L"\"";
  SC_HANDLE service =
      CreateServiceW(scm, serviceName, displayName, desiredAccess, serviceType, startType,
                     errorControl, binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  bool created = service != nullptr;
  if (service) CloseServiceHandle(service);
  CloseServiceHandle(scm);
  return created;
}

namespace {
// The manager and one service opened together, both closed at the end of the scope.
struct sServiceHandles {
  SC_HANDLE scm;
  SC_HANDLE service = nullptr;
  sServiceHandles(const wchar_t* name, DWORD scmAccess, DWORD serviceAccess)
      : scm(OpenSCManagerW(nullptr, nullptr, scmAccess)) {
    if (scm) service = OpenServiceW(scm, name, serviceAccess);
  }
  ~sServiceHandles() {
    if (service) CloseServiceHandle(service);
    if (scm) CloseServiceHandle(scm);
  }
  sServiceHandles(const sServiceHandles&) = delete;
  sServiceHandles& operator=(const sServiceHandles&) = delete;
};
}  // namespace

bool cWinService::UninstallService() {
  if (!IsValid()) return false;
  sServiceHandles h(serviceName, SC_MANAGER_ALL_ACCESS, SERVICE_ALL_ACCESS);
  if (!h.service) return false;
  SERVICE_STATUS s{};
  if (ControlService(h.service, SERVICE_CONTROL_STOP, &s))
    PollWhile(h.service, SERVICE_STOP_PENDING, SERVICE_STOP_PENDING);
  return DeleteService(h.service) != FALSE;
}

bool cWinService::StartInstalledService() {
  if (!IsValid()) return false;
  sServiceHandles h(serviceName, SC_MANAGER_ALL_ACCESS, SERVICE_ALL_ACCESS);
  if (!h.service || !StartServiceW(h.service, 0, nullptr)) return false;
  return PollWhile(h.service, SERVICE_START_PENDING, SERVICE_START_PENDING) == SERVICE_RUNNING;
}

bool cWinService::StopInstalledService() {
  if (!IsValid()) return false;
  sServiceHandles h(serviceName, SC_MANAGER_ALL_ACCESS, SERVICE_ALL_ACCESS);
  SERVICE_STATUS s{};
  if (!h.service || !ControlService(h.service, SERVICE_CONTROL_STOP, &s)) return false;
  return PollWhile(h.service, SERVICE_STOP_PENDING, SERVICE_STOP_PENDING) == SERVICE_STOPPED;
}

bool cWinService::SendUserControl(DWORD code) {
  if (!IsValid()) return false;
  sServiceHandles h(serviceName, SC_MANAGER_CONNECT, SERVICE_USER_DEFINED_CONTROL);
  SERVICE_STATUS s{};
  return h.service && ControlService(h.service, code, &s) != FALSE;
}

bool cWinService::Connect() {
  if (!IsValid()) return false;
  std::wstring folder = DataFolder() + logFolder;
  if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES)
    CreateDirectoryW(folder.c_str(), nullptr);
  std::wstring path = folder + serviceName + L".txt";
  log.OpenLog(path.c_str());
  log.WriteLine(L"Connect()");
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(serviceName), serviceMain},
                                  {nullptr, nullptr}};
  bool dispatched = StartServiceCtrlDispatcherW(table) != FALSE;
  log.CloseLog();
  return dispatched;
}

bool cWinService::Pause() { return true; }
bool cWinService::Continue() { return true; }
bool cWinService::Shutdown() { return true; }
DWORD cWinService::DeviceChange(DWORD, LPVOID) { return 0; }
DWORD cWinService::HardwareProfileChange(DWORD, LPVOID) { return 0; }
DWORD cWinService::PowerStateChange(DWORD, LPVOID) { return 0; }
DWORD cWinService::SessionChange(DWORD, LPVOID) { return 0; }
DWORD cWinService::UserControl(DWORD) { return ERROR_CALL_NOT_IMPLEMENTED; }

void cWinService::Main(DWORD argc, LPWSTR* argv) {
  log.WriteLine(L"Main()");
  if (!IsValid()) return;
  statusHandle = RegisterServiceCtrlHandlerExW(serviceName, controlHandler, this);
  if (!statusHandle) return;
  if (ReportStatus(SERVICE_START_PENDING)) {
    for (const GUID& cls : notifyClasses) {
      DEV_BROADCAST_DEVICEINTERFACE_W filter{};
      filter.dbcc_size = 32;
      filter.dbcc_devicetype = 5;  // DBT_DEVTYP_DEVICEINTERFACE
      filter.dbcc_classguid = cls;
      if (HDEVNOTIFY h =
              RegisterDeviceNotificationW(statusHandle, &filter, DEVICE_NOTIFY_SERVICE_HANDLE))
        notifyHandles.push_back(h);
    }
    Run(argc, argv);
    for (HDEVNOTIFY h : notifyHandles) UnregisterDeviceNotification(h);
    notifyHandles.clear();
  }
  ReportStatus(SERVICE_STOPPED);
}

DWORD cWinService::Control(LPVOID eventData, DWORD eventType, DWORD control) {
  log.WriteLine(L"Control()");
  if (!IsValid()) return 0;
  switch (control) {
    case SERVICE_CONTROL_STOP:
      SetCurrentState(SERVICE_STOP_PENDING);
      Stop();
      return 0;
    case SERVICE_CONTROL_PAUSE:
      SetCurrentState(SERVICE_PAUSE_PENDING);
      Pause();
      return 0;
    case SERVICE_CONTROL_CONTINUE:
      SetCurrentState(SERVICE_CONTINUE_PENDING);
      Continue();
      return 0;
    case SERVICE_CONTROL_INTERROGATE: {
      EnterCriticalSection(&statusLock);
      DWORD state = status.dwCurrentState;
      LeaveCriticalSection(&statusLock);
      ReportStatus(state);
      return 0;
    }
    case SERVICE_CONTROL_SHUTDOWN:
      Shutdown();
      return 0;
    case SERVICE_CONTROL_DEVICEEVENT:
      return DeviceChange(eventType, eventData);
    case SERVICE_CONTROL_HARDWAREPROFILECHANGE:
      return HardwareProfileChange(eventType, eventData);
    case SERVICE_CONTROL_POWEREVENT:
      return PowerStateChange(eventType, eventData);
    case SERVICE_CONTROL_SESSIONCHANGE:
      return SessionChange(eventType, eventData);
    default:
      if (control >= SERVICE_CONTROL_PARAMCHANGE && control <= SERVICE_CONTROL_NETBINDDISABLE)
        return ERROR_CALL_NOT_IMPLEMENTED;
      if (control >= 128) return UserControl(control);
      return 0;
  }
}

bool cWinService::ReportStatus(DWORD state) {
  log.WriteLine(L"ReportStatus()");
  if (!IsValid()) return false;
  bool pending = state != SERVICE_RUNNING && state != SERVICE_STOPPED;
  return Report(state, state == SERVICE_START_PENDING ? 0 : acceptedControls, pending);
}

void cWinService::SetCurrentState(DWORD state) {
  EnterCriticalSection(&statusLock);
  status.dwCurrentState = state;
  LeaveCriticalSection(&statusLock);
}

bool cWinService::Report(DWORD state, DWORD controls, bool checkPointNext) {
  EnterCriticalSection(&statusLock);
  status.dwCurrentState = state;
  status.dwControlsAccepted = controls;
  status.dwWin32ExitCode = 0;
  status.dwServiceSpecificExitCode = 0;
  status.dwWaitHint = kWaitHint;
  status.dwCheckPoint = checkPointNext ? ++checkPoint : 0;
  SERVICE_STATUS copy = status;
  // The report goes out under the lock so that two threads' reports reach the manager in the
  // order their check points were taken.
  bool reported = SetServiceStatus(statusHandle, &copy) != FALSE;
  LeaveCriticalSection(&statusLock);
  return reported;
}

int RunProgram(cWinService& service, int argc, wchar_t** argv) {
  bool install = false, uninstall = false, start = false, stop = false;
  int recognised = 0;
  for (int i = 1; i < argc; ++i) {
    const wchar_t* arg = argv[i];
    if (!arg || !*arg) return -2;
    if (wcslen(arg) != 2) break;
    if (arg[0] != L'-' && arg[0] != L'/') return -2;
    switch (arg[1]) {
      case L'i':
        install = true;
        break;
      case L'u':
        uninstall = true;
        break;
      case L's':
        start = true;
        break;
      case L'e':
        stop = true;
        break;
      default:
        return -2;
    }
    ++recognised;
  }
  if (recognised > 1) return -2;
  if (install)
    service.InstallService();
  else if (uninstall)
    service.UninstallService();
  else if (start)
    service.StartInstalledService();
  else if (stop)
    service.StopInstalledService();
  else
    service.Connect();
  return 0;
}

namespace {
void InvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, uintptr_t) {
  RaiseException(0x80004005, 0, 0, nullptr);
}
}  // namespace

int ProgramEntry(cWinService& service, int argc, wchar_t** argv) {
  _set_invalid_parameter_handler(InvalidParameter);
  if (!GetModuleHandleW(nullptr) || !GetCommandLineW()) return -1;
  return RunProgram(service, argc, argv);
}

}  // namespace brisa
