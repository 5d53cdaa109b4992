// The Windows test build's stand-in for the emulation's world header. A real system has no
// world to control: only the calls that the contract tests' fixtures make to set up and tidy up
// exist here, with what they mean on a real system. Tests that move the clock, inject failures
// or add devices are left out of this build, so any other use fails to compile.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <string_view>

namespace win32emu {

inline std::string Narrow(std::wstring_view text) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

// The fixtures remove the folder they are given afterwards: an empty folder of their own, since
// the files they make are on the real C: drive (a fresh prefix for each run under Wine).
inline std::string MakeTemporaryWorld() {
  wchar_t base[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, base);
  if (n == 0 || n > MAX_PATH) std::abort();
  wchar_t name[MAX_PATH + 1];
  if (!GetTempFileNameW(base, L"nwt", 0, name)) std::abort();
  DeleteFileW(name);
  if (!CreateDirectoryW(name, nullptr)) std::abort();
  return Narrow(name);
}

inline void ClearFailures() {}        // nothing is ever injected
inline void RestoreKnownFolders() {}  // nothing is ever removed

// The real clock cannot be moved: only putting it back where it is can be asked for.
inline void SetClockOffset(int64_t offset100ns) {
  if (offset100ns != 0) {
    std::fputs("SetClockOffset: the real clock cannot be moved\n", stderr);
    std::abort();
  }
}

}  // namespace win32emu
