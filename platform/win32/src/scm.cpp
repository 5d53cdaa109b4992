// The service control manager.
//
// The service database lives in the world (<root>/scm/services/<name>/), so that install,
// start, stop and uninstall work across separate runs of a program. A started service is a
// separate host process (or, for tests, a thread given by SetInProcessServiceHost) whose
// StartServiceCtrlDispatcherW listens on a local socket; ControlService and the world's device
// and power events reach its control handler through that socket, one at a time, on the
// dispatcher thread, as on Windows. The status a service reports is written to its database
// entry, which is where QueryServiceStatus and ControlService read it.
#include <dbt.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "core.h"

namespace win32emu {
namespace {

namespace fs = std::filesystem;

// ---- the database ----

struct ServiceConfig {
  std::wstring displayName;
  DWORD type = 0, start = 0, errorControl = 0;
  std::wstring imagePath;
};

// What the database records of a service's run-time state.
struct StoredStatus {
  SERVICE_STATUS status{};
  int32_t pid = 0;        // host process of the service, 0 when none
  int32_t connected = 0;  // its dispatcher is listening
};

std::string ServicesDir() { return WorldRoot() + "/scm/services"; }
std::string ServiceDir(const std::wstring& name) {
  // Service names are case-insensitive.
  std::string n = Narrow(name);
  for (char& c : n) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return ServicesDir() + "/" + n;
}

// Serialises changes to the database between processes and threads.
class DbLock {
 public:
  DbLock() {
    std::error_code ec;
    fs::create_directories(ServicesDir(), ec);
    fd_ = open((WorldRoot() + "/scm/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    mutex().lock();
    if (fd_ >= 0) flock(fd_, LOCK_EX);
  }
  ~DbLock() {
    if (fd_ >= 0) {
      flock(fd_, LOCK_UN);
      close(fd_);
    }
    mutex().unlock();
  }

 private:
  static std::recursive_mutex& mutex() {
    static auto* m = new std::recursive_mutex;
    return *m;
  }
  int fd_;
};

bool Exists(const std::wstring& name) { return fs::exists(ServiceDir(name) + "/config"); }
bool MarkedForDelete(const std::wstring& name) { return fs::exists(ServiceDir(name) + "/deleted"); }

void WriteConfig(const std::wstring& name, const ServiceConfig& c) {
  std::string dir = ServiceDir(name);
  fs::create_directories(dir);
  std::ofstream out(dir + "/config", std::ios::trunc);
  out << "Name=" << Narrow(name) << "\nDisplayName=" << Narrow(c.displayName) << "\nType=" << c.type
      << "\nStart=" << c.start << "\nErrorControl=" << c.errorControl
      << "\nImagePath=" << Narrow(c.imagePath) << "\n";
}

bool ReadConfig(const std::wstring& name, ServiceConfig* c) {
  std::ifstream in(ServiceDir(name) + "/config");
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "DisplayName") c->displayName = Widen(value);
    if (key == "Type") c->type = static_cast<DWORD>(std::stoul(value));
    if (key == "Start") c->start = static_cast<DWORD>(std::stoul(value));
    if (key == "ErrorControl") c->errorControl = static_cast<DWORD>(std::stoul(value));
    if (key == "ImagePath") c->imagePath = Widen(value);
  }
  return true;
}

bool ProcessAlive(int pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

void WriteStatus(const std::wstring& name, const StoredStatus& s) {
  std::string dir = ServiceDir(name);
  std::string tmp =
      dir + "/status." + std::to_string(getpid()) + "." + std::to_string(CurrentThreadId());
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(&s), sizeof s);
  }
  rename(tmp.c_str(), (dir + "/status").c_str());
}

StoredStatus ReadStatus(const std::wstring& name) {
  StoredStatus s;
  s.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  s.status.dwCurrentState = SERVICE_STOPPED;
  std::ifstream in(ServiceDir(name) + "/status", std::ios::binary);
  if (in) in.read(reinterpret_cast<char*>(&s), sizeof s);
  // A host process that ended without reporting SERVICE_STOPPED counts as stopped, as the
  // manager notices the process exit.
  if (s.status.dwCurrentState != SERVICE_STOPPED && s.pid != 0 && !ProcessAlive(s.pid)) {
    s.status.dwCurrentState = SERVICE_STOPPED;
    s.status.dwControlsAccepted = 0;
    s.status.dwCheckPoint = 0;
    s.status.dwWaitHint = 0;
    s.status.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
    s.pid = 0;
    s.connected = 0;
  }
  return s;
}

// Removes the entry of a service marked for deletion once it is stopped.
void RemoveIfDeletable(const std::wstring& name) {
  if (!MarkedForDelete(name)) return;
  if (ReadStatus(name).status.dwCurrentState != SERVICE_STOPPED) return;
  std::error_code ec;
  fs::remove_all(ServiceDir(name), ec);
}

std::string SocketName(const std::wstring& service) {
  std::string key = WorldRoot() + "\n" + Narrow(service);
  for (char& c : key) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return "win32emu-scm-" + std::to_string(std::hash<std::string>{}(key));
}

sockaddr_un SocketAddress(const std::wstring& service, socklen_t* length) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string name = SocketName(service);
  // Abstract namespace: nothing to clean up, no path length limit from the world's root.
  memcpy(addr.sun_path + 1, name.data(), name.size());
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return addr;
}

bool ReadAll(int fd, void* p, size_t n) {
  auto* b = static_cast<char*>(p);
  while (n) {
    ssize_t r = read(fd, b, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    b += r, n -= static_cast<size_t>(r);
  }
  return true;
}

bool WriteAll(int fd, const void* p, size_t n) {
  auto* b = static_cast<const char*>(p);
  while (n) {
    ssize_t r = send(fd, b, n, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    b += r, n -= static_cast<size_t>(r);
  }
  return true;
}

struct ControlRequest {
  uint32_t control, eventType, dataSize, fromManager;
};
struct ControlReply {
  uint32_t delivered;  // 0: refused by the dispatcher (result holds why)
  uint32_t result;
  SERVICE_STATUS status;
};

// Sends one control to the service's dispatcher and waits for the handler's answer.
bool SendToDispatcher(const std::wstring& service, const ControlRequest& request, const void* data,
                      ControlReply* reply, DWORD* error) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return false;
  }
  socklen_t length;
  sockaddr_un addr = SocketAddress(service, &length);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), length) != 0) {
    close(fd);
    *error = ERROR_SERVICE_NOT_ACTIVE;
    return false;
  }
  bool ok = WriteAll(fd, &request, sizeof request) && WriteAll(fd, data, request.dataSize);
  if (ok) {
    // The handler must answer within 30 s.
    pollfd p{fd, POLLIN, 0};
    int waited = poll(&p, 1, static_cast<int>(ScaledMs(30000)));
    if (waited <= 0) {
      close(fd);
      *error = ERROR_SERVICE_REQUEST_TIMEOUT;
      return false;
    }
    ok = ReadAll(fd, reply, sizeof *reply);
  }
  close(fd);
  if (!ok) *error = ERROR_SERVICE_NOT_ACTIVE;
  return ok;
}

// ---- handles ----

class ManagerHandle : public KernelObject {
 public:
  const char* TypeName() const override { return "SCManager"; }
  DWORD access = 0;
};

class ServiceHandle : public KernelObject {
 public:
  const char* TypeName() const override { return "Service"; }
  std::wstring name;
  DWORD access = 0;
};

// ---- the dispatcher of this process ----

struct Registration {
  GUID classGuid;
  bool allClasses;
};

struct PendingControl {
  ControlRequest request;
  std::vector<char> data;
  ControlReply reply{};
  bool done = false;
};

struct Dispatcher {
  std::mutex lock;
  std::condition_variable changed;
  std::wstring startedAs;  // SetStartedAsService
  bool running = false;
  std::wstring serviceName;
  LPHANDLER_FUNCTION_EX handler = nullptr;
  LPVOID context = nullptr;
  bool stopped = false;
  SERVICE_STATUS last{};
  std::deque<std::shared_ptr<PendingControl>> queue;
  std::map<uintptr_t, Registration> registrations;
  uintptr_t nextRegistration = 0x1000;
  std::vector<StatusReport> reports;
  std::function<void(const std::wstring&)> inProcessHost;
};
Dispatcher& D() {
  static auto* d = new Dispatcher;
  return *d;
}

const SERVICE_STATUS_HANDLE kStatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5C5C);

std::wstring StartedAs() {
  {
    std::lock_guard<std::mutex> g(D().lock);
    if (!D().startedAs.empty()) return D().startedAs;
  }
  const char* env = getenv("WIN32EMU_SERVICE");
  return env ? Widen(env) : std::wstring();
}

// Whether a control code may go to the service given what it accepts.
bool Accepts(DWORD accepted, DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      return accepted & SERVICE_ACCEPT_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      return accepted & SERVICE_ACCEPT_PAUSE_CONTINUE;
    case SERVICE_CONTROL_SHUTDOWN:
      return accepted & SERVICE_ACCEPT_SHUTDOWN;
    case SERVICE_CONTROL_PARAMCHANGE:
      return accepted & SERVICE_ACCEPT_PARAMCHANGE;
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE:
      return accepted & SERVICE_ACCEPT_NETBINDCHANGE;
    case SERVICE_CONTROL_HARDWAREPROFILECHANGE:
      return accepted & SERVICE_ACCEPT_HARDWAREPROFILECHANGE;
    case SERVICE_CONTROL_POWEREVENT:
      return accepted & SERVICE_ACCEPT_POWEREVENT;
    case SERVICE_CONTROL_SESSIONCHANGE:
      return accepted & SERVICE_ACCEPT_SESSIONCHANGE;
    case SERVICE_CONTROL_PRESHUTDOWN:
      return accepted & SERVICE_ACCEPT_PRESHUTDOWN;
    case SERVICE_CONTROL_TIMECHANGE:
      return accepted & SERVICE_ACCEPT_TIMECHANGE;
    default:
      return true;  // interrogate, device events (filtered by registration), user codes
  }
}

// Runs one control on the dispatcher thread.
void RunControl(PendingControl& pc) {
  Dispatcher& d = D();
  LPHANDLER_FUNCTION_EX handler;
  LPVOID context;
  {
    std::lock_guard<std::mutex> g(d.lock);
    handler = d.handler;
    context = d.context;
    pc.reply.status = d.last;
  }
  const ControlRequest& r = pc.request;
  if (!handler) {
    pc.reply.delivered = 0;
    pc.reply.result = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    return;
  }
  if (r.control == SERVICE_CONTROL_DEVICEEVENT) {
    // Device events reach a service only for the classes it registered for.
    bool wanted = false;
    if (pc.data.size() >= sizeof(DEV_BROADCAST_HDR)) {
      auto* hdr = reinterpret_cast<const DEV_BROADCAST_HDR*>(pc.data.data());
      std::lock_guard<std::mutex> g(d.lock);
      for (auto& [h, reg] : d.registrations) {
        if (hdr->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE &&
            pc.data.size() >= offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name)) {
          auto* di = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(pc.data.data());
          if (reg.allClasses || reg.classGuid == di->dbcc_classguid) wanted = true;
        }
      }
    }
    if (!wanted) {
      pc.reply.delivered = 0;
      pc.reply.result = ERROR_NOT_FOUND;
      return;
    }
  } else if (r.fromManager && !Accepts(pc.reply.status.dwControlsAccepted, r.control)) {
    pc.reply.delivered = 0;
    pc.reply.result = ERROR_INVALID_SERVICE_CONTROL;
    return;
  }
  LPVOID data = pc.data.empty() ? nullptr : pc.data.data();
  pc.reply.result = handler(r.control, r.eventType, data, context);
  pc.reply.delivered = 1;
  std::lock_guard<std::mutex> g(d.lock);
  pc.reply.status = d.last;
}

DWORD SubmitControl(const std::wstring& service, DWORD control, DWORD eventType, const void* data,
                    size_t size, bool fromManager, SERVICE_STATUS* status) {
  ControlRequest request{control, eventType, static_cast<uint32_t>(size), fromManager ? 1u : 0u};
  ControlReply reply{};
  DWORD error = 0;
  if (!SendToDispatcher(service, request, data, &reply, &error)) return error;
  if (status) *status = reply.status;
  if (!reply.delivered) return reply.result;
  return reply.result;
}

}  // namespace

void SetInProcessServiceHost(std::function<void(const std::wstring&)> host) {
  std::lock_guard<std::mutex> g(D().lock);
  D().inProcessHost = std::move(host);
}

std::vector<StatusReport> StatusReports() {
  std::lock_guard<std::mutex> g(D().lock);
  return D().reports;
}

void ClearStatusReports() {
  std::lock_guard<std::mutex> g(D().lock);
  D().reports.clear();
}

void SetStartedAsService(const std::wstring& serviceName) {
  std::lock_guard<std::mutex> g(D().lock);
  D().startedAs = serviceName;
}

DWORD DeliverControl(const std::wstring& serviceName, DWORD control, DWORD eventType,
                     const void* eventData, size_t eventDataSize) {
  StoredStatus s = ReadStatus(serviceName);
  if (s.status.dwCurrentState == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
  return SubmitControl(serviceName, control, eventType, eventData, eventDataSize, true, nullptr);
}

}  // namespace win32emu

using namespace win32emu;

extern "C" {

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access) {
  W32EMU_FAULT_POINT("OpenSCManagerW", nullptr);
  if (machine && *machine) {
    SetLastError(ERROR_ACCESS_DENIED);  // no remote machines in the world
    return nullptr;
  }
  if (database && *database && std::wstring(database) != L"ServicesActive") {
    SetLastError(ERROR_DATABASE_DOES_NOT_EXIST);
    return nullptr;
  }
  auto h = std::make_shared<ManagerHandle>();
  h->access = access;
  return InsertHandle(std::move(h));
}

SC_HANDLE WINAPI CreateServiceW(SC_HANDLE scm, LPCWSTR name, LPCWSTR displayName, DWORD access,
                                DWORD serviceType, DWORD startType, DWORD errorControl,
                                LPCWSTR binaryPath, LPCWSTR, LPDWORD tagId, LPCWSTR, LPCWSTR,
                                LPCWSTR) {
  W32EMU_FAULT_POINT("CreateServiceW", nullptr);
  auto manager = LookupHandleAs<ManagerHandle>(scm);
  if (!manager) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!(manager->access & SC_MANAGER_CREATE_SERVICE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (!name || !*name || wcslen(name) > 256 || wcschr(name, L'/') || wcschr(name, L'\\')) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  if (!binaryPath || !*binaryPath || startType > SERVICE_DISABLED ||
      errorControl > SERVICE_ERROR_CRITICAL || tagId) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  {
    DbLock lock;
    if (MarkedForDelete(name)) {
      SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
      return nullptr;
    }
    if (Exists(name)) {
      SetLastError(ERROR_SERVICE_EXISTS);
      return nullptr;
    }
    // Display names are unique too.
    std::error_code ec;
    std::wstring display = displayName ? displayName : name;
    for (auto& entry : fs::directory_iterator(ServicesDir(), ec)) {
      ServiceConfig other;
      if (ReadConfig(Widen(entry.path().filename().string()), &other) &&
          other.displayName == display) {
        SetLastError(ERROR_DUPLICATE_SERVICE_NAME);
        return nullptr;
      }
    }
    ServiceConfig c{display, serviceType, startType, errorControl, binaryPath};
    WriteConfig(name, c);
    StoredStatus s;
    s.status.dwServiceType = serviceType;
    s.status.dwCurrentState = SERVICE_STOPPED;
    WriteStatus(name, s);
  }
  auto h = std::make_shared<ServiceHandle>();
  h->name = name;
  h->access = access;
  return InsertHandle(std::move(h));
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE scm, LPCWSTR name, DWORD access) {
  W32EMU_FAULT_POINT("OpenServiceW", nullptr);
  if (!LookupHandleAs<ManagerHandle>(scm)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!name || !*name) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  if (!Exists(name)) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  auto h = std::make_shared<ServiceHandle>();
  h->name = name;
  h->access = access;
  return InsertHandle(std::move(h));
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE h) {
  W32EMU_FAULT_POINT("CloseServiceHandle", FALSE);
  auto object = LookupHandle(h);
  if (!std::dynamic_pointer_cast<ManagerHandle>(object) &&
      !std::dynamic_pointer_cast<ServiceHandle>(object)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  RemoveHandle(h);
  if (auto service = std::dynamic_pointer_cast<ServiceHandle>(object)) {
    DbLock lock;
    RemoveIfDeletable(service->name);
  }
  return TRUE;
}

BOOL WINAPI DeleteService(SC_HANDLE h) {
  W32EMU_FAULT_POINT("DeleteService", FALSE);
  auto service = LookupHandleAs<ServiceHandle>(h);
  if (!service) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!(service->access & DELETE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  DbLock lock;
  if (MarkedForDelete(service->name)) {
    SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
    return FALSE;
  }
  std::ofstream(ServiceDir(service->name) + "/deleted");
  // The entry goes once the service is stopped and the handle is closed (handles held by other
  // processes are not tracked).
  return TRUE;
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE h, LPSERVICE_STATUS status) {
  W32EMU_FAULT_POINT("QueryServiceStatus", FALSE);
  auto service = LookupHandleAs<ServiceHandle>(h);
  if (!service) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!(service->access & SERVICE_QUERY_STATUS)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (!status) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *status = ReadStatus(service->name).status;
  return TRUE;
}

BOOL WINAPI StartServiceW(SC_HANDLE h, DWORD argc, LPCWSTR* argv) {
  W32EMU_FAULT_POINT("StartServiceW", FALSE);
  auto service = LookupHandleAs<ServiceHandle>(h);
  if (!service) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!(service->access & SERVICE_START)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  std::wstring name = service->name;
  ServiceConfig config;
  std::function<void(const std::wstring&)> inProcess;
  {
    DbLock lock;
    if (MarkedForDelete(name)) {
      SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
      return FALSE;
    }
    if (!ReadConfig(name, &config)) {
      SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
      return FALSE;
    }
    if (config.start == SERVICE_DISABLED) {
      SetLastError(ERROR_SERVICE_DISABLED);
      return FALSE;
    }
    StoredStatus s = ReadStatus(name);
    if (s.status.dwCurrentState != SERVICE_STOPPED) {
      SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
      return FALSE;
    }
    {
      std::lock_guard<std::mutex> g(D().lock);
      inProcess = D().inProcessHost;
    }
    std::string binary;
    if (!inProcess) {
      // A quoted image path names its binary; an unquoted one with blanks is tried prefix by
      // prefix, each with and without ".exe", as the manager does ("C:\\Program" first).
      std::wstring image = config.imagePath;
      std::vector<std::wstring> candidates;
      if (!image.empty() && image[0] == L'"') {
        auto end = image.find(L'"', 1);
        candidates.push_back(
            image.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1));
      } else {
        for (size_t blank = image.find(L' '); blank != std::wstring::npos;
             blank = image.find(L' ', blank + 1))
          candidates.push_back(image.substr(0, blank));
        candidates.push_back(image);
      }
      for (const std::wstring& candidate : candidates) {
        for (const wchar_t* suffix : {L"", L".exe"}) {
          std::string host = HostPath(candidate + suffix);
          struct stat st;
          if (!host.empty() && stat(host.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
              access(host.c_str(), X_OK) == 0) {
            binary = host;
            break;
          }
        }
        if (!binary.empty()) break;
      }
      if (binary.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
      }
    }
    StoredStatus pending;
    pending.status.dwServiceType = config.type;
    pending.status.dwCurrentState = SERVICE_START_PENDING;
    pending.status.dwWaitHint = 2000;
    WriteStatus(name, pending);
    std::ofstream args(ServiceDir(name) + "/arguments", std::ios::trunc);
    for (DWORD i = 0; argv && i < argc; ++i) args << Narrow(argv[i] ? argv[i] : L"") << '\0';
    args.close();

    if (inProcess) {
      inProcess(name);
    } else {
      std::string world = WorldRoot();
      std::string serviceEnv = Narrow(name);
      std::string logPath = ServiceDir(name) + "/output.log";
      pid_t middle = fork();
      if (middle == 0) {
        // Detach twice so that the service outlives the program that started it.
        setsid();
        if (fork() != 0) _exit(0);
        int null = open("/dev/null", O_RDONLY);
        int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (null >= 0) dup2(null, 0);
        if (log >= 0) {
          dup2(log, 1);
          dup2(log, 2);
        }
        setenv("WIN32EMU_ROOT", world.c_str(), 1);
        setenv("WIN32EMU_SERVICE", serviceEnv.c_str(), 1);
        char* args[] = {const_cast<char*>(binary.c_str()), nullptr};
        execv(binary.c_str(), args);
        _exit(127);
      }
      if (middle < 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
      }
      int ignored;
      waitpid(middle, &ignored, 0);
    }
  }
  // StartServiceW returns once the process has connected to the manager.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ScaledMs(30000));
  for (;;) {
    StoredStatus s = ReadStatus(name);
    if (s.connected) return TRUE;
    if (std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  StoredStatus s = ReadStatus(name);
  if (!s.connected) {
    if (s.pid > 0) kill(s.pid, SIGKILL);
    s.status.dwCurrentState = SERVICE_STOPPED;
    s.pid = 0;
    WriteStatus(name, s);
  }
  SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
  return FALSE;
}

BOOL WINAPI ControlService(SC_HANDLE h, DWORD control, LPSERVICE_STATUS status) {
  W32EMU_FAULT_POINT("ControlService", FALSE);
  auto service = LookupHandleAs<ServiceHandle>(h);
  if (!service) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!status) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD needed;
  switch (control) {
    case SERVICE_CONTROL_STOP:
      needed = SERVICE_STOP;
      break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_PARAMCHANGE:
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE:
      needed = SERVICE_PAUSE_CONTINUE;
      break;
    case SERVICE_CONTROL_INTERROGATE:
      needed = SERVICE_INTERROGATE;
      break;
    default:
      if (control < 128 || control > 255) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
      }
      needed = SERVICE_USER_DEFINED_CONTROL;
  }
  if ((service->access & needed) != needed) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  StoredStatus s = ReadStatus(service->name);
  *status = s.status;
  switch (s.status.dwCurrentState) {
    case SERVICE_STOPPED:
      SetLastError(ERROR_SERVICE_NOT_ACTIVE);
      return FALSE;
    case SERVICE_START_PENDING:
    case SERVICE_STOP_PENDING:
      SetLastError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
      return FALSE;
    default:
      break;
  }
  if (!s.connected) {
    SetLastError(ERROR_SERVICE_NOT_ACTIVE);
    return FALSE;
  }
  if (!Accepts(s.status.dwControlsAccepted, control)) {
    SetLastError(ERROR_INVALID_SERVICE_CONTROL);
    return FALSE;
  }
  DWORD result = SubmitControl(service->name, control, 0, nullptr, 0, true, status);
  if (result != NO_ERROR) {
    SetLastError(result);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table) {
  W32EMU_FAULT_POINT("StartServiceCtrlDispatcherW", FALSE);
  Dispatcher& d = D();
  std::wstring name = StartedAs();
  if (name.empty() || !Exists(name)) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
  }
  if (!table || !table[0].lpServiceName) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  LPSERVICE_MAIN_FUNCTIONW serviceMain = nullptr;
  for (const SERVICE_TABLE_ENTRYW* e = table; e->lpServiceName; ++e) {
    // An own-process service runs the first entry whatever its name.
    if (!serviceMain || _wcsicmp(e->lpServiceName, name.c_str()) == 0)
      serviceMain = e->lpServiceProc;
  }
  if (!serviceMain) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  {
    std::lock_guard<std::mutex> g(d.lock);
    if (d.running) {
      SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
      return FALSE;
    }
    d.running = true;
    d.serviceName = name;
    d.handler = nullptr;
    d.context = nullptr;
    d.stopped = false;
    d.queue.clear();
    d.registrations.clear();
    d.last = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 2000};
  }

  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  socklen_t length;
  sockaddr_un addr = SocketAddress(name, &length);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), length) != 0 ||
      listen(listener, 16) != 0) {
    if (listener >= 0) close(listener);
    std::lock_guard<std::mutex> g(d.lock);
    d.running = false;
    SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
    return FALSE;
  }
  int wake[2];
  if (pipe2(wake, O_CLOEXEC) != 0) {
    close(listener);
    std::lock_guard<std::mutex> g(d.lock);
    d.running = false;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }

  std::vector<std::string> arguments;
  {
    std::ifstream in(ServiceDir(name) + "/arguments");
    std::string a;
    while (std::getline(in, a, '\0')) arguments.push_back(a);
  }
  {
    DbLock lock;
    StoredStatus s = ReadStatus(name);
    s.status.dwCurrentState = SERVICE_START_PENDING;
    s.pid = getpid();
    s.connected = 1;
    WriteStatus(name, s);
  }

  // Receives controls from other threads and processes and queues them for this thread.
  std::thread receiver([&d, listener, wake] {
    for (;;) {
      pollfd fds[2] = {{listener, POLLIN, 0}, {wake[0], POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 && errno == EINTR) continue;
      if (fds[1].revents) return;
      if (!(fds[0].revents & POLLIN)) continue;
      int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      auto pc = std::make_shared<PendingControl>();
      if (!ReadAll(client, &pc->request, sizeof pc->request) || pc->request.dataSize > 65536) {
        close(client);
        continue;
      }
      pc->data.resize(pc->request.dataSize);
      if (!ReadAll(client, pc->data.data(), pc->data.size())) {
        close(client);
        continue;
      }
      std::unique_lock<std::mutex> g(d.lock);
      d.queue.push_back(pc);
      d.changed.notify_all();
      d.changed.wait(g, [&] { return pc->done; });
      g.unlock();
      WriteAll(client, &pc->reply, sizeof pc->reply);
      close(client);
    }
  });

  std::vector<std::wstring> wideArgs{name};
  for (auto& a : arguments) wideArgs.push_back(Widen(a));
  std::thread serviceThread([serviceMain, wideArgs]() mutable {
    std::vector<LPWSTR> argv;
    for (auto& a : wideArgs) argv.push_back(a.data());
    argv.push_back(nullptr);
    serviceMain(static_cast<DWORD>(wideArgs.size()), argv.data());
  });

  // The dispatcher thread: run controls one at a time until the service reports it stopped.
  for (;;) {
    std::shared_ptr<PendingControl> pc;
    {
      std::unique_lock<std::mutex> g(d.lock);
      d.changed.wait(g, [&] { return d.stopped || !d.queue.empty(); });
      if (d.queue.empty()) break;
      pc = d.queue.front();
      d.queue.pop_front();
    }
    RunControl(*pc);
    std::lock_guard<std::mutex> g(d.lock);
    pc->done = true;
    d.changed.notify_all();
  }

  // Refuse what is still queued, then stop receiving.
  {
    std::lock_guard<std::mutex> g(d.lock);
    for (auto& pc : d.queue) {
      pc->reply.delivered = 0;
      pc->reply.result = ERROR_SERVICE_NOT_ACTIVE;
      pc->done = true;
    }
    d.queue.clear();
    d.changed.notify_all();
  }
  if (write(wake[1], "x", 1) < 0) {
  }
  receiver.join();
  close(listener);
  close(wake[0]);
  close(wake[1]);
  // SERVICE_STOPPED is the service main's last act; let it return before the process goes on.
  serviceThread.join();
  {
    DbLock lock;
    StoredStatus s = ReadStatus(name);
    s.pid = 0;
    s.connected = 0;
    WriteStatus(name, s);
    RemoveIfDeletable(name);
  }
  std::lock_guard<std::mutex> g(d.lock);
  d.running = false;
  d.handler = nullptr;
  d.registrations.clear();
  return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerExW(LPCWSTR name,
                                                           LPHANDLER_FUNCTION_EX handler,
                                                           LPVOID context) {
  W32EMU_FAULT_POINT("RegisterServiceCtrlHandlerExW", nullptr);
  Dispatcher& d = D();
  std::lock_guard<std::mutex> g(d.lock);
  if (!d.running || !name || _wcsicmp(name, d.serviceName.c_str()) != 0) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  if (!handler) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  d.handler = handler;
  d.context = context;
  return kStatusHandle;
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE h, LPSERVICE_STATUS status) {
  W32EMU_FAULT_POINT("SetServiceStatus", FALSE);
  Dispatcher& d = D();
  std::wstring name;
  {
    std::lock_guard<std::mutex> g(d.lock);
    if (h != kStatusHandle || !d.running) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (!status || status->dwCurrentState < SERVICE_STOPPED ||
        status->dwCurrentState > SERVICE_PAUSED) {
      SetLastError(ERROR_INVALID_DATA);
      return FALSE;
    }
    d.reports.push_back({status->dwServiceType, status->dwCurrentState, status->dwControlsAccepted,
                         status->dwWin32ExitCode, status->dwServiceSpecificExitCode,
                         status->dwCheckPoint, status->dwWaitHint});
    d.last = *status;
    name = d.serviceName;
  }
  {
    DbLock lock;
    StoredStatus s = ReadStatus(name);
    s.status = *status;
    s.pid = getpid();
    s.connected = 1;
    WriteStatus(name, s);
  }
  if (status->dwCurrentState == SERVICE_STOPPED) {
    std::lock_guard<std::mutex> g(d.lock);
    d.stopped = true;
    d.changed.notify_all();
  }
  return TRUE;
}

HDEVNOTIFY WINAPI RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags) {
  W32EMU_FAULT_POINT("RegisterDeviceNotificationW", nullptr);
  Dispatcher& d = D();
  if (!(flags & DEVICE_NOTIFY_SERVICE_HANDLE) || recipient != kStatusHandle) {
    // Window recipients do not exist in the world.
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  auto* hdr = static_cast<DEV_BROADCAST_HDR*>(filter);
  if (!hdr || hdr->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
      hdr->dbch_size < offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name)) {
    SetLastError(ERROR_INVALID_DATA);
    return nullptr;
  }
  auto* di = static_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(filter);
  std::lock_guard<std::mutex> g(d.lock);
  if (!d.running) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  uintptr_t id = d.nextRegistration += 4;
  d.registrations[id] = {di->dbcc_classguid, (flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0};
  return reinterpret_cast<HDEVNOTIFY>(id);
}

BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY h) {
  W32EMU_FAULT_POINT("UnregisterDeviceNotification", FALSE);
  Dispatcher& d = D();
  std::lock_guard<std::mutex> g(d.lock);
  if (!d.registrations.erase(reinterpret_cast<uintptr_t>(h))) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
