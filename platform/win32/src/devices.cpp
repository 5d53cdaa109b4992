// The device namespace: serial port names and the endpoints the world binds them to.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "comm.h"

namespace win32emu {
namespace {

struct Bindings {
  std::mutex lock;
  std::map<std::wstring, std::shared_ptr<PortPeer>> peers;  // by upper-case name
  std::map<std::wstring, std::string> devices;
  std::set<std::wstring> open;
};
Bindings& Ports() {
  static Bindings* bindings = new Bindings;
  return *bindings;
}

std::wstring Upper(std::wstring_view s) {
  std::wstring out(s);
  for (auto& c : out) c = towupper(c);
  return out;
}

std::string Trim(const std::string& s) {
  auto b = s.find_first_not_of(" \t\r");
  auto e = s.find_last_not_of(" \t\r");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::string PortsFile() { return WorldRoot() + "/devices/ports"; }

std::map<std::wstring, std::string> ReadPortsFile() {
  std::map<std::wstring, std::string> result;
  std::ifstream in(PortsFile());
  std::string line;
  while (std::getline(in, line)) {
    auto eq = line.find('=');
    if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
    std::string name = Trim(line.substr(0, eq)), path = Trim(line.substr(eq + 1));
    if (!name.empty() && !path.empty()) result[Upper(Widen(name))] = path;
  }
  return result;
}

// Rewrites the world file with `name` bound to `path` (empty: unbound). Written to a temporary
// file and renamed, so that a process reading it never sees half a file.
void WritePortsFile(const std::wstring& name, const std::string& path) {
  auto entries = ReadPortsFile();
  if (path.empty()) {
    entries.erase(name);
  } else {
    entries[name] = path;
  }
  std::error_code ec;
  std::filesystem::create_directories(WorldRoot() + "/devices", ec);
  std::string tmp = PortsFile() + ".tmp" + std::to_string(getpid());
  {
    std::ofstream out(tmp, std::ios::trunc);
    for (auto& [n, p] : entries) out << Narrow(n) << " = " << p << "\n";
  }
  std::filesystem::rename(tmp, PortsFile(), ec);
}

HANDLE Fail(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

}  // namespace

void ReleasePortName(const std::wstring& portName) {
  std::lock_guard<std::mutex> g(Ports().lock);
  Ports().open.erase(portName);
}

void BindPort(const std::wstring& portName, std::shared_ptr<PortPeer> peer) {
  std::lock_guard<std::mutex> g(Ports().lock);
  auto name = Upper(portName);
  Ports().devices.erase(name);
  Ports().peers[name] = std::move(peer);
}

void BindPortToDevice(const std::wstring& portName, const std::string& devicePath) {
  auto name = Upper(portName);
  std::lock_guard<std::mutex> g(Ports().lock);
  Ports().peers.erase(name);
  Ports().devices[name] = devicePath;
  WritePortsFile(name, devicePath);
}

void UnbindPort(const std::wstring& portName) {
  auto name = Upper(portName);
  std::lock_guard<std::mutex> g(Ports().lock);
  Ports().peers.erase(name);
  bool inFile = Ports().devices.erase(name) > 0 || ReadPortsFile().count(name) > 0;
  if (inFile) WritePortsFile(name, {});
}

bool OpenPtyPair(PtyPair* pair) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return false;
  char name[128];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    int e = errno;
    close(master);
    errno = e;
    return false;
  }
  termios tio{};
  if (tcgetattr(master, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(master, TCSANOW, &tio);
  }
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  pair->master = master;
  pair->slavePath = name;
  return true;
}

HANDLE OpenDevice(std::wstring_view name, DWORD access, DWORD share, DWORD disposition,
                  DWORD flags) {
  // "COM7\TarnService": the port, then the file name its driver receives.
  auto slash = name.find_first_of(L"\\/");
  std::wstring port = Upper(name.substr(0, slash));
  std::wstring fileName =
      slash == std::wstring_view::npos ? std::wstring() : std::wstring(name.substr(slash));
  for (auto& c : fileName)
    if (c == L'/') c = L'\\';
  if (port.empty()) return Fail(ERROR_FILE_NOT_FOUND);

  std::shared_ptr<PortPeer> peer;
  std::string device;
  {
    auto& ports = Ports();
    std::lock_guard<std::mutex> g(ports.lock);
    if (auto it = ports.peers.find(port); it != ports.peers.end()) {
      peer = it->second;
    } else if (auto dev = ports.devices.find(port); dev != ports.devices.end()) {
      device = dev->second;
    } else {
      auto fromFile = ReadPortsFile();
      if (auto f = fromFile.find(port); f != fromFile.end()) device = f->second;
    }
    if (!peer && device.empty()) return Fail(ERROR_FILE_NOT_FOUND);
    // A serial port admits one open at a time, whatever the share mode asks for.
    if (!ports.open.insert(port).second) return Fail(ERROR_ACCESS_DENIED);
  }
  int fd = -1;
  if (!peer) {
    fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    // The lock keeps other processes of the world from opening the same device.
    DWORD error = fd < 0 ? (errno == ENOENT ? ERROR_FILE_NOT_FOUND : LastErrorFromErrno(errno))
                  : flock(fd, LOCK_EX | LOCK_NB) != 0 ? ERROR_ACCESS_DENIED
                                                      : 0;
    if (error) {
      if (fd >= 0) close(fd);
      ReleasePortName(port);
      return Fail(error);
    }
  }
  auto object = std::make_shared<PortDevice>(port, fileName, std::move(peer), fd, flags);
  SetLastError(0);
  return InsertHandle(std::move(object));
}

}  // namespace win32emu
