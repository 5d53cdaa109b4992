// Starts a lambda on a thread made by CreateThread, so that tests exercise emulated threads.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>

namespace win32test {

inline HANDLE Spawn(std::function<DWORD()> body, DWORD flags = 0, DWORD* tid = nullptr) {
  auto* heap = new std::function<DWORD()>(std::move(body));
  HANDLE h = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        std::unique_ptr<std::function<DWORD()>> f(static_cast<std::function<DWORD()>*>(p));
        return (*f)();
      },
      heap, flags, tid);
  if (!h) delete heap;
  return h;
}

// Waits for a thread to end and closes its handle; false when it did not end in time.
inline bool Join(HANDLE thread, DWORD ms = 5000) {
  bool ended = WaitForSingleObject(thread, ms) == WAIT_OBJECT_0;
  CloseHandle(thread);
  return ended;
}

}  // namespace win32test
