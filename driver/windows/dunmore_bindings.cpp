// Direct bindings of the companion routines for Windows builds: every system this image runs on
// is NT-based and exports the routines itself, so the lookups answer with the kernel's own
// addresses and the version code comes from RtlGetVersion.
#include "core/hollin_platform.h"

#include <ntddk.h>

#include "core/dunmore.h"

namespace {

// Version codes by NT release. The driver relies only on 1 (legacy family, never an NT system),
// 4 and up, 5 and up, and 2 to 12.
ULONG VersionCode(const RTL_OSVERSIONINFOW& v) {
  if (v.dwMajorVersion == 5) return v.dwMinorVersion == 0 ? 2 : v.dwMinorVersion == 1 ? 3 : 4;
  if (v.dwMajorVersion == 6) return v.dwMinorVersion >= 3 ? 8 : 5 + v.dwMinorVersion;
  if (v.dwMajorVersion >= 10) return v.dwBuildNumber >= 22000 ? 10 : 9;
  return 2;
}

}  // namespace

extern "C" {

NTSTATUS NTAPI SelkWH_QuerySystemVersion(PULONG version) {
  RTL_OSVERSIONINFOW info;
  RtlZeroMemory(&info, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  NTSTATUS status = RtlGetVersion(&info);
  if (NT_SUCCESS(status)) *version = VersionCode(info);
  return status;
}

NTSTATUS NTAPI SelkWH_QuerySystem98Gold() { return STATUS_NOT_SUPPORTED; }

NTSTATUS NTAPI SelkWH_FindPoCallDriver(PVOID* routine) {
  *routine = (PVOID)&PoCallDriver;
  return STATUS_SUCCESS;
}
NTSTATUS NTAPI SelkWH_FindPoStartNextPowerIrp(PVOID* routine) {
  *routine = (PVOID)&PoStartNextPowerIrp;
  return STATUS_SUCCESS;
}
NTSTATUS NTAPI SelkWH_FindPoRequestPowerIrp(PVOID* routine) {
  *routine = (PVOID)&PoRequestPowerIrp;
  return STATUS_SUCCESS;
}
NTSTATUS NTAPI SelkWH_FindPoSetPowerState(PVOID* routine) {
  *routine = (PVOID)&PoSetPowerState;
  return STATUS_SUCCESS;
}
NTSTATUS NTAPI SelkWH_FindIoOpenDeviceRegistryKey(PVOID* routine) {
  *routine = (PVOID)&IoOpenDeviceRegistryKey;
  return STATUS_SUCCESS;
}
NTSTATUS NTAPI SelkWH_FindIoGetAttachedDeviceReference(PVOID* routine) {
  *routine = (PVOID)&IoGetAttachedDeviceReference;
  return STATUS_SUCCESS;
}
NTSTATUS NTAPI SelkWH_FindIoRegisterDeviceInterface(PVOID* routine) {
  *routine = (PVOID)&IoRegisterDeviceInterface;
  return STATUS_SUCCESS;
}
NTSTATUS NTAPI SelkWH_FindIoSetDeviceInterfaceState(PVOID* routine) {
  *routine = (PVOID)&IoSetDeviceInterfaceState;
  return STATUS_SUCCESS;
}

}  // extern "C"
