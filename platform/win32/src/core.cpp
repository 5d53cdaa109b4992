// Handle table, last error, failure injection, the world's root, paths, text and the clock.
#include "core.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <map>
#include <unordered_map>
#include <vector>

namespace win32emu {
namespace {

thread_local DWORD t_lastError = 0;

struct HandleTable {
  std::mutex lock;
  std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects;
  uintptr_t next = 0x100;
};
HandleTable& Handles() {
  static HandleTable* table = new HandleTable;  // outlives static destructors of users
  return *table;
}

struct Injection {
  DWORD error;
  int skip;
  int count;
};
struct FaultTable {
  std::mutex lock;
  std::map<std::string, std::deque<Injection>, std::less<>> pending;
  std::map<std::string, int, std::less<>> calls;
  std::atomic<bool> any{false};
};
FaultTable& Faults() {
  static FaultTable* table = new FaultTable;
  return *table;
}

struct ClockState {
  std::atomic<int64_t> offset{0};
  std::mutex lock;
  std::vector<std::pair<ClockObserver, void*>> observers;
};
ClockState& Clock() {
  static ClockState* state = new ClockState;
  return *state;
}

std::atomic<unsigned> g_timeScale{1};

struct RootState {
  std::mutex lock;
  std::string root;
};
RootState& Root() {
  static RootState* state = new RootState;
  return *state;
}

void MakeStandardFolders(const std::string& root) {
  std::error_code ec;
  for (const char* dir : {"drive_c/ProgramData", "drive_c/Program Files",
                          "drive_c/windows/system32", "drive_c/users/Public", "scm"})
    std::filesystem::create_directories(root + "/" + dir, ec);
}

}  // namespace

// ---- handles ----

std::mutex& WaitLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
  auto& t = Handles();
  std::lock_guard<std::mutex> g(t.lock);
  uintptr_t value = t.next;
  t.next += 4;
  t.objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE h) {
  // GetCurrentThread()'s pseudo handle names whichever thread uses it.
  if (h == reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2))) return CurrentThreadObject();
  auto& t = Handles();
  std::lock_guard<std::mutex> g(t.lock);
  auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
  return it == t.objects.end() ? nullptr : it->second;
}

std::shared_ptr<KernelObject> RemoveHandle(HANDLE h) {
  auto& t = Handles();
  std::shared_ptr<KernelObject> object;
  {
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
    if (it == t.objects.end()) return nullptr;
    object = std::move(it->second);
    t.objects.erase(it);
  }
  return object;
}

DWORD CurrentThreadId() {
  thread_local DWORD tid = static_cast<DWORD>(syscall(SYS_gettid));
  return tid;
}

// ---- failure injection ----

void InjectFailure(const char* api, DWORD error, int skip, int count) {
  auto& f = Faults();
  std::lock_guard<std::mutex> g(f.lock);
  f.pending[api].push_back({error, skip, count});
  f.any = true;
}

void ClearFailures() {
  auto& f = Faults();
  std::lock_guard<std::mutex> g(f.lock);
  f.pending.clear();
  f.calls.clear();
  f.any = false;
}

int CallCount(const char* api) {
  auto& f = Faults();
  std::lock_guard<std::mutex> g(f.lock);
  auto it = f.calls.find(api);
  return it == f.calls.end() ? 0 : it->second;
}

DWORD InjectedFailure(const char* api) {
  auto& f = Faults();
  std::lock_guard<std::mutex> g(f.lock);
  ++f.calls[api];
  if (!f.any) return 0;
  auto it = f.pending.find(api);
  if (it == f.pending.end() || it->second.empty()) return 0;
  Injection& head = it->second.front();
  if (head.skip > 0) {
    --head.skip;
    return 0;
  }
  DWORD error = head.error;
  if (head.count > 0 && --head.count == 0) it->second.pop_front();
  return error;
}

// ---- the root ----

std::string WorldRoot() {
  auto& r = Root();
  std::lock_guard<std::mutex> g(r.lock);
  if (r.root.empty()) {
    if (const char* env = getenv("WIN32EMU_ROOT"); env && *env) {
      r.root = env;
    } else if (const char* state = getenv("XDG_STATE_HOME"); state && *state) {
      r.root = std::string(state) + "/win32emu";
    } else {
      const char* home = getenv("HOME");
      r.root = std::string(home && *home ? home : "/tmp") + "/.local/state/win32emu";
    }
    MakeStandardFolders(r.root);
  }
  return r.root;
}

void SetWorldRoot(const std::string& root) {
  auto& r = Root();
  std::lock_guard<std::mutex> g(r.lock);
  r.root = root;
  setenv("WIN32EMU_ROOT", root.c_str(), 1);
  MakeStandardFolders(root);
}

std::string MakeTemporaryWorld() {
  std::string base = std::filesystem::temp_directory_path().string() + "/win32emu-XXXXXX";
  std::vector<char> buffer(base.begin(), base.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) return {};
  std::string root(buffer.data());
  SetWorldRoot(root);
  return root;
}

// ---- paths ----

std::string HostPath(std::wstring_view path) {
  std::wstring p(path);
  if (p.rfind(L"\\\\?\\", 0) == 0) p.erase(0, 4);
  if (p.empty()) return {};
  std::string rest;
  std::string prefix;
  if (p.size() >= 2 && p[1] == L':' && iswalpha(p[0])) {
    wchar_t drive = towlower(p[0]);
    std::wstring tail = p.substr(2);
    if (drive == L'z') {
      prefix = "";
    } else {
      prefix = WorldRoot() + "/drive_" + static_cast<char>(drive);
    }
    if (tail.empty() || (tail[0] != L'\\' && tail[0] != L'/')) tail.insert(tail.begin(), L'\\');
    rest = Narrow(tail);
  } else if (p[0] == L'\\' || p[0] == L'/') {
    if (p.size() > 1 && (p[1] == L'\\' || p[1] == L'/')) return {};  // UNC or device namespace
    prefix = WorldRoot() + "/drive_c";
    rest = Narrow(p);
  } else {
    rest = Narrow(p);
  }
  std::replace(rest.begin(), rest.end(), '\\', '/');
  std::string result = prefix + rest;
  // Collapse repeated separators, which Windows ignores.
  std::string collapsed;
  for (char c : result)
    if (!(c == '/' && !collapsed.empty() && collapsed.back() == '/')) collapsed += c;
  if (collapsed.empty()) collapsed = "/";
  return collapsed;
}

std::wstring WindowsPath(const std::string& hostPath) {
  std::string abs = hostPath;
  if (abs.empty() || abs[0] != '/') {
    std::error_code ec;
    abs = std::filesystem::absolute(hostPath, ec).lexically_normal().string();
  }
  std::string root = WorldRoot() + "/drive_";
  std::string result;
  if (abs.rfind(root, 0) == 0 && abs.size() > root.size()) {
    char drive = static_cast<char>(toupper(abs[root.size()]));
    std::string tail = abs.substr(root.size() + 1);
    result = std::string(1, drive) + ":" + (tail.empty() ? "/" : tail);
  } else {
    result = "Z:" + abs;
  }
  std::replace(result.begin(), result.end(), '/', '\\');
  return Widen(result);
}

// ---- text ----

std::string Narrow(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t wc : text) {
    uint32_t c = static_cast<uint32_t>(wc);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::wstring Widen(std::string_view s) {
  std::wstring out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    uint32_t cp;
    size_t n;
    if (c < 0x80) {
      cp = c, n = 1;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F, n = 2;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F, n = 3;
    } else if ((c & 0xF8) == 0xF0) {
      cp = c & 0x07, n = 4;
    } else {
      out += static_cast<wchar_t>(0xFFFD);
      ++i;
      continue;
    }
    if (i + n > s.size()) {
      out += static_cast<wchar_t>(0xFFFD);
      break;
    }
    for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    out += static_cast<wchar_t>(cp);
    i += n;
  }
  return out;
}

// ---- clock ----

int64_t ClockOffset() { return Clock().offset.load(); }

void SetClockOffset(int64_t offset) {
  Clock().offset = offset;
  std::vector<std::pair<ClockObserver, void*>> observers;
  {
    std::lock_guard<std::mutex> g(Clock().lock);
    observers = Clock().observers;
  }
  for (auto& [fn, ctx] : observers) fn(ctx);
}

void MoveClock(int64_t delta) { SetClockOffset(ClockOffset() + delta); }

void AddClockObserver(ClockObserver observer, void* context) {
  std::lock_guard<std::mutex> g(Clock().lock);
  Clock().observers.emplace_back(observer, context);
}

void RemoveClockObserver(ClockObserver observer, void* context) {
  std::lock_guard<std::mutex> g(Clock().lock);
  auto& v = Clock().observers;
  v.erase(std::remove(v.begin(), v.end(), std::make_pair(observer, context)), v.end());
}

void SetTimeScale(unsigned factor) { g_timeScale = factor ? factor : 1; }
unsigned TimeScale() { return g_timeScale; }
DWORD ScaledMs(DWORD ms) {
  if (ms == INFINITE) return ms;
  unsigned f = g_timeScale;
  return f <= 1 ? ms : std::max<DWORD>(ms / f, ms ? 1 : 0);
}

}  // namespace win32emu

// ---- the calls ----

extern "C" {

DWORD WINAPI GetLastError(void) { return win32emu::t_lastError; }
void WINAPI SetLastError(DWORD error) { win32emu::t_lastError = error; }

BOOL WINAPI CloseHandle(HANDLE h) {
  W32EMU_FAULT_POINT("CloseHandle", FALSE);
  auto object = win32emu::RemoveHandle(h);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  object->OnHandleClosed(h);
  return TRUE;
}

int _wcsicmp(const wchar_t* a, const wchar_t* b) { return wcscasecmp(a, b); }
int _wcsnicmp(const wchar_t* a, const wchar_t* b, size_t n) { return wcsncasecmp(a, b, n); }

BOOL WINAPI DuplicateHandle(HANDLE, HANDLE source, HANDLE, LPHANDLE target, DWORD, BOOL,
                            DWORD options) {
  W32EMU_FAULT_POINT("DuplicateHandle", FALSE);
  auto object = win32emu::LookupHandle(source);
  if (!object || !target) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *target = win32emu::InsertHandle(object);
  if (options & DUPLICATE_CLOSE_SOURCE) CloseHandle(source);
  return TRUE;
}

}  // extern "C"
