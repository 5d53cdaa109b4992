// The records every hollin device object and the driver object share: the constant driver
// descriptor with its hooks and handlers, the per-driver run-time record, the parameter block
// and the device extensions.
#pragma once

#include "core/hollin_platform.h"

#include "core/dunmore.h"
#include "core/timers.h"
#include "core/trace.h"

namespace hollin {

constexpr ULONG kMajorFunctionCount = IRP_MJ_MAXIMUM_FUNCTION + 1;
constexpr ULONG kDescriptorSignature = 0x598464C1;
// "Holl" in a pool dump.
constexpr ULONG kPoolTag = 0x6c6c6f48;

struct DriverRecord;
struct DeviceExtensionHeader;
struct ParentExtension;
struct PersonalityTable;

// ---- the constant driver descriptor -------------------------------------------------------------

// One handler per slot; a null slot leaves the major function to PassDown.
struct HandlerTable {
  PDRIVER_DISPATCH OnCreate = {};                 // 0
  PDRIVER_DISPATCH OnClose = {};                  // 1
  PDRIVER_DISPATCH OnCleanup = {};                // 2
  PDRIVER_DISPATCH OnDeviceControl = {};          // 3
  PDRIVER_DISPATCH OnInternalDeviceControl = {};  // 4
  PDRIVER_DISPATCH OnPnpLegacy = {};              // 5, system version code 1
  PDRIVER_DISPATCH OnRead = {};                   // 6
  PDRIVER_DISPATCH OnWrite = {};                  // 7
  PDRIVER_DISPATCH OnQueryInformation = {};       // 8
  PDRIVER_DISPATCH OnSetInformation = {};         // 9
  PDRIVER_DISPATCH OnPowerLegacy = {};            // 10, system version code 1
  PDRIVER_DISPATCH OnPower = {};                  // 11
  PDRIVER_DISPATCH OnPnp = {};                    // 12
  PDRIVER_DISPATCH OnSystemControl = {};          // 13, version codes 2 to 12
};

struct DriverDescriptor {
  ULONG Signature = {};
  NTSTATUS (*OnDriverInit)(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) = {};
  PDRIVER_ADD_DEVICE AddDevice = {};
  NTSTATUS (*OnDriverRecordCreated)(DriverRecord* record) = {};
  VOID (*OnDriverRecordReleased)(DriverRecord* record) = {};
  NTSTATUS (*OnStartHook)(PDEVICE_OBJECT parent) = {};
  VOID (*OnDeviceCleanup)(PDEVICE_OBJECT parent) = {};
  NTSTATUS (*OnDeviceStart)(PDEVICE_OBJECT parent) = {};
  NTSTATUS (*OnDeviceStop)(PDEVICE_OBJECT parent) = {};
  NTSTATUS(*OnQueryDeviceRelations)
  (ParentExtension* extension, PIRP irp, PIO_STACK_LOCATION stack, BOOLEAN* completed) = {};
  VOID (*OnDeviceDelete)(PDEVICE_OBJECT parent) = {};
  const void* KeepSymbolicLinks = {};
  VOID (*OnDeleteSymbolicLinks)(PDEVICE_OBJECT parent) = {};
  NTSTATUS(*OnPowerQuery)
  (PDEVICE_OBJECT parent, SYSTEM_POWER_STATE systemState, DEVICE_POWER_STATE deviceState) = {};
  VOID (*OnDevicePowerNotify)(PDEVICE_OBJECT parent, DEVICE_POWER_STATE deviceState) = {};
  VOID (*OnDevicePowerChanging)(PDEVICE_OBJECT parent, DEVICE_POWER_STATE deviceState) = {};
  NTSTATUS (*OnQueryRemove)(PDEVICE_OBJECT parent) = {};
  VOID (*OnRemoveQueryEnded)(PDEVICE_OBJECT parent, BOOLEAN cancelled) = {};
  NTSTATUS (*OnQueryStopOverride)(PDEVICE_OBJECT parent) = {};
  VOID (*OnStopQueryEnded)(PDEVICE_OBJECT parent, BOOLEAN cancelled) = {};
  NTSTATUS (*OnQueryInterface)(ParentExtension* extension, PIRP irp, PIO_STACK_LOCATION stack) = {};
  VOID (*OnSurpriseRemoval)(PDEVICE_OBJECT parent) = {};
  NTSTATUS (*OnSelectConfiguration)(ParentExtension* extension) = {};
  NTSTATUS (*OnConfigureDevice)(PDEVICE_OBJECT parent) = {};
  NTSTATUS (*OnQueryId)(PDEVICE_OBJECT parent, PIRP irp, PIO_STACK_LOCATION stack) = {};
  VOID (*OnSystemPowerNotify)(PDEVICE_OBJECT parent, PIRP irp) = {};
  NTSTATUS (*OnQueryPnpDeviceState)(PDEVICE_OBJECT parent, PIRP irp, PIO_STACK_LOCATION stack) = {};
  VOID (*OnPowerResult)(PDEVICE_OBJECT parent, PIRP irp, ULONG kind, NTSTATUS status) = {};
  const WCHAR* SymbolicLinkPrefix = {};
  const WCHAR* DeviceNamePrefix = {};
  ULONGLONG SymbolicLinkPrefixSize = {};  // bytes, terminating NUL included
  ULONGLONG DeviceNamePrefixSize = {};
  const PersonalityTable* Personalities = {};
  HandlerTable Handlers = {};
};

// ---- the per-driver record ----------------------------------------------------------------------

struct DriverRecord {
  PDRIVER_OBJECT DriverObject;
  volatile LONG DeviceCount;
  KEVENT RecordEvent;
  ::PoCallDriverRoutine PoCallDriverRoutine;
  ::PoStartNextPowerIrpRoutine PoStartNextPowerIrpRoutine;
  ::PoRequestPowerIrpRoutine PoRequestPowerIrpRoutine;
  ::PoSetPowerStateRoutine PoSetPowerStateRoutine;
  ULONG SystemVersion;
  LIST_ENTRY DeviceList;
  PDRIVER_DISPATCH SavedDispatch[kMajorFunctionCount];
  // The descriptor of the AddDevice that created the record, for its release hook.
  const DriverDescriptor* Descriptor;
};

// ---- parameters ---------------------------------------------------------------------------------

enum ParameterIndex : ULONG {
  ParamMCPCOperationalLink = 0,
  ParamMCPCOperationalMode,
  ParamMinimumIntPipeInterval,
  ParamEnableCR3329,
  ParamAllowRemoteWakeup,
  ParamEnableSelectiveSuspend,
  ParamSSIdleDetectionInterval,
  ParamRemovableChildren,
  ParamEnableCR3840,
  ParamEnableCR6394,
  ParamConfiguration,
  ParamDebugLevel,
  ParamEnableAssert,
  ParamDeviceWatchdogIntervalInMsec,
  ParamInitActivityBugCheck,
  ParamCUSBDTimeoutInMsec,
  ParamRemoveDelayInMsec,
  ParamDevStateForS1,
  ParamDevStateForS2,
  ParamDevStateForS3,
  ParamDevStateForS4,
  ParamDevStateForS5,
  ParamNotifyIoRetries,
  ParameterCount
};

struct ParameterEntry {
  ULONG Value;
  ULONG Default;
  UCHAR Present;
};

struct ParameterBlock {
  ParameterEntry Entries[ParameterCount];
};

// ---- device extensions --------------------------------------------------------------------------

enum PnpState : ULONG {
  NotStarted = 0,
  Started = 1,
  StopPending = 2,
  Stopped = 3,
  RemovePending = 4,
  SurpriseRemoved = 5,
  Removed = 6,
  Deleted = 7,
};

enum RequestGate : LONG {
  GateHold = 0,
  GatePass = 1,
  GateReject = 2,
};

// AssertFlags bit 0: the consistency checks (I/O count, timer ownership) stop at a debugger
// breakpoint when they fail; with the bit clear no check is made.
constexpr ULONG kEnableAssert = 0x1;

// The hold mask while AddDevice runs and from its end on (CREATE, READ, WRITE).
constexpr ULONG kHoldEverything = 0xFFFFFFFF;
constexpr ULONG kDefaultHoldMask = 0x19;

// The first fields of every extension, parent and child alike.
struct DeviceExtensionHeader {
  PDRIVER_OBJECT DriverObject;
  struct DriverRecord* DriverRecord;
  PDEVICE_OBJECT BusDevice;
  PDEVICE_OBJECT TargetDevice;
  PDEVICE_OBJECT Self;
  ULONG InstanceNumber;
  LONG OpenCount;
  volatile LONG OpenGuard;
  PVOID ClientData;
  const DriverDescriptor* Descriptor;
  ParameterBlock* Parameters;
};

// The capability record of the legacy system family (version code 1).
struct LegacyDeviceCapabilities {
  USHORT Size;
  USHORT Version;
  ULONG Flags;
  ULONG Address;
  ULONG UINumber;
  UCHAR Reserved[16];
};
static_assert(sizeof(LegacyDeviceCapabilities) == 32, "the legacy record is 32 bytes");

// A device interface the client registered on the parent.
struct RegisteredInterface {
  UNICODE_STRING Name;
  BOOLEAN Enabled;
};

struct ParentExtension {
  DeviceExtensionHeader Header;

  // Capabilities
  PDEVICE_CAPABILITIES Capabilities;
  LegacyDeviceCapabilities* LegacyCapabilities;

  // Power states
  SYSTEM_POWER_STATE SystemPowerState;
  SYSTEM_POWER_STATE RequestedSystemState;
  SYSTEM_POWER_STATE SetSystemState;
  SYSTEM_POWER_STATE PreviousSystemPowerState;
  DEVICE_POWER_STATE DevicePowerState;
  DEVICE_POWER_STATE RequestedDeviceState;
  DEVICE_POWER_STATE SuspendDeviceState;
  DEVICE_POWER_STATE SuspendTarget;

  // Plug and Play
  enum PnpState PnpState;
  enum PnpState PreviousPnpState;

  ::Trace Trace;

  KMUTEX PowerMutex;

  // USB configuration
  ULONG MinimumIntPipeInterval;
  PVOID ConfigurationHandle;
  PVOID ConfigurationSet;
  ULONG Personality;
  BOOLEAN WakeSupported;
  BOOLEAN RemoteWakeup;

  // Flags
  BOOLEAN Unconfigured;
  BOOLEAN Stopping;

  // Names
  UNICODE_STRING DeviceName;
  UNICODE_STRING SymbolicLinkName;
  BOOLEAN UseInstanceNumber;
  RegisteredInterface* Interfaces;
  ULONG InterfaceCount;

  // Time-out of timed USB requests, 100-ns units; 0 = none
  LONGLONG UsbTimeout;
  ULONG TimeoutDebug;

  ULONG PoolTag;

  // I/O count
  volatile LONG IoCount;
  volatile LONG PowerIrpCount;
  KEVENT SurpriseRemovalEvent;
  KEVENT RemoveEvent;
  KEVENT IdleEvent;

  // Request gate
  volatile LONG Gate;
  ULONG HoldMask;
  LIST_ENTRY HoldQueue;
  KSPIN_LOCK HoldLock;

  // Selective suspend
  ULONG RemovableChildren;
  ULONG IdleConfig;
  ULONG IdleFlags;
  ULONG IdleInterval;
  LONGLONG MinSSElapsedTime;
  volatile BOOLEAN Suspended;
  volatile LONG CreateCount;
  ULONG AllowRemoteWakeup;
  KEVENT TickDone;
  KEVENT ResumeWorkDone;
  KEVENT ResumeDone;
  KEVENT IdleIrpDone;
  PVOID IdleCheckRoutine;
  PVOID IdleWorkRoutine;
  PVOID ResumeWorkRoutine;
  PIRP IdleIrp;
  PIRP PowerRequestIrp;

  // Parameters kept
  ULONG EnableCR3329;
  ULONG EnableCR6394;
  ULONG DebugLevel;
  ULONG AssertFlags;  // bit 0: kEnableAssert

  LIST_ENTRY DeviceListEntry;

  // Last field of every extension: one routine per major function.
  PDRIVER_DISPATCH Dispatch[kMajorFunctionCount];
};

// Parent and child extensions have this one size, and a child's Dispatch table sits at the same
// offset as the parent's, so framework code can reach it without knowing which one it has.
constexpr ULONG kDeviceExtensionSize = sizeof(ParentExtension);
constexpr ULONG kDispatchOffset = offsetof(ParentExtension, Dispatch);

inline DeviceExtensionHeader* HeaderOf(PDEVICE_OBJECT device) {
  return static_cast<DeviceExtensionHeader*>(device->DeviceExtension);
}
inline ParentExtension* ParentOf(PDEVICE_OBJECT device) {
  return static_cast<ParentExtension*>(device->DeviceExtension);
}
// For routines that must cope with a device object without extension, or no device at all.
inline ParentExtension* ParentOrNull(PDEVICE_OBJECT device) {
  return device ? static_cast<ParentExtension*>(device->DeviceExtension) : nullptr;
}
inline PDRIVER_DISPATCH* DispatchTableOf(PDEVICE_OBJECT device) {
  return reinterpret_cast<PDRIVER_DISPATCH*>(static_cast<UCHAR*>(device->DeviceExtension) +
                                             kDispatchOffset);
}
inline ULONG ParameterValue(const ParentExtension* extension, ParameterIndex index,
                            ULONG fallback) {
  return extension->Header.Parameters ? extension->Header.Parameters->Entries[index].Value
                                      : fallback;
}

}  // namespace hollin
