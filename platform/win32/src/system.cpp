// Time, process and module information, shell folders, exceptions.
#include <shlobj.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "core.h"

namespace win32emu {
namespace {

constexpr int64_t kUnixEpoch = 116444736000000000LL;  // 1970-01-01 as a FILETIME

int64_t Now100ns() {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  return kUnixEpoch + std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100 +
         ClockOffset();
}

// Days since 1601-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(int64_t z, int* y, unsigned* m, unsigned* d) {
  z += 584694;  // days from 0000-03-01 to 1601-01-01
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  unsigned doe = static_cast<unsigned>(z - era * 146097);
  unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t yy = static_cast<int64_t>(yoe) + era * 400;
  unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int>(yy + (*m <= 2));
}

int64_t DaysFromCivil(int y, unsigned m, unsigned d) {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  unsigned yoe = static_cast<unsigned>(y - era * 400);
  unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 584694;
}

std::mutex g_folderLock;
std::set<int> g_removedFolders;

_invalid_parameter_handler g_invalidParameterHandler = nullptr;
DWORD g_priorityClass = NORMAL_PRIORITY_CLASS;

std::wstring& CommandLine() {
  static std::wstring* line = [] {
    auto* text = new std::wstring;
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string arg;
    bool first = true;
    while (std::getline(in, arg, '\0')) {
      if (!first) *text += L' ';
      bool quote = arg.empty() || arg.find(' ') != std::string::npos;
      *text += quote ? L"\"" + Widen(arg) + L"\"" : Widen(arg);
      first = false;
    }
    return text;
  }();
  return *line;
}

}  // namespace

}  // namespace win32emu

extern "C" {

void WINAPI GetSystemTimeAsFileTime(LPFILETIME ft) {
  int64_t now = win32emu::Now100ns();
  ft->dwLowDateTime = static_cast<DWORD>(now);
  ft->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(now) >> 32);
}

BOOL WINAPI FileTimeToSystemTime(const FILETIME* ft, LPSYSTEMTIME st) {
  uint64_t t = (static_cast<uint64_t>(ft->dwHighDateTime) << 32) | ft->dwLowDateTime;
  if (t >= 0x8000000000000000ULL) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int64_t days = static_cast<int64_t>(t / 864000000000ULL);
  uint64_t rest = t % 864000000000ULL;
  int y;
  unsigned m, d;
  win32emu::CivilFromDays(days, &y, &m, &d);
  st->wYear = static_cast<WORD>(y);
  st->wMonth = static_cast<WORD>(m);
  st->wDay = static_cast<WORD>(d);
  st->wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
  st->wHour = static_cast<WORD>(rest / 36000000000ULL);
  st->wMinute = static_cast<WORD>(rest / 600000000ULL % 60);
  st->wSecond = static_cast<WORD>(rest / 10000000ULL % 60);
  st->wMilliseconds = static_cast<WORD>(rest / 10000ULL % 1000);
  return TRUE;
}

BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME ft) {
  if (st->wMonth < 1 || st->wMonth > 12 || st->wDay < 1 || st->wDay > 31 || st->wHour > 23 ||
      st->wMinute > 59 || st->wSecond > 59 || st->wMilliseconds > 999 || st->wYear < 1601) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int64_t days = win32emu::DaysFromCivil(st->wYear, st->wMonth, st->wDay);
  uint64_t t = static_cast<uint64_t>(days) * 864000000000ULL + st->wHour * 36000000000ULL +
               st->wMinute * 600000000ULL + st->wSecond * 10000000ULL +
               st->wMilliseconds * 10000ULL;
  ft->dwLowDateTime = static_cast<DWORD>(t);
  ft->dwHighDateTime = static_cast<DWORD>(t >> 32);
  return TRUE;
}

void WINAPI GetSystemTime(LPSYSTEMTIME st) {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  FileTimeToSystemTime(&ft, st);
}

ULONGLONG WINAPI GetTickCount64(void) {
  return static_cast<ULONGLONG>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now().time_since_epoch())
                                    .count());
}

DWORD WINAPI GetTickCount(void) { return static_cast<DWORD>(GetTickCount64()); }

void WINAPI Sleep(DWORD ms) {
  DWORD scaled = win32emu::ScaledMs(ms);
  if (scaled == INFINITE) {
    for (;;) pause();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(scaled));
}

DWORD WINAPI GetCurrentThreadId(void) { return win32emu::CurrentThreadId(); }
DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }
HANDLE WINAPI GetCurrentProcess(void) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}
HANDLE WINAPI GetCurrentThread(void) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2)); }

HMODULE WINAPI GetModuleHandleW(LPCWSTR name) {
  W32EMU_FAULT_POINT("GetModuleHandleW", nullptr);
  if (name) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  static char self;
  return &self;
}

DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  W32EMU_FAULT_POINT("GetModuleFileNameW", 0);
  if (module && module != GetModuleHandleW(nullptr)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n < 0) {
    SetLastError(ERROR_GEN_FAILURE);
    return 0;
  }
  path[n] = '\0';
  std::wstring name = win32emu::WindowsPath(path);
  if (size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (name.size() >= size) {
    // Truncated and terminated, as on Vista and later.
    name.copy(buffer, size - 1);
    buffer[size - 1] = L'\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  name.copy(buffer, name.size());
  buffer[name.size()] = L'\0';
  return static_cast<DWORD>(name.size());
}

LPWSTR WINAPI GetCommandLineW(void) { return win32emu::CommandLine().data(); }

void WINAPI ExitProcess(UINT code) { std::exit(static_cast<int>(code)); }

BOOL WINAPI SetPriorityClass(HANDLE process, DWORD priorityClass) {
  W32EMU_FAULT_POINT("SetPriorityClass", FALSE);
  switch (priorityClass) {
    case NORMAL_PRIORITY_CLASS:
    case IDLE_PRIORITY_CLASS:
    case HIGH_PRIORITY_CLASS:
    case REALTIME_PRIORITY_CLASS:
    case BELOW_NORMAL_PRIORITY_CLASS:
    case ABOVE_NORMAL_PRIORITY_CLASS:
      break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
  }
  if (process != GetCurrentProcess()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // The host's scheduler is left alone: raising priority needs privileges the emulation does
  // not assume. The class is remembered for GetPriorityClass.
  win32emu::g_priorityClass = priorityClass;
  return TRUE;
}

DWORD WINAPI GetPriorityClass(HANDLE process) {
  if (process != GetCurrentProcess()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return win32emu::g_priorityClass;
}

void WINAPI RaiseException(DWORD code, DWORD flags, DWORD nArgs, const ULONG_PTR*) {
  // No structured exception handling here: an exception is unhandled, which ends the process
  // with the exception code as its exit status, as Windows does.
  code &= ~0x10000000u;
  fprintf(stderr, "unhandled exception 0x%08x (flags %u, %u arguments)\n", code, flags, nArgs);
  fflush(stderr);
  _exit(static_cast<int>(code));
}

_invalid_parameter_handler _set_invalid_parameter_handler(_invalid_parameter_handler handler) {
  _invalid_parameter_handler previous = win32emu::g_invalidParameterHandler;
  win32emu::g_invalidParameterHandler = handler;
  return previous;
}

HRESULT WINAPI SHGetFolderPathW(HWND, int csidl, HANDLE, DWORD flags, LPWSTR path) {
  if (DWORD injected = win32emu::InjectedFailure("SHGetFolderPathW"))
    return HRESULT_FROM_WIN32(injected);
  int folder = csidl & ~CSIDL_FLAG_CREATE;
  const wchar_t* name = nullptr;
  switch (folder) {
    case CSIDL_COMMON_APPDATA:
      name = L"C:\\ProgramData";
      break;
    case CSIDL_PROGRAM_FILES:
    case CSIDL_PROGRAM_FILESX86:
      name = L"C:\\Program Files";
      break;
    case CSIDL_WINDOWS:
      name = L"C:\\windows";
      break;
    case CSIDL_SYSTEM:
      name = L"C:\\windows\\system32";
      break;
    case CSIDL_APPDATA:
      name = L"C:\\users\\Public\\AppData\\Roaming";
      break;
    case CSIDL_LOCAL_APPDATA:
      name = L"C:\\users\\Public\\AppData\\Local";
      break;
    default:
      return E_INVALIDARG;
  }
  if (flags > SHGFP_TYPE_DEFAULT) return E_INVALIDARG;
  {
    std::lock_guard<std::mutex> g(win32emu::g_folderLock);
    if (win32emu::g_removedFolders.count(folder)) return E_FAIL;
  }
  std::string host = win32emu::HostPath(name);
  if (GetFileAttributesW(name) == INVALID_FILE_ATTRIBUTES) {
    if (!(csidl & CSIDL_FLAG_CREATE)) return E_FAIL;
    std::error_code ec;
    if (!std::filesystem::create_directories(host, ec) && ec) return E_FAIL;
  }
  wcscpy(path, name);
  return S_OK;
}

}  // extern "C"

namespace win32emu {

void RemoveKnownFolder(int csidl) {
  std::lock_guard<std::mutex> g(g_folderLock);
  g_removedFolders.insert(csidl & ~CSIDL_FLAG_CREATE);
}

void RestoreKnownFolders() {
  std::lock_guard<std::mutex> g(g_folderLock);
  g_removedFolders.clear();
}

// Runs the program's invalid-parameter handler, as the run-time library does on a bad argument.
bool InvokeInvalidParameterHandler() {
  if (!g_invalidParameterHandler) return false;
  g_invalidParameterHandler(nullptr, nullptr, nullptr, 0, 0);
  return true;
}

}  // namespace win32emu
