// The test world behind the kernel model: what tests and tools control and inspect.
//
// Drivers never include this. A test loads a driver, makes physical device objects, sends IRPs
// the way the I/O manager and the Plug and Play manager would, moves the clock, seeds the
// registry and reads back what the verifier saw. Between tests, ResetWorld() waits for queued
// DPCs and work items, runs the end-of-test checks and clears everything.
#pragma once

#include <wdm.h>

#include <functional>
#include <string>
#include <vector>

namespace wdmemu {

// ---- the verifier ---------------------------------------------------------------------------

// Every class of mistake the verifier reports. Reports never stop the program; bug checks
// (KeBugCheckEx, running out of stack locations) print the same kind of report and abort.
enum class Check {
  IrpCompletedTwice,             // IoCompleteRequest on an IRP that had already completed
  IrpNeverCompleted,             // an IRP still outstanding when the world was reset
  IrpLostAfterMoreProcessing,    // a completion routine took the IRP back and nobody finished it
  IrpNotFreed,                   // IoAllocateIrp without IoFreeIrp
  IrpCompletedToCreator,         // an IoAllocateIrp IRP completed past its creator (no MPR)
  IrpUseAfterCompletion,         // IoCallDriver/IoFreeIrp/... on an IRP that completed or was freed
  IrpCompletedWithPending,       // IoCompleteRequest with IoStatus.Status == STATUS_PENDING
  PendingMismatch,               // STATUS_PENDING returned without IoMarkIrpPending, or the reverse
  CancelRoutineLost,             // completed with a cancel routine still set
  CancelLockHeld,                // a cancel routine returned holding the cancel spin lock
  WaitAtDispatch,                // a wait with a nonzero time-out at DISPATCH_LEVEL or above
  SpinLockWrongIrql,             // released at an IRQL other than DISPATCH_LEVEL, or acquired
                                 // "at DPC level" below it
  SpinLockNotOwner,              // released by a thread that does not hold it
  IrqlTooHigh,                   // a call made above the IRQL it allows
  IrqlNotRestored,               // a routine returned at another IRQL than it was called at
  PoolLeak,                      // pool still allocated when its driver unloaded (or at reset)
  PoolBadFree,                   // freeing memory that is not pool, twice, or with the wrong tag
  DeviceDeletedWhileReferenced,  // a deleted device still referenced at unload or reset
  DeviceDeletedTwice,
  DeviceDeletedWhileAttached,  // IoDeleteDevice while another device is attached above it
  IrpToDeletedDevice,
  WorkItemQueuedTwice,  // queueing a work item that is still queued
  WorkStillRunning,     // DPCs or work items still queued or running when the world was reset
  HandleLeak,           // registry handles left open at unload or reset
  MutexNotOwned,        // KeReleaseMutex by a thread that does not own it
  PowerRule,            // power manager rules (PoStartNextPowerIrp, PoRequestPowerIrp)
  PnpRule,              // Plug and Play rules (IDs, relations, required successes)
  Assertion,            // ASSERT / DbgBreakPoint reached
  BugCheck,
};
const char* CheckName(Check check);

struct Report {
  Check check;
  std::string message;
  std::string where;  // "file:line (function)" of the driver call that caused it, when known
};

// Reports made since the last call, oldest first.
std::vector<Report> TakeReports();
// Called (on the reporting thread) for every report as it happens, after it is recorded.
void SetReportObserver(std::function<void(const Report&)> observer);

// Systems before Vista serialise power IRPs: every driver calls PoStartNextPowerIrp once for
// each QUERY_POWER and SET_POWER while its own stack location is current. With this on, a
// location that completes such an IRP without that call is reported (a driver that skips its
// location hands the duty to the one below). Off by default, as from Vista on; reset clears it.
void SetLegacyPowerRules(bool legacy);

// ---- lifecycle ------------------------------------------------------------------------------

// Waits until no DPC or work item is queued or running (timers may still be set). False when
// that did not happen within the time-out.
bool Quiesce(int timeoutMs = 10000);
// Quiesces, unloads drivers that are still loaded, reports what is left over (outstanding IRPs,
// pool, handles, referenced deleted devices) and clears all state for the next test.
void ResetWorld();

// ---- drivers ----------------------------------------------------------------------------------

// Creates the driver object (name like u"\\Driver\\hollin") with its service key
// (\Registry\Machine\System\CurrentControlSet\Services\<service>) and calls the entry at
// PASSIVE_LEVEL. Returns null when the entry fails; *status receives its result.
PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE entry, const std::u16string& service,
                          NTSTATUS* status = nullptr);
// Calls DriverUnload (which runs only when every device object of the driver is gone), then
// reports pool, handles and IRPs the driver left behind.
void UnloadDriver(PDRIVER_OBJECT driver);

// ---- physical device objects ------------------------------------------------------------------

// What the bus reports for a device the world plugs in. The bus driver answers the identity,
// text and capability queries from this and passes every other IRP, power IRPs included, to
// `handler` (when set) — that is where the USB bus device of sim/usb plugs in. Without a
// handler, power IRPs succeed (WAIT_WAKE is not supported) and the rest fail NOT_SUPPORTED.
struct PdoDescription {
  std::u16string instancePath = u"USB\\VID_0000&PID_0000\\0";  // Enum path; also the device ID
  std::vector<std::u16string> hardwareIds;
  std::vector<std::u16string> compatibleIds;
  std::u16string description;
  std::u16string location;
  // Class key instance under ...\Control\Class\, e.g. u"{4d36e978-...}\\0000".
  std::u16string driverKey = u"{00000000-0000-0000-0000-000000000000}\\0000";
  DEVICE_CAPABILITIES capabilities{};  // Size/Version are filled in
  ULONG address = 0xFFFFFFFF;
  std::function<NTSTATUS(PDEVICE_OBJECT pdo, PIRP irp)> handler;
};
PDEVICE_OBJECT CreatePdo(const PdoDescription& description);
// The registry paths IoOpenDeviceRegistryKey opens for a PDO.
std::u16string DriverKeyPath(PDEVICE_OBJECT pdo);
std::u16string DeviceKeyPath(PDEVICE_OBJECT pdo);

// ---- the Plug and Play and power managers ---------------------------------------------------

// Calls the driver's AddDevice for `pdo` at PASSIVE_LEVEL, as the Plug and Play manager does
// once per device before START.
NTSTATUS PnpAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
// START (bus driver first is the stack's business), then QUERY_CAPABILITIES,
// QUERY_PNP_DEVICE_STATE and bus relations (PnpEnumerate). Returns START's status.
NTSTATUS PnpStartDevice(PDEVICE_OBJECT pdo);
// QUERY_DEVICE_RELATIONS/BusRelations: new children are adopted as PDOs, asked for their IDs,
// texts and capabilities (IDs are checked against the rules) and then started like PnpStartDevice
// does, as raw devices (no function driver is installed above them). A child whose start fails
// gets REMOVE and stays present, not started. Children no longer reported get SURPRISE_REMOVAL
// (when started) and REMOVE. The list and its references are released as Windows does.
NTSTATUS PnpEnumerate(PDEVICE_OBJECT pdo);

struct ChildIdentity {
  PDEVICE_OBJECT pdo = nullptr;
  std::u16string deviceId, instanceId, description, location;
  std::vector<std::u16string> hardwareIds, compatibleIds;
  DEVICE_CAPABILITIES capabilities{};
};
// IoInvalidateDeviceRelations(BusRelations) and IoInvalidateDeviceState on a started device
// queue PnpEnumerate or a QUERY_PNP_DEVICE_STATE on a worker thread; Quiesce() waits for them.

// The present children of a started device, with what they answered.
std::vector<ChildIdentity> PnpChildren(PDEVICE_OBJECT pdo);

// QUERY_REMOVE, then REMOVE (children first), or CANCEL_REMOVE on a veto (returned).
NTSTATUS PnpRemoveDevice(PDEVICE_OBJECT pdo);
// SURPRISE_REMOVAL then REMOVE, children first.
void PnpSurpriseRemove(PDEVICE_OBJECT pdo);
// QUERY_STOP, then STOP — or CANCEL_STOP when vetoed or when `cancel` asks for a rebalance that
// does not happen (then STATUS_CANCELLED).
NTSTATUS PnpStopDevice(PDEVICE_OBJECT pdo, bool cancel = false);
// A system power transition: QUERY_POWER (except for S0) and SET_POWER with a system state, to
// the top of the stack. Returns the query's veto or the set's status.
NTSTATUS PoSetSystemState(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state);

// ---- IRPs from the world ----------------------------------------------------------------------

// An IRP the world (as I/O manager or Plug and Play manager) sends. Stack size comes from the
// target's stack; PnP IRPs start with IoStatus.Status = STATUS_NOT_SUPPORTED as on Windows.
// The world owns it: it must not be freed by drivers, and it is released at ResetWorld.
PIRP BuildIrp(PDEVICE_OBJECT target, UCHAR major, UCHAR minor = 0);
// Sends at the current thread's IRQL (PASSIVE for test threads) and returns the dispatch status.
NTSTATUS SendIrp(PDEVICE_OBJECT target, PIRP irp);
// True once the IRP has completed back to the world.
bool IrpCompleted(PIRP irp);
// Waits for completion back to the world; false on time-out.
bool WaitForIrp(PIRP irp, int timeoutMs = 10000);
// IoStatus as it was when the IRP reached the world.
IO_STATUS_BLOCK CompletedStatus(PIRP irp);
// Builds, sends and waits (PASSIVE_LEVEL). Information is returned through *information.
NTSTATUS SendAndWait(PDEVICE_OBJECT target, PIRP irp, ULONG_PTR* information = nullptr,
                     int timeoutMs = 10000);

// ---- the clock ------------------------------------------------------------------------------

// Moves system time (absolute timers follow it; relative ones and interrupt time do not).
void MoveClock(LONGLONG delta100ns);

// ---- the registry -----------------------------------------------------------------------------

// Paths are full kernel paths (u"\\Registry\\Machine\\System\\...").
void RegistrySetValue(const std::u16string& keyPath, const std::u16string& name, ULONG type,
                      const void* data, size_t size);
void RegistrySetDword(const std::u16string& keyPath, const std::u16string& name, ULONG value);
void RegistrySetString(const std::u16string& keyPath, const std::u16string& name,
                       const std::u16string& value);
bool RegistryGetValue(const std::u16string& keyPath, const std::u16string& name, ULONG* type,
                      std::vector<UCHAR>* data);
void RegistryDeleteKey(const std::u16string& keyPath);

// ---- pool -------------------------------------------------------------------------------------

size_t PoolAllocationCount();
// Makes pool allocations fail: after `skip` successes, `count` failures (count < 0: all).
void InjectPoolFailure(int skip, int count = 1);

// ---- names, interfaces, error log ---------------------------------------------------------------

struct SymbolicLink {
  std::u16string link, target;
  bool unprotected;
};
std::vector<SymbolicLink> SymbolicLinks();

struct DeviceInterface {
  std::u16string link;
  GUID guid;
  PDEVICE_OBJECT pdo;
  bool enabled;
};
std::vector<DeviceInterface> DeviceInterfaces();

struct ErrorLogEntry {
  PVOID ioObject;
  IO_ERROR_LOG_PACKET packet;  // the fixed part
  std::vector<UCHAR> bytes;    // the whole entry as the driver wrote it
};
std::vector<ErrorLogEntry> ErrorLog();

// ---- the companion driver ---------------------------------------------------------------------

// What the companion driver's routines answer on the emulation.
void SetSystemVersionCode(ULONG code, NTSTATUS status = STATUS_SUCCESS);
void SetEarlyRelease(bool earlyRelease);
// Makes one of the Find routines (by kernel routine name, e.g. "PoCallDriver") report that the
// system lacks it.
void SetRoutineMissing(const char* routineName, bool missing = true);

// ---- text -------------------------------------------------------------------------------------

std::string Narrow(std::u16string_view text);
std::u16string Widen(std::string_view text);
std::u16string ToU16(const UNICODE_STRING& string);

}  // namespace wdmemu
