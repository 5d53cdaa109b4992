// The ten routines hollin imports from the companion driver dunmore: the system's version
// code, the early-release answer, and the addresses of kernel routines that some systems lack.
#pragma once

#include "core/hollin_platform.h"

extern "C" {

// On success *version holds the version code: 1 for the legacy family, 2 to 12 for the others.
NTSTATUS NTAPI SelkWH_QuerySystemVersion(PULONG version);
// Success only on the one early release that needs the special power treatment.
NTSTATUS NTAPI SelkWH_QuerySystem98Gold();

// Each stores the routine's address, or null when the system lacks it. The four power lookups'
// statuses carry no meaning; the others fail when the routine is unavailable.
NTSTATUS NTAPI SelkWH_FindPoCallDriver(PVOID* routine);
NTSTATUS NTAPI SelkWH_FindPoStartNextPowerIrp(PVOID* routine);
NTSTATUS NTAPI SelkWH_FindPoRequestPowerIrp(PVOID* routine);
NTSTATUS NTAPI SelkWH_FindPoSetPowerState(PVOID* routine);
NTSTATUS NTAPI SelkWH_FindIoOpenDeviceRegistryKey(PVOID* routine);
NTSTATUS NTAPI SelkWH_FindIoGetAttachedDeviceReference(PVOID* routine);
NTSTATUS NTAPI SelkWH_FindIoRegisterDeviceInterface(PVOID* routine);
NTSTATUS NTAPI SelkWH_FindIoSetDeviceInterfaceState(PVOID* routine);

}  // extern "C"

// The contracts the looked-up addresses are called with.
typedef NTSTATUS(NTAPI* PoCallDriverRoutine)(PDEVICE_OBJECT device, PIRP irp);
typedef VOID(NTAPI* PoStartNextPowerIrpRoutine)(PIRP irp);
typedef NTSTATUS(NTAPI* PoRequestPowerIrpRoutine)(PDEVICE_OBJECT device, UCHAR minorFunction,
                                                  POWER_STATE state,
                                                  PREQUEST_POWER_COMPLETE completion, PVOID context,
                                                  PIRP* irp);
typedef POWER_STATE(NTAPI* PoSetPowerStateRoutine)(PDEVICE_OBJECT device, POWER_STATE_TYPE type,
                                                   POWER_STATE state);
typedef NTSTATUS(NTAPI* IoOpenDeviceRegistryKeyRoutine)(PDEVICE_OBJECT device, ULONG keyType,
                                                        ACCESS_MASK access, PHANDLE key);
typedef PDEVICE_OBJECT(NTAPI* IoGetAttachedDeviceReferenceRoutine)(PDEVICE_OBJECT device);
typedef NTSTATUS(NTAPI* IoRegisterDeviceInterfaceRoutine)(PDEVICE_OBJECT pdo, CONST GUID* guid,
                                                          PUNICODE_STRING reference,
                                                          PUNICODE_STRING link);
typedef NTSTATUS(NTAPI* IoSetDeviceInterfaceStateRoutine)(PUNICODE_STRING link, BOOLEAN enable);
