// Where Wine is known to differ from Windows, the check runs on the emulation and on Windows and
// is skipped under Wine, saying why: the same source serves all three.
#pragma once

#include <windows.h>

#include <cstdio>

namespace win32test {

inline bool UnderWine() {
#ifdef NORTANE_REAL_WINDOWS
  static const bool wine =
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
#else
  return false;
#endif
}

// if (UnlessWine("what Wine does instead")) { checks of what Windows does }
inline bool UnlessWine(const char* difference) {
  if (!UnderWine()) return true;
  std::printf("[ WINE     ] known Wine difference, not checked: %s\n", difference);
  return false;
}

}  // namespace win32test
