// Interim synchronisation (see win32emu/api_sync.h); replaced by the full slice.
#include <windows.h>
#include <mutex>
#include <condition_variable>
#include "core.h"
extern "C" {
BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION cs, DWORD) {
  cs->impl = new std::recursive_mutex;
  return TRUE;
}
void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs) {
  cs->impl = new std::recursive_mutex;
}
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs) {
  static_cast<std::recursive_mutex*>(cs->impl)->lock();
}
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs) {
  static_cast<std::recursive_mutex*>(cs->impl)->unlock();
}
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs) {
  delete static_cast<std::recursive_mutex*>(cs->impl);
}
}
namespace {
struct Ev : win32emu::KernelObject {
  const char* TypeName() const override { return "Event"; }
  std::mutex m;
  std::condition_variable c;
  bool s = false;
  bool manual;
};
}  // namespace
extern "C" {
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manual, BOOL initial, LPCWSTR) {
  auto e = std::make_shared<Ev>();
  e->s = initial;
  e->manual = manual;
  return win32emu::InsertHandle(e);
}
BOOL WINAPI SetEvent(HANDLE h) {
  auto e = win32emu::LookupHandleAs<Ev>(h);
  if (!e) return FALSE;
  std::lock_guard<std::mutex> g(e->m);
  e->s = true;
  e->c.notify_all();
  return TRUE;
}
DWORD WINAPI WaitForSingleObject(HANDLE h, DWORD ms) {
  auto e = win32emu::LookupHandleAs<Ev>(h);
  if (!e) return 0xFFFFFFFF;
  std::unique_lock<std::mutex> g(e->m);
  if (!e->c.wait_for(g, std::chrono::milliseconds(ms == INFINITE ? 100000000 : ms),
                     [&] { return e->s; }))
    return 258;
  if (!e->manual) e->s = false;
  return 0;
}
}
