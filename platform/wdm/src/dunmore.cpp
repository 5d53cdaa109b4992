// The companion driver's ten routines as the emulation provides them: the version code and the
// early-release answer are the test's choice, and each routine address can be made missing.
#include <set>
#include <string>

#include "internal.h"

namespace wdmemu {
namespace {
struct Companion {
  std::mutex lock;
  ULONG version = 9;
  NTSTATUS versionStatus = STATUS_SUCCESS;
  bool earlyRelease = false;
  std::set<std::string> missing;
};
Companion& C() {
  static Companion* companion = new Companion;
  return *companion;
}
bool Missing(const char* name) {
  std::lock_guard<std::mutex> guard(C().lock);
  return C().missing.count(name) != 0;
}
}  // namespace

void SetSystemVersionCode(ULONG code, NTSTATUS status) {
  std::lock_guard<std::mutex> guard(C().lock);
  C().version = code;
  C().versionStatus = status;
}
void SetEarlyRelease(bool earlyRelease) {
  std::lock_guard<std::mutex> guard(C().lock);
  C().earlyRelease = earlyRelease;
}
void SetRoutineMissing(const char* routineName, bool missing) {
  std::lock_guard<std::mutex> guard(C().lock);
  if (missing)
    C().missing.insert(routineName);
  else
    C().missing.erase(routineName);
}
void ClearCompanion() {
  std::lock_guard<std::mutex> guard(C().lock);
  C().version = 9;
  C().versionStatus = STATUS_SUCCESS;
  C().earlyRelease = false;
  C().missing.clear();
}

}  // namespace wdmemu

using namespace wdmemu;

// Signatures as the driver declares them (driver/core/dunmore.h).
extern "C" {

NTSTATUS SelkWH_QuerySystemVersion(PULONG version) {
  std::lock_guard<std::mutex> guard(C().lock);
  if (NT_SUCCESS(C().versionStatus)) *version = C().version;
  return C().versionStatus;
}

NTSTATUS SelkWH_QuerySystem98Gold() {
  std::lock_guard<std::mutex> guard(C().lock);
  return C().earlyRelease ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
}

#define WDMEMU_FIND(Name, Routine)             \
  NTSTATUS SelkWH_Find##Name(PVOID* routine) { \
    if (Missing(#Routine)) {                   \
      *routine = nullptr;                      \
      return STATUS_NOT_FOUND;                 \
    }                                          \
    *routine = (PVOID)&Routine;                \
    return STATUS_SUCCESS;                     \
  }

WDMEMU_FIND(PoCallDriver, PoCallDriver)
WDMEMU_FIND(PoStartNextPowerIrp, PoStartNextPowerIrp)
WDMEMU_FIND(PoRequestPowerIrp, PoRequestPowerIrp)
WDMEMU_FIND(PoSetPowerState, PoSetPowerState)
WDMEMU_FIND(IoOpenDeviceRegistryKey, IoOpenDeviceRegistryKey)
WDMEMU_FIND(IoGetAttachedDeviceReference, IoGetAttachedDeviceReference)
WDMEMU_FIND(IoRegisterDeviceInterface, IoRegisterDeviceInterface)
WDMEMU_FIND(IoSetDeviceInterfaceState, IoSetDeviceInterfaceState)

}  // extern "C"
