#include "service/brisa_service.h"

#include <dbt.h>
#include <setupapi.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <new>

#include "service/options.h"
#include "tarn/download_sequence.h"
#include "tarn/tarn_protocol_server.h"

namespace brisa {

const GUID kComPortInterfaceClass = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

namespace {

// The modules' download-mode IDs: test IDs of the USB test range, not a product's.
const wchar_t* const kBuiltInDeviceIds[] = {L"vid_1209&pid_0001", L"vid_1209&pid_0002"};

bool IsDeviceId(const std::wstring& id) {
  if (id.size() != 17 || id.compare(0, 4, L"vid_") != 0 || id.compare(8, 5, L"&pid_") != 0)
    return false;
  for (size_t i : {4, 5, 6, 7, 13, 14, 15, 16})
    if (!iswxdigit(id[i]) || iswupper(id[i])) return false;
  return true;
}

std::wstring Lower(std::wstring text) {
  std::transform(text.begin(), text.end(), text.begin(), towlower);
  return text;
}

// The host's maker, as the firmware reports it to the system; empty when unknown.
std::wstring Manufacturer() {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DESCRIPTION\\System\\BIOS", 0, KEY_READ,
                    &key) != ERROR_SUCCESS)
    return {};
  wchar_t name[256] = {};
  DWORD bytes = sizeof name - sizeof(wchar_t);
  DWORD type = 0;
  std::wstring result;
  if (RegQueryValueExW(key, L"SystemManufacturer", nullptr, &type, reinterpret_cast<BYTE*>(name),
                       &bytes) == ERROR_SUCCESS &&
      type == REG_SZ)
    result.assign(name, wcsnlen(name, bytes / sizeof(wchar_t)));
  RegCloseKey(key);
  return result;
}

constexpr DWORD kTerminateWait = 5000;

unsigned HandleValue(HANDLE h) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(h)); }

void DeleteServer(cTarnProtocolServer*& server) {
  if (!server) return;
  server->StopWorker();
  delete server;
  server = nullptr;
}

}  // namespace

cBrisa::cBrisa() : stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)), suspended(0) {
  InitializeCriticalSectionAndSpinCount(&downloadsLock, 5000);
  notifyClasses.push_back(kComPortInterfaceClass);
  for (const wchar_t* id : kBuiltInDeviceIds) deviceIds.insert(id);
}

cBrisa::~cBrisa() {
  CT(true, -1);
  if (stopEvent) CloseHandle(stopEvent);
  DeleteCriticalSection(&downloadsLock);
}

bool cBrisa::IsValid() { return cWinService::IsValid() && stopEvent != nullptr; }

void cBrisa::LoadDeviceIds() {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDeviceIdsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  std::vector<wchar_t> buffer(4096);
  DWORD bytes = static_cast<DWORD>((buffer.size() - 2) * sizeof(wchar_t));
  DWORD type = 0;
  std::set<std::wstring> ids;
  if (RegQueryValueExW(key, kDeviceIdsValue, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                       &bytes) == ERROR_SUCCESS &&
      (type == REG_MULTI_SZ || type == REG_SZ)) {
    // The value may lack its terminating NULs: the buffer has two spare ones.
    const wchar_t* p = buffer.data();
    const wchar_t* end = p + bytes / sizeof(wchar_t);
    while (p < end && *p) {
      std::wstring id = Lower(std::wstring(p, wcsnlen(p, end - p)));
      if (IsDeviceId(id)) ids.insert(id);
      p += id.size() + 1;
    }
  }
  RegCloseKey(key);
  if (!ids.empty()) deviceIds = ids;
}

bool cBrisa::Run(DWORD, LPWSTR*) {
  LoadDeviceIds();
  log.WriteFormat(L"Run( \"%ls\", %u ) ", Manufacturer().c_str(),
                  static_cast<unsigned>(deviceIds.size()));
  if (SetPriorityClass(GetCurrentProcess(), ABOVE_NORMAL_PRIORITY_CLASS)) {
    log.WriteLine(L"SetPriorityClass() = 1");
  } else {
    log.WriteFormat(L"SetPriorityClass( 0x%08X, %u ) = %u", HandleValue(GetCurrentProcess()),
                    static_cast<unsigned>(ABOVE_NORMAL_PRIORITY_CLASS),
                    static_cast<unsigned>(GetLastError()));
  }
  if (!IsValid()) return false;
  ReportStatus(SERVICE_RUNNING);
  for (;;) {
    PDC();
    DWORD wait = WaitForSingleObject(stopEvent, 1000);
    CT(false, -1);
    if (wait == WAIT_OBJECT_0) return true;
    if (wait == WAIT_ABANDONED_0) return false;
  }
}

bool cBrisa::Stop() {
  log.WriteLine(L"Stop() ");
  if (!IsValid()) return false;
  // Reported before the loop is released, so that Main's SERVICE_STOPPED always comes after.
  ReportStatus(SERVICE_STOP_PENDING);
  SetEvent(stopEvent);
  return true;
}

void cBrisa::PDC() {
  if (suspended) return;
  HDEVINFO set = SetupDiGetClassDevsW(&kComPortInterfaceClass, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) {
    log.WriteLine(L"PDC() - Unable to enumerate device class");
    return;
  }
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  // 4102 bytes, as large as a device path can be.
  alignas(8) BYTE buffer[4102];
  for (DWORD index = 0;
       SetupDiEnumDeviceInterfaces(set, nullptr, &kComPortInterfaceClass, index, &data); ++index) {
    memset(buffer, 0, sizeof buffer);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, sizeof buffer, nullptr, nullptr)) {
      log.WriteLine(L"PDC() - Unable to obtain device details");
      break;
    }
    size_t room =
        (sizeof buffer - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(WCHAR);
    PDA(std::wstring(detail->DevicePath, wcsnlen(detail->DevicePath, room)));
  }
  SetupDiDestroyDeviceInfoList(set);
}

bool cBrisa::SplitPath(const std::wstring& path, sDeviceInfo& info) {
  std::wstring lower = Lower(path);
  std::vector<std::wstring> tokens;
  size_t start = 0;
  while (start <= lower.size() && tokens.size() < 3) {
    size_t end = lower.find(L'#', start);
    if (end == std::wstring::npos) end = lower.size();
    if (end > start) tokens.push_back(lower.substr(start, end - start));
    start = end + 1;
  }
  if (tokens.size() < 3) return false;
  for (size_t at; (at = tokens[0].find(L"\\\\?\\")) != std::wstring::npos;) tokens[0].erase(at, 4);
  info.busName = tokens[0];
  info.deviceId = tokens[1];
  info.instanceId = tokens[2];
  return true;
}

bool cBrisa::PDA(const std::wstring& path) {
  if (path.empty()) return false;
  sDeviceInfo info;
  if (!SplitPath(path, info) || !deviceIds.count(info.deviceId)) return false;

  std::wstring keyName = L"System\\CurrentControlSet\\Enum\\" + info.busName + L"\\" +
                         info.deviceId + L"\\" + info.instanceId + L"\\Device Parameters";
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    log.WriteLine(L"PDA() - Registry open error");
    return false;
  }
  wchar_t port[2048 / sizeof(wchar_t) + 1] = {};
  DWORD bytes = 2048;
  DWORD type = 0;
  LONG rc =
      RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(port), &bytes);
  RegCloseKey(key);
  // The stored string may lack its NUL: it ends at the size read.
  std::wstring portName =
      rc == ERROR_SUCCESS ? std::wstring(port, wcsnlen(port, bytes / sizeof(wchar_t))) : L"";
  if (portName.empty()) {
    log.WriteLine(L"PDA() - Registry query error");
    return false;
  }
  info.connectKey = portName + L"\\TarnService";

  EnterCriticalSection(&downloadsLock);
  bool known = std::any_of(downloads.begin(), downloads.end(),
                           [&](const sDeviceInfo& d) { return d.Equals(info); });
  LeaveCriticalSection(&downloadsLock);
  if (known) return false;

  log.WriteFormat(L"PDA() - Attempting to start download thread, [%ls, %ls#%ls]",
                  info.connectKey.c_str(), info.deviceId.c_str(), info.instanceId.c_str());
  info.server = new (std::nothrow) cTarnProtocolServer();
  if (!info.server) {
    log.WriteLine(L"PDA() - Tarn protocol server allocation error");
    return false;
  }
  if (!info.server->Initialize()) {
    log.WriteLine(L"PDA() - Tarn protocol server initialization error");
    DeleteServer(info.server);
    return false;
  }
  if (!info.server->ConnectPort(info.connectKey.c_str())) {
    log.WriteLine(L"PDA() - Tarn protocol server failed to connect");
    DeleteServer(info.server);
    return false;
  }
  ReadOptions();
  auto* job = new (std::nothrow) sDownloadJob;
  if (!job) {
    log.WriteLine(L"PDA() - Allocation error");
    DeleteServer(info.server);
    return false;
  }
  job->device = info;
  job->amssPath = amssPath;
  job->appsPath = appsPath;
  job->nvpkPath = nvpkPath;
  job->log = &log;
  DWORD threadId = 0;
  HANDLE thread = CreateThread(nullptr, 0, DownloadThread, job, 0, &threadId);
  if (!thread) {
    log.WriteLine(L"PDA() - Thread creation error");
    delete job;
    DeleteServer(info.server);
    return false;
  }
  info.thread = thread;
  log.WriteFormat(L"PDA() - Started download thread %u (%u), [%ls, %ls#%ls]", HandleValue(thread),
                  static_cast<unsigned>(threadId), info.connectKey.c_str(), info.deviceId.c_str(),
                  info.instanceId.c_str());
  EnterCriticalSection(&downloadsLock);
  downloads.push_back(info);
  LeaveCriticalSection(&downloadsLock);
  return true;
}

void cBrisa::ReadOptions() {
  amssPath.clear();
  appsPath.clear();
  nvpkPath.clear();
  cDB2TextFile options(OptionsFilePath().c_str());
  if (options.IsValid() && options.ReadLine(amssPath) && options.ReadLine(appsPath))
    options.ReadLine(nvpkPath);
  log.WriteLine(L"AMSS Path = " + (amssPath.empty() ? std::wstring(L"???") : amssPath));
  log.WriteLine(L"Apps Path = " + (appsPath.empty() ? std::wstring(L"???") : appsPath));
  log.WriteLine(L"NVPK Path = " + (nvpkPath.empty() ? std::wstring(L"???") : nvpkPath));
}

void cBrisa::CloseEntry(size_t position, DWORD exitCode) {
  sDeviceInfo& d = downloads[position];
  CloseHandle(d.thread);
  log.WriteFormat(L"CT() - Closed download thread %u, [%ls, %ls#%ls, %u]", HandleValue(d.thread),
                  d.connectKey.c_str(), d.deviceId.c_str(), d.instanceId.c_str(),
                  static_cast<unsigned>(exitCode));
  DeleteServer(d.server);
  downloads.erase(downloads.begin() + static_cast<std::ptrdiff_t>(position));
}

void cBrisa::CT(bool terminate, int index) {
  EnterCriticalSection(&downloadsLock);
  for (size_t i = downloads.size(); i-- > 0;) {
    if (index != -1 && static_cast<size_t>(index) != i) continue;
    sDeviceInfo& d = downloads[i];
    DWORD wait = WaitForSingleObject(d.thread, 0);
    if (wait == WAIT_TIMEOUT || wait == WAIT_ABANDONED_0) {
      if (!terminate) continue;
      log.WriteFormat(L"CT() - Attempting to terminated download thread %u, [%ls, %ls#%ls]",
                      HandleValue(d.thread), d.connectKey.c_str(), d.deviceId.c_str(),
                      d.instanceId.c_str());
      if (!TerminateThread(d.thread, 0))
        log.WriteFormat(L"CT() - TerminateThread() = %u", static_cast<unsigned>(GetLastError()));
      log.WriteFormat(L"CT() - Terminated download thread %u, [%ls, %ls#%ls]",
                      HandleValue(d.thread), d.connectKey.c_str(), d.deviceId.c_str(),
                      d.instanceId.c_str());
      // Termination is asynchronous: the thread may still be inside its server. The server
      // goes only once the thread has gone; one that will not go keeps its server.
      bool gone = WaitForSingleObject(d.thread, kTerminateWait) == WAIT_OBJECT_0;
      CloseHandle(d.thread);
      if (gone) DeleteServer(d.server);
      downloads.erase(downloads.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    if (wait != WAIT_OBJECT_0) continue;  // a failed poll
    DWORD exitCode = 0;
    if (!GetExitCodeThread(d.thread, &exitCode)) exitCode = GetLastError();
    if (index == -1 && !terminate && !d.removed) {
      if (d.removalWaits < kRemovalWaits) {
        ++d.removalWaits;
        log.WriteFormat(L"CT() - Waiting for device removal (%u of %u)",
                        static_cast<unsigned>(d.removalWaits),
                        static_cast<unsigned>(kRemovalWaits));
        break;  // entries in front wait for the next sweep
      }
      log.WriteLine(L"CT() - Abandoning wait for device removal");
    }
    CloseEntry(i, exitCode);
  }
  LeaveCriticalSection(&downloadsLock);
}

bool cBrisa::DeviceRemoved(const std::wstring& path) {
  if (path.empty()) return false;
  sDeviceInfo info;
  if (!SplitPath(path, info) || !deviceIds.count(info.deviceId)) return false;
  bool found = false;
  EnterCriticalSection(&downloadsLock);
  for (size_t i = 0; i < downloads.size(); ++i) {
    sDeviceInfo& d = downloads[i];
    if (d.busName == info.busName && d.deviceId == info.deviceId &&
        d.instanceId == info.instanceId) {
      if (d.server) d.server->DisconnectPort();
      d.removed = true;
      CT(false, static_cast<int>(i));
      found = true;
      break;
    }
  }
  LeaveCriticalSection(&downloadsLock);
  return found;
}

size_t cBrisa::DownloadCount() {
  EnterCriticalSection(&downloadsLock);
  size_t n = downloads.size();
  LeaveCriticalSection(&downloadsLock);
  return n;
}

DWORD cBrisa::DeviceChange(DWORD eventType, LPVOID eventData) {
  if (!IsValid() || !eventData) {
    log.WriteLine(L"DeviceChange() - Invalid state/argument");
    return 0;
  }
  auto* header = static_cast<DEV_BROADCAST_HDR*>(eventData);
  std::wstring path;
  bool hasPath = header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE;
  if (hasPath) {
    auto* di = static_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(eventData);
    // The name fills the record up to its stated size; it is not trusted to be terminated.
    size_t offset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    size_t room = di->dbcc_size > offset ? (di->dbcc_size - offset) / sizeof(wchar_t) : 0;
    path.assign(di->dbcc_name, wcsnlen(di->dbcc_name, room));
  }
  switch (eventType) {
    case DBT_DEVICEARRIVAL:
      log.WriteFormat(L"DeviceChange( ARRIVAL ) - %ls", hasPath ? path.c_str() : L"N/A");
      break;
    case DBT_DEVICEREMOVECOMPLETE:
      log.WriteFormat(L"DeviceChange( REMOVE ) - %ls", hasPath ? path.c_str() : L"N/A");
      if (hasPath) DeviceRemoved(path);
      break;
    case DBT_DEVICEQUERYREMOVE:
      log.WriteLine(L"DeviceChange( QUERYREMOVE )");
      break;
    case DBT_DEVICEREMOVEPENDING:
      log.WriteLine(L"DeviceChange( REMOVEPENDING )");
      break;
    default:
      log.WriteLine(L"DeviceChange( N/A )");
      break;
  }
  return 0;
}

DWORD cBrisa::PowerStateChange(DWORD eventType, LPVOID) {
  if (!IsValid()) {
    log.WriteLine(L"PowerStateChange() - Invalid state/argument");
    return 0;
  }
  struct Row {
    DWORD type;
    const wchar_t* text;
    int suspend;  // -1 unchanged
  };
  static const Row rows[] = {
      {PBT_APMQUERYSUSPEND, L"PowerStateChange( PBT_APMQUERYSUSPEND )", -1},
      {PBT_APMQUERYSUSPENDFAILED, L"PowerStateChange( PBT_APMQUERYSUSPENDFAILED )", -1},
      {PBT_APMSUSPEND, L"PowerStateChange( PBT_APMSUSPEND )", 1},
      {PBT_APMRESUMECRITICAL, L"PowerStateChange( PBT_APMRESUMECRITICAL )", 0},
      {PBT_APMRESUMESUSPEND, L"PowerStateChange( PBT_APMRESUMESUSPEND )", 0},
      {PBT_APMBATTERYLOW, L"PowerStateChange( PBT_APMBATTERYLOW )", -1},
      {PBT_APMPOWERSTATUSCHANGE, L"PowerStateChange( PBT_APMPOWERSTATUSCHANGE )", -1},
      {PBT_APMOEMEVENT, L"PowerStateChange( PBT_APMOEMEVENT )", -1},
      {PBT_APMRESUMEAUTOMATIC, L"PowerStateChange( PBT_APMRESUMEAUTOMATIC )", 0},
  };
  for (const Row& r : rows) {
    if (r.type != eventType) continue;
    log.WriteLine(r.text);
    if (r.suspend >= 0) suspended = static_cast<BYTE>(r.suspend);
  }
  return 0;
}

DWORD cBrisa::UserControl(DWORD code) {
  log.WriteFormat(L"UserControl( %u )", static_cast<unsigned>(code));
  return ERROR_CALL_NOT_IMPLEMENTED;
}

}  // namespace brisa
