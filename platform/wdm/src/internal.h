// Shared state of the kernel model's pieces. Nothing here is visible to drivers.
#pragma once

#include <wdm.h>

#include <condition_variable>
#include <mutex>
#include <source_location>
#include <string>

#include "wdmemu/world.h"

namespace wdmemu {

// Per-thread kernel state.
struct ThreadState {
  KIRQL irql = PASSIVE_LEVEL;
  PDRIVER_OBJECT driver = nullptr;  // the driver whose code runs now, for pool attribution
  int spinLocksHeld = 0;
  bool holdsCancelLock = false;
  char token = 0;  // its address identifies the thread (KeGetCurrentThread, spin lock owner)
};
ThreadState& Self();

// Runs driver code on this thread as `driver`, restoring the previous attribution afterwards.
class AsDriver {
 public:
  explicit AsDriver(PDRIVER_OBJECT driver) : saved_(Self().driver) { Self().driver = driver; }
  ~AsDriver() { Self().driver = saved_; }

 private:
  PDRIVER_OBJECT saved_;
};

// Records a verifier report; `where` names the driver's call site.
void Verify(Check check, const std::string& message, const std::source_location& where);
void Verify(Check check, const std::string& message);
// Reports and aborts, as a bug check stops the machine.
[[noreturn]] void Fatal(Check check, const std::string& message, const std::source_location& where);
std::string Where(const std::source_location& where);

// Checks that the thread runs at or below `maximum` for `call`.
void CheckIrql(KIRQL maximum, const char* call, const std::source_location& where);

// The dispatcher lock guards every dispatcher object, timer, DPC and work queue. `Signal` is
// notified on every state change that may release a waiter.
std::mutex& DispatcherLock();
std::condition_variable& Signal();

// System time (100 ns since 1601, with the world's offset) and interrupt time (monotonic).
LONGLONG SystemTimeNow();
LONGLONG InterruptTimeNow();

// Queue housekeeping used by ResetWorld.
void StartKernelThreads();

// Pool checks for one driver (nullptr: everything); reports leaks and returns their count.
size_t ReportPoolLeaks(PDRIVER_OBJECT driver, const char* when);
void ClearPool();
// Device and IRP checks at unload/reset.
void ReportIoLeftovers(PDRIVER_OBJECT driver, const char* when);
void ClearIo();
size_t ReportHandleLeaks(PDRIVER_OBJECT driver, const char* when);
void ClearRegistry();
void ClearKernel();
void ClearCompanion();

// The world's bus driver and its PDOs.
struct PdoInfo;
PdoInfo* PdoOf(PDEVICE_OBJECT device);
bool IsPdo(PDEVICE_OBJECT device);
const PdoDescription* PdoDescriptionOf(PDEVICE_OBJECT device);

// Text helpers.
std::u16string FromUnicode(PCUNICODE_STRING s);
std::u16string Upper(std::u16string s);
PWSTR PoolString(const std::u16string& s, POOL_TYPE type, ULONG tag, USHORT* bytes,
                 const std::source_location& where);
std::string GuidText(const GUID& guid);

}  // namespace wdmemu
