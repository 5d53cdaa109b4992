// The I/O manager: IRPs, completion and cancel, device and driver objects, references, names,
// interfaces, work items, the error log, and the world's side of sending IRPs.
//
// The model keeps a record beside every IRP and device. IRP memory and deleted devices stay
// allocated (poisoned) until ResetWorld, so that a late completion or a call on a freed object
// is reported instead of silently reusing memory.
#include <map>
#include <unordered_map>
#include <vector>

#include "internal.h"
#include "kernel_queues.h"

static_assert(sizeof(IRP) == 208, "IRP layout differs from 64-bit Windows");
static_assert(sizeof(IO_STACK_LOCATION) == 72, "IO_STACK_LOCATION layout differs");
static_assert(offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 184, "IRP Tail layout");
static_assert(offsetof(IRP, CancelRoutine) == 104, "IRP CancelRoutine offset");
static_assert(offsetof(IO_STACK_LOCATION, DeviceObject) == 40, "stack location layout");
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES layout");
static_assert(sizeof(UNICODE_STRING) == 16, "UNICODE_STRING layout");
static_assert(sizeof(IO_ERROR_LOG_PACKET) == 48 && offsetof(IO_ERROR_LOG_PACKET, DumpData) == 40,
              "IO_ERROR_LOG_PACKET layout");
static_assert(sizeof(PNP_BUS_INFORMATION) == 24, "PNP_BUS_INFORMATION layout");

namespace wdmemu {

struct PdoInfo {
  PdoDescription description;
};

namespace {

enum class Origin { Allocated, Initialized, World, Threaded };
enum class State { Owned, Completed, Freed };

struct LocationTrack {
  unsigned generation = 0;
  bool returned = false;          // the dispatch routine of this location has returned
  NTSTATUS status = 0;            // what it returned
  bool passed = false;            // completion has walked up past this location
  bool marked = false;            // SL_PENDING_RETURNED when it did
  bool startedNextPower = false;  // PoStartNextPowerIrp while this location was current
  std::source_location sentAt;
  PDEVICE_OBJECT device = nullptr;
};

struct IrpRecord {
  Origin origin;
  State state = State::Owned;
  std::source_location createdAt;
  PDRIVER_OBJECT creator = nullptr;
  bool sent = false;
  bool reclaimed = false;  // a completion routine returned STATUS_MORE_PROCESSING_REQUIRED
  std::source_location reclaimSite;  // where that routine was set
  std::source_location completedAt;
  std::vector<LocationTrack> locations;            // index = stack location number - 1
  std::vector<std::source_location> routineSites;  // where each location's routine was set
  size_t bytes = 0;
  IO_STATUS_BLOCK final{};
  unsigned generation = 0;
};

struct DeviceRecord {
  PDEVICE_OBJECT device;
  std::u16string name;
  bool deleted = false;
  std::source_location deletedAt;
  std::source_location createdAt;
  PDEVICE_OBJECT lower = nullptr;
  PdoInfo* pdo = nullptr;
  bool createdInEntry = false;
  POWER_STATE deviceState{};
};

struct DriverRecord {
  std::u16string service;
  std::map<PVOID, PVOID> extensions;
  bool inEntry = false;
  bool unloaded = false;
};

struct Interface {
  std::u16string link;
  GUID guid;
  PDEVICE_OBJECT pdo;
  bool enabled = false;
};

struct Io {
  std::recursive_mutex lock;
  std::condition_variable_any completed;
  std::unordered_map<PIRP, IrpRecord> irps;
  std::unordered_map<PDEVICE_OBJECT, DeviceRecord*> devices;
  std::vector<DeviceRecord*> deviceRecords;  // every record made, freed at reset
  std::map<std::u16string, PDEVICE_OBJECT> names;
  std::unordered_map<PDRIVER_OBJECT, DriverRecord> drivers;
  std::vector<SymbolicLink> links;
  std::vector<Interface> interfaces;
  std::vector<ErrorLogEntry> errorLog;
  std::unordered_map<void*, std::vector<UCHAR>> errorEntries;
  KSPIN_LOCK cancelLock = 0;
  PDRIVER_OBJECT busDriver = nullptr;
  unsigned pdoCounter = 0;
  unsigned nameCounter = 0;
  bool legacyPowerRules = false;
};

Io& I() {
  static Io* io = new Io;
  return *io;
}

std::string DeviceText(PDEVICE_OBJECT device) {
  if (!device) return "(none)";
  auto it = I().devices.find(device);
  std::string text = "device " + std::to_string((unsigned long)(ULONG_PTR)device);
  if (it != I().devices.end() && !it->second->name.empty()) text = Narrow(it->second->name);
  if (device->DriverObject) {
    auto d = I().drivers.find(device->DriverObject);
    if (d != I().drivers.end()) text += " of " + Narrow(d->second.service);
  }
  return text;
}

DeviceRecord* RecordOf(PDEVICE_OBJECT device) {
  auto it = I().devices.find(device);
  return it == I().devices.end() ? nullptr : it->second;
}

void InitIrp(PIRP irp, USHORT size, CCHAR stackSize) {
  memset(irp, 0, size);
  irp->Type = 6;
  irp->Size = size;
  irp->StackCount = stackSize;
  irp->CurrentLocation = (CHAR)(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = (PIO_STACK_LOCATION)(irp + 1) + stackSize;
  InitializeListHead(&irp->ThreadListEntry);
}

PIRP NewIrp(CCHAR stackSize, Origin origin, const std::source_location& loc) {
  USHORT size = IoSizeOfIrp(stackSize);
  auto* irp = (PIRP)malloc(size);
  InitIrp(irp, size, stackSize);
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  IrpRecord& record = I().irps[irp];
  record = IrpRecord{};
  record.origin = origin;
  record.createdAt = loc;
  record.creator = Self().driver;
  record.bytes = size;
  record.locations.resize(stackSize);
  record.routineSites.resize(stackSize);
  return irp;
}

IrpRecord* Lookup(PIRP irp) {
  auto it = I().irps.find(irp);
  return it == I().irps.end() ? nullptr : &it->second;
}

// The pending rule, checked once both the dispatch result and the completion walk of a location
// are known.
void CheckPending(PIRP irp, LocationTrack& track) {
  if (!track.returned || !track.passed) return;
  bool pending = track.status == STATUS_PENDING;
  if (pending && !track.marked) {
    Verify(Check::PendingMismatch,
           "dispatch of " + DeviceText(track.device) +
               " returned STATUS_PENDING but its stack location was not marked pending "
               "(IoMarkIrpPending missing, or a completion routine did not propagate "
               "PendingReturned)",
           track.sentAt);
  } else if (!pending && track.marked) {
    Verify(Check::PendingMismatch,
           "dispatch of " + DeviceText(track.device) + " marked the IRP pending but returned " +
               std::to_string((ULONG)track.status),
           track.sentAt);
  }
}

void FinishToWorld(PIRP irp, IrpRecord& record) {
  record.state = State::Completed;
  record.final = irp->IoStatus;
  if (record.origin == Origin::Threaded) {
    if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
    if (irp->UserEvent) KeSetEvent(irp->UserEvent, 0, FALSE);
  }
  // The I/O manager takes Tail over for its completion work.
  memset(&irp->Tail.Overlay.DriverContext, 0xAB, sizeof irp->Tail.Overlay.DriverContext);
  I().completed.notify_all();
}

VOID InvalidRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS DefaultDispatch(PDEVICE_OBJECT device, PIRP irp) {
  NTSTATUS status = irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  InvalidRequest(device, irp);
  return status;
}

}  // namespace

// ---- world bus driver ---------------------------------------------------------------------

PdoInfo* PdoOf(PDEVICE_OBJECT device) {
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  DeviceRecord* record = RecordOf(device);
  return record ? record->pdo : nullptr;
}
bool IsPdo(PDEVICE_OBJECT device) { return PdoOf(device) != nullptr; }
const PdoDescription* PdoDescriptionOf(PDEVICE_OBJECT device) {
  PdoInfo* info = PdoOf(device);
  return info ? &info->description : nullptr;
}

namespace {

PWSTR MultiSz(const std::vector<std::u16string>& strings) {
  std::u16string joined;
  for (auto& s : strings) joined += s + u'\0';
  joined += u'\0';
  USHORT bytes;
  return PoolString(joined, PagedPool, 0x73756257 /* 'Wbus' */, &bytes, {});
}

NTSTATUS BusPnp(PDEVICE_OBJECT pdo, PIRP irp, const PdoDescription& d) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  USHORT bytes;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
      DEVICE_CAPABILITIES filled = d.capabilities;
      filled.Size = sizeof(DEVICE_CAPABILITIES);
      filled.Version = 1;
      filled.Address = d.address;
      filled.UINumber = 0xFFFFFFFF;
      *caps = filled;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_ID: {
      PWSTR text = nullptr;
      switch (stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: {
          std::u16string id = d.instancePath.substr(0, d.instancePath.rfind(u'\\'));
          text = PoolString(id, PagedPool, 0x73756257, &bytes, {});
          break;
        }
        case BusQueryInstanceID:
          text = PoolString(d.instancePath.substr(d.instancePath.rfind(u'\\') + 1), PagedPool,
                            0x73756257, &bytes, {});
          break;
        case BusQueryHardwareIDs:
          if (!d.hardwareIds.empty()) text = MultiSz(d.hardwareIds);
          break;
        case BusQueryCompatibleIDs:
          if (!d.compatibleIds.empty()) text = MultiSz(d.compatibleIds);
          break;
        default:
          break;
      }
      if (text) {
        irp->IoStatus.Information = (ULONG_PTR)text;
        status = STATUS_SUCCESS;
      }
      break;
    }
    case IRP_MN_QUERY_DEVICE_TEXT: {
      const std::u16string& text =
          stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription ? d.description
                                                                                    : d.location;
      if (!text.empty()) {
        irp->IoStatus.Information = (ULONG_PTR)PoolString(text, PagedPool, 0x73756257, &bytes, {});
        status = STATUS_SUCCESS;
      }
      break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
        auto* relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(
            PagedPool, sizeof(DEVICE_RELATIONS), 0x73756257);
        relations->Count = 1;
        relations->Objects[0] = pdo;
        ObReferenceObject(pdo);
        irp->IoStatus.Information = (ULONG_PTR)relations;
        status = STATUS_SUCCESS;
      }
      break;
    default:
      break;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS BusDispatch(PDEVICE_OBJECT pdo, PIRP irp) {
  PdoInfo* info = PdoOf(pdo);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_PNP) return BusPnp(pdo, irp, info->description);
  if (stack->MajorFunction == IRP_MJ_POWER && !info->description.handler) {
    PoStartNextPowerIrp(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
      status = STATUS_SUCCESS;
    }
    if (stack->MinorFunction == IRP_MN_WAIT_WAKE && !info->description.handler) {
      status = STATUS_NOT_SUPPORTED;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  if (info->description.handler) return info->description.handler(pdo, irp);
  NTSTATUS status = irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& f : driver->MajorFunction) f = BusDispatch;
  return STATUS_SUCCESS;
}

}  // namespace

PDEVICE_OBJECT CreatePdo(const PdoDescription& description) {
  PDRIVER_OBJECT bus;
  {
    std::lock_guard<std::recursive_mutex> guard(I().lock);
    bus = I().busDriver;
  }
  if (!bus) {
    bus = LoadDriver(BusEntry, u"wdmemu_bus");
    std::lock_guard<std::recursive_mutex> guard(I().lock);
    I().busDriver = bus;
  }
  PDEVICE_OBJECT pdo = nullptr;
  {
    AsDriver as(bus);
    std::lock_guard<std::recursive_mutex> guard(I().lock);
    std::u16string name = u"\\Device\\USBPDO-" + Widen(std::to_string(I().pdoCounter++));
    UNICODE_STRING u{(USHORT)(name.size() * 2), (USHORT)(name.size() * 2), name.data()};
    IoCreateDevice(bus, 0, &u, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    auto* info = new PdoInfo{description};
    RecordOf(pdo)->pdo = info;
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  return pdo;
}

PDEVICE_OBJECT AdoptChildPdo(PDEVICE_OBJECT child, const PdoDescription& description) {
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  DeviceRecord* record = RecordOf(child);
  if (!record) return nullptr;
  if (!record->pdo) record->pdo = new PdoInfo{description};
  child->Flags |= DO_BUS_ENUMERATED_DEVICE;
  return child;
}

std::u16string DriverKeyPath(PDEVICE_OBJECT pdo) {
  const PdoDescription* d = PdoDescriptionOf(pdo);
  if (!d) return {};
  return u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\" + d->driverKey;
}

std::u16string DeviceKeyPath(PDEVICE_OBJECT pdo) {
  const PdoDescription* d = PdoDescriptionOf(pdo);
  if (!d) return {};
  return u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + d->instancePath +
         u"\\Device Parameters";
}

// ---- drivers ----------------------------------------------------------------------------------

PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE entry, const std::u16string& service,
                          NTSTATUS* status) {
  StartKernelThreads();
  auto* driver = new DRIVER_OBJECT{};
  auto* extension = new DRIVER_EXTENSION{};
  driver->Type = 4;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = extension;
  extension->DriverObject = driver;
  for (auto& f : driver->MajorFunction) f = DefaultDispatch;
  std::u16string name = u"\\Driver\\" + service;
  driver->DriverName.Buffer = new WCHAR[name.size() + 1];
  memcpy(driver->DriverName.Buffer, name.c_str(), (name.size() + 1) * 2);
  driver->DriverName.Length = (USHORT)(name.size() * 2);
  driver->DriverName.MaximumLength = driver->DriverName.Length + 2;
  driver->DriverInit = entry;
  {
    std::lock_guard<std::recursive_mutex> guard(I().lock);
    I().drivers[driver].service = service;
    I().drivers[driver].inEntry = true;
  }
  std::u16string keyPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service;
  RegistrySetValue(keyPath, u"Start", REG_DWORD, "\3\0\0\0", 4);
  UNICODE_STRING key{(USHORT)(keyPath.size() * 2), (USHORT)(keyPath.size() * 2 + 2),
                     keyPath.data()};
  NTSTATUS result;
  {
    AsDriver as(driver);
    result = entry(driver, &key);
  }
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  I().drivers[driver].inEntry = false;
  for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice) {
    if (RecordOf(d) && RecordOf(d)->createdInEntry) d->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  if (status) *status = result;
  if (!NT_SUCCESS(result)) {
    I().drivers[driver].unloaded = true;
    return nullptr;
  }
  return driver;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
  Quiesce();
  {
    std::lock_guard<std::recursive_mutex> guard(I().lock);
    auto it = I().drivers.find(driver);
    if (it == I().drivers.end() || it->second.unloaded) return;
    it->second.unloaded = true;
  }
  if (driver->DeviceObject) {
    Verify(Check::PnpRule, "driver unloaded while it still has device objects: " +
                               DeviceText(driver->DeviceObject));
  }
  if (driver->DriverUnload) {
    AsDriver as(driver);
    driver->DriverUnload(driver);
  }
  Quiesce();
  std::string when =
      "when " + Narrow(driver->DriverName.Buffer ? ToU16(driver->DriverName) : std::u16string()) +
      " unloaded";
  ReportPoolLeaks(driver, when.c_str());
  ReportHandleLeaks(driver, when.c_str());
  ReportIoLeftovers(driver, when.c_str());
}

void ReportIoLeftovers(PDRIVER_OBJECT driver, const char* when) {
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  for (auto& [irp, record] : I().irps) {
    if (record.state != State::Owned) continue;
    if (driver && record.creator != driver && !record.reclaimed) {
      // Only IRPs the driver made or took back belong to its unload check.
      bool held = false;
      for (auto& t : record.locations) {
        if (t.device && t.device->DriverObject == driver && !t.passed && record.sent) held = true;
      }
      if (!held) continue;
    }
    if (record.reclaimed) {
      Verify(Check::IrpLostAfterMoreProcessing,
             "a completion routine returned STATUS_MORE_PROCESSING_REQUIRED and the IRP was never "
             "completed, freed or reused (" +
                 std::string(when) + ")",
             record.reclaimSite);
    } else if (record.sent) {
      // Name the lowest location still holding it.
      const LocationTrack* holder = nullptr;
      for (auto& t : record.locations) {
        if (t.device && !t.passed) {
          holder = &t;
          break;
        }
      }
      Verify(Check::IrpNeverCompleted,
             "IRP never completed " + std::string(when) + "; held by " +
                 DeviceText(holder ? holder->device : nullptr),
             holder ? holder->sentAt : record.createdAt);
    } else if (record.origin == Origin::Allocated) {
      Verify(Check::IrpNotFreed, "IRP allocated and never freed (" + std::string(when) + ")",
             record.createdAt);
    }
    record.state = State::Freed;  // report once
  }
  for (DeviceRecord* d : I().deviceRecords) {
    if (driver && d->device->DriverObject != driver) continue;
    if (d->deleted && d->device->ReferenceCount > 0) {
      Verify(Check::DeviceDeletedWhileReferenced,
             DeviceText(d->device) + " deleted with " + std::to_string(d->device->ReferenceCount) +
                 " references still held " + when,
             d->deletedAt);
      d->device->ReferenceCount = 0;
    }
  }
}

void ClearIo() {
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  for (auto& [irp, record] : I().irps) free(irp);
  I().irps.clear();
  for (DeviceRecord* d : I().deviceRecords) {
    if (d->pdo) delete d->pdo;
    free(d->device);
    delete d;
  }
  I().deviceRecords.clear();
  I().devices.clear();
  I().names.clear();
  for (auto& [driver, record] : I().drivers) {
    for (auto& [id, extension] : record.extensions) free(extension);
    delete driver->DriverExtension;
    delete[] driver->DriverName.Buffer;
    delete driver;
  }
  I().drivers.clear();
  I().links.clear();
  I().interfaces.clear();
  I().errorLog.clear();
  I().errorEntries.clear();
  I().busDriver = nullptr;
  I().pdoCounter = 0;
  I().nameCounter = 0;
  I().cancelLock = 0;
  I().legacyPowerRules = false;
}

void UnloadAllDrivers() {
  std::vector<PDRIVER_OBJECT> loaded;
  {
    std::lock_guard<std::recursive_mutex> guard(I().lock);
    for (auto& [driver, record] : I().drivers) {
      if (!record.unloaded && driver != I().busDriver) loaded.push_back(driver);
    }
  }
  for (PDRIVER_OBJECT d : loaded) UnloadDriver(d);
}

// ---- world IRPs -------------------------------------------------------------------------------

PIRP BuildIrp(PDEVICE_OBJECT target, UCHAR major, UCHAR minor) {
  PIRP irp = NewIrp(IoGetAttachedDevice(target)->StackSize, Origin::World,
                    std::source_location::current());
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->MinorFunction = minor;
  irp->IoStatus.Status =
      (major == IRP_MJ_PNP || major == IRP_MJ_POWER) ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
  irp->Tail.Overlay.Thread = KeGetCurrentThread();
  return irp;
}

NTSTATUS SendIrp(PDEVICE_OBJECT target, PIRP irp) { return IoCallDriver(target, irp); }

bool IrpCompleted(PIRP irp) {
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  IrpRecord* r = Lookup(irp);
  return r && r->state == State::Completed;
}

bool WaitForIrp(PIRP irp, int timeoutMs) {
  std::unique_lock<std::recursive_mutex> guard(I().lock);
  return I().completed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
    IrpRecord* r = Lookup(irp);
    return r && r->state == State::Completed;
  });
}

IO_STATUS_BLOCK CompletedStatus(PIRP irp) {
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  IrpRecord* r = Lookup(irp);
  return r ? r->final : IO_STATUS_BLOCK{};
}

NTSTATUS SendAndWait(PDEVICE_OBJECT target, PIRP irp, ULONG_PTR* information, int timeoutMs) {
  SendIrp(target, irp);
  if (!WaitForIrp(irp, timeoutMs)) return STATUS_IO_TIMEOUT;
  IO_STATUS_BLOCK status = CompletedStatus(irp);
  if (information) *information = status.Information;
  return status.Status;
}

std::vector<SymbolicLink> SymbolicLinks() {
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  return I().links;
}

std::vector<DeviceInterface> DeviceInterfaces() {
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  std::vector<DeviceInterface> out;
  for (auto& i : I().interfaces) out.push_back({i.link, i.guid, i.pdo, i.enabled});
  return out;
}

std::vector<ErrorLogEntry> ErrorLog() {
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  return I().errorLog;
}

}  // namespace wdmemu

using namespace wdmemu;

// ---- stack locations ------------------------------------------------------------------------

VOID IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                            BOOLEAN invokeOnSuccess, BOOLEAN invokeOnError, BOOLEAN invokeOnCancel,
                            std::source_location loc) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->CompletionRoutine = routine;
  next->Context = context;
  next->Control = 0;
  if (invokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
  if (invokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
  if (invokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  IrpRecord* record = Lookup(irp);
  int index = irp->CurrentLocation - 2;
  if (record && index >= 0 && index < (int)record->routineSites.size()) {
    record->routineSites[index] = loc;
  }
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine, std::source_location) {
  return (PDRIVER_CANCEL)InterlockedExchangePointer((PVOID volatile*)&irp->CancelRoutine,
                                                    (PVOID)routine);
}

// ---- IRPs -------------------------------------------------------------------------------------

PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN, std::source_location loc) {
  CheckIrql(DISPATCH_LEVEL, "IoAllocateIrp", loc);
  if (stackSize < 1) return nullptr;
  return NewIrp(stackSize, Origin::Allocated, loc);
}

VOID IoInitializeIrp(PIRP irp, USHORT packetSize, CCHAR stackSize, std::source_location loc) {
  {
    std::lock_guard<std::recursive_mutex> guard(I().lock);
    if (IrpRecord* r = Lookup(irp); r && r->state == State::Owned) {
      Verify(Check::IrpUseAfterCompletion,
             "IoInitializeIrp on an IRP from IoAllocateIrp (use IoReuseIrp)", loc);
      return;
    }
  }
  InitIrp(irp, packetSize, stackSize);
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  IrpRecord& record = I().irps[irp];
  record = IrpRecord{};
  record.origin = Origin::Initialized;
  record.createdAt = loc;
  record.creator = Self().driver;
  record.locations.resize(stackSize);
  record.routineSites.resize(stackSize);
}

VOID IoFreeIrp(PIRP irp, std::source_location loc) {
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  IrpRecord* record = Lookup(irp);
  if (!record || record->state == State::Freed) {
    Verify(Check::IrpUseAfterCompletion, "IoFreeIrp on an IRP that is not allocated", loc);
    return;
  }
  if (record->origin == Origin::World || record->origin == Origin::Threaded) {
    Verify(Check::IrpUseAfterCompletion, "IoFreeIrp on an IRP the driver did not allocate", loc);
    return;
  }
  if (__atomic_load_n((PVOID*)&irp->CancelRoutine, __ATOMIC_ACQUIRE)) {
    Verify(Check::CancelRoutineLost, "IoFreeIrp with a cancel routine still set", loc);
  }
  record->state = State::Freed;
  memset(irp, 0xDF, record->bytes ? record->bytes : sizeof(IRP));
}

VOID IoReuseIrp(PIRP irp, NTSTATUS status, std::source_location loc) {
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  IrpRecord* record = Lookup(irp);
  if (!record || record->state == State::Freed) {
    Verify(Check::IrpUseAfterCompletion, "IoReuseIrp on an IRP that is not allocated", loc);
    return;
  }
  CCHAR stackSize = irp->StackCount;
  USHORT size = irp->Size;
  InitIrp(irp, size, stackSize);
  irp->IoStatus.Status = status;
  record->state = State::Owned;
  record->reclaimed = false;
  record->sent = false;
  for (auto& t : record->locations) t = LocationTrack{};
}

NTSTATUS IoCallDriver(PDEVICE_OBJECT device, PIRP irp, std::source_location loc) {
  CheckIrql(DISPATCH_LEVEL, "IoCallDriver", loc);
  int index;
  unsigned generation;
  {
    std::lock_guard<std::recursive_mutex> guard(I().lock);
    IrpRecord* record = Lookup(irp);
    if (!record || record->state != State::Owned) {
      Verify(Check::IrpUseAfterCompletion,
             record ? "IoCallDriver with an IRP that already completed or was freed"
                    : "IoCallDriver with something that is not an IRP",
             loc);
      return STATUS_INVALID_PARAMETER;
    }
    if (DeviceRecord* d = RecordOf(device); !d || d->deleted) {
      Verify(Check::IrpToDeletedDevice, "IoCallDriver to a deleted device " + DeviceText(device),
             loc);
    }
    if (irp->CurrentLocation <= 1) {
      Fatal(Check::BugCheck,
            "NO_MORE_IRP_STACK_LOCATIONS (0x35): IoCallDriver to " + DeviceText(device), loc);
    }
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->DeviceObject = device;
    // Only the owner of the IRP may use Tail.Overlay; the caller just gave it away.
    memset(&irp->Tail.Overlay.DriverContext, 0xAB, sizeof irp->Tail.Overlay.DriverContext);
    memset(&irp->Tail.Overlay.ListEntry, 0xAB, sizeof irp->Tail.Overlay.ListEntry);
    index = irp->CurrentLocation - 1;
    generation = ++record->generation;
    record->sent = true;
    record->reclaimed = false;
    LocationTrack& track = record->locations[index];
    track = LocationTrack{};
    track.generation = generation;
    track.sentAt = loc;
    track.device = device;
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[stack->MajorFunction];
  if (!dispatch) dispatch = DefaultDispatch;
  KIRQL irql = Self().irql;
  NTSTATUS status;
  {
    AsDriver as(device->DriverObject);
    status = dispatch(device, irp);
  }
  if (Self().irql != irql) {
    Verify(Check::IrqlNotRestored,
           "dispatch routine of " + DeviceText(device) + " returned at IRQL " +
               std::to_string(Self().irql) + " (called at " + std::to_string(irql) + ")",
           loc);
    Self().irql = irql;
  }
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  IrpRecord* record = Lookup(irp);
  if (record && index < (int)record->locations.size()) {
    LocationTrack& track = record->locations[index];
    if (track.generation == generation) {
      track.returned = true;
      track.status = status;
      if (!track.passed && status != STATUS_PENDING && record->state == State::Owned &&
          !record->reclaimed) {
        Verify(Check::PendingMismatch,
               "dispatch of " + DeviceText(device) + " returned " + std::to_string((ULONG)status) +
                   " without completing the IRP and without STATUS_PENDING",
               loc);
      }
      CheckPending(irp, track);
    }
  }
  return status;
}

VOID IoCompleteRequest(PIRP irp, CCHAR, std::source_location loc) {
  CheckIrql(DISPATCH_LEVEL, "IoCompleteRequest", loc);
  {
    std::lock_guard<std::recursive_mutex> guard(I().lock);
    IrpRecord* record = Lookup(irp);
    if (!record) {
      Verify(Check::IrpUseAfterCompletion, "IoCompleteRequest with something that is not an IRP",
             loc);
      return;
    }
    if (record->state != State::Owned) {
      Verify(Check::IrpCompletedTwice,
             "IoCompleteRequest on an IRP that already completed" +
                 (record->completedAt.line() ? " at " + Where(record->completedAt) : std::string()),
             loc);
      return;
    }
    if (irp->IoStatus.Status == STATUS_PENDING) {
      Verify(Check::IrpCompletedWithPending, "IoCompleteRequest with status STATUS_PENDING", loc);
      return;
    }
    if (__atomic_load_n((PVOID*)&irp->CancelRoutine, __ATOMIC_ACQUIRE)) {
      Verify(Check::CancelRoutineLost,
             "IoCompleteRequest while a cancel routine is still set (clear it with "
             "IoSetCancelRoutine(irp, NULL) first)",
             loc);
      __atomic_store_n((PVOID*)&irp->CancelRoutine, nullptr, __ATOMIC_RELEASE);
    }
    record->completedAt = loc;
  }
  while (irp->CurrentLocation <= irp->StackCount) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    int index = irp->CurrentLocation - 1;
    irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    UCHAR control = stack->Control;
    std::source_location site;
    {
      std::lock_guard<std::recursive_mutex> guard(I().lock);
      IrpRecord* record = Lookup(irp);
      LocationTrack& track = record->locations[index];
      track.passed = true;
      track.marked = irp->PendingReturned;
      CheckPending(irp, track);
      if (I().legacyPowerRules && stack->MajorFunction == IRP_MJ_POWER &&
          (stack->MinorFunction == IRP_MN_SET_POWER ||
           stack->MinorFunction == IRP_MN_QUERY_POWER) &&
          !track.startedNextPower && track.device) {
        Verify(
            Check::PowerRule,
            DeviceText(track.device) + " completed a power IRP without calling PoStartNextPowerIrp",
            track.sentAt);
      }
      site = record->routineSites[index];
    }
    IoSkipCurrentIrpStackLocation(irp);
    bool success = NT_SUCCESS(irp->IoStatus.Status);
    bool invoke = routine && ((success && (control & SL_INVOKE_ON_SUCCESS)) ||
                              (!success && (control & SL_INVOKE_ON_ERROR)) ||
                              (irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    if (invoke) {
      PDEVICE_OBJECT device = irp->CurrentLocation <= irp->StackCount
                                  ? IoGetCurrentIrpStackLocation(irp)->DeviceObject
                                  : nullptr;
      PDRIVER_OBJECT owner;
      {
        std::lock_guard<std::recursive_mutex> guard(I().lock);
        owner = device ? device->DriverObject : Lookup(irp)->creator;
      }
      KIRQL irql = Self().irql;
      NTSTATUS status;
      {
        AsDriver as(owner);
        status = routine(device, irp, context);
      }
      if (Self().irql != irql) {
        Verify(Check::IrqlNotRestored, "completion routine returned at another IRQL", site);
        Self().irql = irql;
      }
      if (status == STATUS_MORE_PROCESSING_REQUIRED) {
        std::lock_guard<std::recursive_mutex> guard(I().lock);
        IrpRecord* record = Lookup(irp);
        if (record && record->state == State::Owned) {
          record->reclaimed = true;
          record->reclaimSite = site;
        }
        return;
      }
    } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
      IoMarkIrpPending(irp);
    }
  }
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  IrpRecord* record = Lookup(irp);
  if (record->origin == Origin::Allocated || record->origin == Origin::Initialized) {
    Verify(Check::IrpCompletedToCreator,
           "an IRP from IoAllocateIrp completed past its creator: the creator's completion routine "
           "must return STATUS_MORE_PROCESSING_REQUIRED",
           loc);
    record->state = State::Completed;
    return;
  }
  FinishToWorld(irp, *record);
}

VOID IoAcquireCancelSpinLock(PKIRQL irql, std::source_location loc) {
  KeAcquireSpinLock(&I().cancelLock, irql, loc);
  Self().holdsCancelLock = true;
}

VOID IoReleaseCancelSpinLock(KIRQL irql, std::source_location loc) {
  Self().holdsCancelLock = false;
  KeReleaseSpinLock(&I().cancelLock, irql, loc);
}

BOOLEAN IoCancelIrp(PIRP irp, std::source_location loc) {
  CheckIrql(DISPATCH_LEVEL, "IoCancelIrp", loc);
  {
    std::lock_guard<std::recursive_mutex> guard(I().lock);
    IrpRecord* record = Lookup(irp);
    if (!record || record->state != State::Owned) return FALSE;
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql, loc);
  irp->Cancel = TRUE;
  auto routine =
      (PDRIVER_CANCEL)InterlockedExchangePointer((PVOID volatile*)&irp->CancelRoutine, nullptr);
  if (!routine) {
    IoReleaseCancelSpinLock(irql, loc);
    return FALSE;
  }
  irp->CancelIrql = irql;
  PDEVICE_OBJECT device = irp->CurrentLocation <= irp->StackCount
                              ? IoGetCurrentIrpStackLocation(irp)->DeviceObject
                              : nullptr;
  {
    AsDriver as(device ? device->DriverObject : nullptr);
    routine(device, irp);
  }
  if (Self().holdsCancelLock) {
    Verify(Check::CancelLockHeld,
           "cancel routine returned without IoReleaseCancelSpinLock(Irp->CancelIrql)", loc);
    IoReleaseCancelSpinLock(irql, loc);
  }
  if (Self().irql != irql) Self().irql = irql;
  return TRUE;
}

PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT device, PVOID inputBuffer,
                                   ULONG inputLength, PVOID outputBuffer, ULONG outputLength,
                                   BOOLEAN internal, PKEVENT event, PIO_STATUS_BLOCK ioStatus,
                                   std::source_location loc) {
  CheckIrql(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest", loc);
  PIRP irp = NewIrp(device->StackSize, Origin::Threaded, loc);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  next->Parameters.DeviceIoControl.Type3InputBuffer = inputBuffer;
  irp->AssociatedIrp.SystemBuffer = inputBuffer ? inputBuffer : outputBuffer;
  irp->UserBuffer = outputBuffer;
  irp->UserEvent = event;
  irp->UserIosb = ioStatus;
  irp->Tail.Overlay.Thread = KeGetCurrentThread();
  return irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG majorFunction, PDEVICE_OBJECT device, PVOID buffer,
                                  ULONG length, PLARGE_INTEGER startingOffset, PKEVENT event,
                                  PIO_STATUS_BLOCK ioStatus, std::source_location loc) {
  CheckIrql(PASSIVE_LEVEL, "IoBuildSynchronousFsdRequest", loc);
  PIRP irp = NewIrp(device->StackSize, Origin::Threaded, loc);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = (UCHAR)majorFunction;
  if (majorFunction == IRP_MJ_READ || majorFunction == IRP_MJ_WRITE) {
    next->Parameters.Read.Length = length;
    if (startingOffset) next->Parameters.Read.ByteOffset = *startingOffset;
  }
  irp->UserBuffer = buffer;
  irp->AssociatedIrp.SystemBuffer = buffer;
  irp->UserEvent = event;
  irp->UserIosb = ioStatus;
  return irp;
}

// ---- device objects -------------------------------------------------------------------------

NTSTATUS IoCreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name,
                        DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive,
                        PDEVICE_OBJECT* device, std::source_location loc) {
  CheckIrql(PASSIVE_LEVEL, "IoCreateDevice", loc);
  *device = nullptr;
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  std::u16string text = name ? FromUnicode(name) : std::u16string();
  if (text.empty() && (characteristics & FILE_AUTOGENERATED_DEVICE_NAME)) {
    char number[16];
    snprintf(number, sizeof number, "%08x", ++I().nameCounter);
    text = u"\\Device\\" + Widen(number);
  }
  if (!text.empty() && I().names.count(Upper(text))) return STATUS_OBJECT_NAME_COLLISION;
  size_t bytes = sizeof(DEVICE_OBJECT) + ((extensionSize + 15) & ~15u);
  auto* d = (PDEVICE_OBJECT)calloc(1, bytes);
  if (!d) return STATUS_INSUFFICIENT_RESOURCES;
  d->Type = 3;
  d->Size = (USHORT)bytes;
  d->DriverObject = driver;
  d->DeviceExtension = extensionSize ? (PVOID)(d + 1) : nullptr;
  d->DeviceType = type;
  d->Characteristics = characteristics;
  d->StackSize = 1;
  d->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
  KeInitializeEvent(&d->DeviceLock, SynchronizationEvent, TRUE);
  auto* record = new DeviceRecord{};
  record->device = d;
  record->name = text;
  record->createdAt = loc;
  record->createdInEntry = I().drivers[driver].inEntry;
  d->DeviceObjectExtension = record;
  I().devices[d] = record;
  I().deviceRecords.push_back(record);
  if (!text.empty()) I().names[Upper(text)] = d;
  d->NextDevice = driver->DeviceObject;
  driver->DeviceObject = d;
  *device = d;
  return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT device, std::source_location loc) {
  CheckIrql(APC_LEVEL, "IoDeleteDevice", loc);
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  DeviceRecord* record = RecordOf(device);
  if (!record || record->deleted) {
    Verify(Check::DeviceDeletedTwice,
           "IoDeleteDevice on a device that was already deleted" +
               (record ? " at " + Where(record->deletedAt) : std::string()),
           loc);
    return;
  }
  if (device->AttachedDevice) {
    Verify(Check::DeviceDeletedWhileAttached,
           "IoDeleteDevice on " + DeviceText(device) + " while " +
               DeviceText(device->AttachedDevice) + " is still attached to it",
           loc);
  }
  record->deleted = true;
  record->deletedAt = loc;
  if (!record->name.empty()) I().names.erase(Upper(record->name));
  PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject;
  while (*link && *link != device) link = &(*link)->NextDevice;
  if (*link) *link = device->NextDevice;
  if (record->lower && record->lower->AttachedDevice == device) {
    // Windows leaves the lower device pointing at freed memory; detach it for the model's sake
    // and report the missing IoDetachDevice.
    Verify(Check::DeviceDeletedWhileAttached,
           "IoDeleteDevice on " + DeviceText(device) + " without IoDetachDevice from " +
               DeviceText(record->lower),
           loc);
    record->lower->AttachedDevice = nullptr;
  }
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target,
                                           std::source_location loc) {
  CheckIrql(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack", loc);
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  PDEVICE_OBJECT top = target;
  while (top->AttachedDevice) top = top->AttachedDevice;
  DeviceRecord* topRecord = RecordOf(top);
  if (!topRecord || topRecord->deleted || (top->Flags & DO_DEVICE_INITIALIZING)) return nullptr;
  source->StackSize = (CCHAR)(top->StackSize + 1);
  top->AttachedDevice = source;
  RecordOf(source)->lower = top;
  return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT target, std::source_location loc) {
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  if (!target->AttachedDevice) {
    Verify(Check::PnpRule, "IoDetachDevice on a device with nothing attached", loc);
    return;
  }
  if (DeviceRecord* upper = RecordOf(target->AttachedDevice)) upper->lower = nullptr;
  target->AttachedDevice = nullptr;
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT device) {
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  while (device->AttachedDevice) device = device->AttachedDevice;
  return device;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT device) {
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  PDEVICE_OBJECT top = IoGetAttachedDevice(device);
  ObfReferenceObject(top);
  return top;
}

PDEVICE_OBJECT IoGetLowerDeviceObject(PDEVICE_OBJECT device) {
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  DeviceRecord* record = RecordOf(device);
  if (!record || !record->lower) return nullptr;
  ObfReferenceObject(record->lower);
  return record->lower;
}

LONG_PTR ObfReferenceObject(PVOID object) {
  auto* device = (PDEVICE_OBJECT)object;
  return InterlockedIncrement(&device->ReferenceCount);
}

LONG_PTR ObfDereferenceObject(PVOID object, std::source_location loc) {
  auto* device = (PDEVICE_OBJECT)object;
  LONG count = InterlockedDecrement(&device->ReferenceCount);
  if (count < 0) {
    Verify(Check::DeviceDeletedWhileReferenced, "ObDereferenceObject below zero", loc);
    InterlockedIncrement(&device->ReferenceCount);
    return 0;
  }
  return count;
}

NTSTATUS ObReferenceObjectByPointer(PVOID object, ACCESS_MASK, POBJECT_TYPE, KPROCESSOR_MODE) {
  ObfReferenceObject(object);
  return STATUS_SUCCESS;
}

NTSTATUS IoAllocateDriverObjectExtension(PDRIVER_OBJECT driver, PVOID id, ULONG size,
                                         PVOID* extension) {
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  *extension = nullptr;
  auto& map = I().drivers[driver].extensions;
  if (map.count(id)) return STATUS_OBJECT_NAME_COLLISION;
  void* p = calloc(1, size ? size : 1);
  if (!p) return STATUS_INSUFFICIENT_RESOURCES;
  map[id] = p;
  *extension = p;
  return STATUS_SUCCESS;
}

PVOID IoGetDriverObjectExtension(PDRIVER_OBJECT driver, PVOID id) {
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  auto& map = I().drivers[driver].extensions;
  auto it = map.find(id);
  return it == map.end() ? nullptr : it->second;
}

// ---- names and interfaces -------------------------------------------------------------------

namespace {
NTSTATUS CreateLink(PUNICODE_STRING link, PUNICODE_STRING device, bool unprotected,
                    const std::source_location& loc) {
  CheckIrql(PASSIVE_LEVEL, "IoCreateSymbolicLink", loc);
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  std::u16string name = FromUnicode(link);
  for (auto& l : I().links) {
    if (Upper(l.link) == Upper(name)) return STATUS_OBJECT_NAME_COLLISION;
  }
  I().links.push_back({name, FromUnicode(device), unprotected});
  return STATUS_SUCCESS;
}
}  // namespace

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING link, PUNICODE_STRING device,
                              std::source_location loc) {
  return CreateLink(link, device, false, loc);
}

NTSTATUS IoCreateUnprotectedSymbolicLink(PUNICODE_STRING link, PUNICODE_STRING device,
                                         std::source_location loc) {
  return CreateLink(link, device, true, loc);
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING link, std::source_location loc) {
  CheckIrql(PASSIVE_LEVEL, "IoDeleteSymbolicLink", loc);
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  std::u16string name = Upper(FromUnicode(link));
  for (auto it = I().links.begin(); it != I().links.end(); ++it) {
    if (Upper(it->link) == name) {
      I().links.erase(it);
      return STATUS_SUCCESS;
    }
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT pdo, CONST GUID* guid, PUNICODE_STRING reference,
                                   PUNICODE_STRING linkName) {
  CheckIrql(PASSIVE_LEVEL, "IoRegisterDeviceInterface", {});
  const PdoDescription* d = PdoDescriptionOf(pdo);
  if (!d) return STATUS_INVALID_DEVICE_REQUEST;
  std::u16string path = d->instancePath;
  for (auto& c : path) {
    if (c == u'\\') c = u'#';
  }
  std::u16string link = u"\\??\\" + path + u"#" + Widen(GuidText(*guid));
  if (reference && reference->Length) link += u"\\" + FromUnicode(reference);
  {
    std::lock_guard<std::recursive_mutex> guard(I().lock);
    bool known = false;
    for (auto& i : I().interfaces) known = known || i.link == link;
    if (!known) I().interfaces.push_back({link, *guid, pdo, false});
  }
  USHORT bytes;
  linkName->Buffer =
      PoolString(link, PagedPool, 0x6E4C6F49 /* 'IoLn' */, &bytes, std::source_location::current());
  if (!linkName->Buffer) return STATUS_INSUFFICIENT_RESOURCES;
  linkName->Length = bytes;
  linkName->MaximumLength = bytes + 2;
  return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING linkName, BOOLEAN enable) {
  CheckIrql(PASSIVE_LEVEL, "IoSetDeviceInterfaceState", {});
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  std::u16string link = FromUnicode(linkName);
  for (auto& i : I().interfaces) {
    if (i.link != link) continue;
    if (enable && i.enabled) return STATUS_OBJECT_NAME_EXISTS;
    if (!enable && !i.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    i.enabled = enable;
    return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

// ---- properties and relations ---------------------------------------------------------------

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property,
                             ULONG bufferLength, PVOID buffer, PULONG resultLength,
                             std::source_location loc) {
  CheckIrql(PASSIVE_LEVEL, "IoGetDeviceProperty", loc);
  const PdoDescription* d = PdoDescriptionOf(pdo);
  if (!d) return STATUS_INVALID_DEVICE_REQUEST;
  std::vector<UCHAR> data;
  auto putString = [&](const std::u16string& s) {
    data.resize((s.size() + 1) * 2);
    memcpy(data.data(), s.c_str(), data.size());
  };
  auto putMulti = [&](const std::vector<std::u16string>& list) {
    std::u16string joined;
    for (auto& s : list) joined += s + u'\0';
    putString(joined);
  };
  switch (property) {
    case DevicePropertyDeviceDescription:
      putString(d->description);
      break;
    case DevicePropertyHardwareID:
      putMulti(d->hardwareIds);
      break;
    case DevicePropertyCompatibleIDs:
      putMulti(d->compatibleIds);
      break;
    case DevicePropertyLocationInformation:
      putString(d->location);
      break;
    case DevicePropertyDriverKeyName:
      putString(d->driverKey);
      break;
    case DevicePropertyAddress:
      data.resize(4);
      memcpy(data.data(), &d->address, 4);
      break;
    default:
      return STATUS_INVALID_PARAMETER_2;
  }
  *resultLength = (ULONG)data.size();
  if (bufferLength < data.size()) return STATUS_BUFFER_TOO_SMALL;
  memcpy(buffer, data.data(), data.size());
  return STATUS_SUCCESS;
}

namespace wdmemu {
void QueuePnpWork(PDEVICE_OBJECT pdo, bool relations);
}

VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT pdo, DEVICE_RELATION_TYPE type,
                                 std::source_location loc) {
  CheckIrql(DISPATCH_LEVEL, "IoInvalidateDeviceRelations", loc);
  if (!IsPdo(pdo)) {
    Verify(Check::PnpRule, "IoInvalidateDeviceRelations on a device that is not a PDO", loc);
    return;
  }
  if (type == BusRelations) QueuePnpWork(pdo, true);
}

VOID IoInvalidateDeviceState(PDEVICE_OBJECT pdo, std::source_location loc) {
  CheckIrql(DISPATCH_LEVEL, "IoInvalidateDeviceState", loc);
  if (!IsPdo(pdo)) {
    Verify(Check::PnpRule, "IoInvalidateDeviceState on a device that is not a PDO", loc);
    return;
  }
  QueuePnpWork(pdo, false);
}

// ---- work items -------------------------------------------------------------------------------

struct _IO_WORKITEM {
  PDEVICE_OBJECT device;
};

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT device, std::source_location loc) {
  auto* item = (PIO_WORKITEM)ExAllocatePoolWithTag(NonPagedPool, sizeof(_IO_WORKITEM),
                                                   0x6B576F49 /* 'IoWk' */, loc);
  if (item) item->device = device;
  return item;
}

VOID IoFreeWorkItem(PIO_WORKITEM item, std::source_location loc) {
  ExFreePoolWithTag(item, 0x6B576F49, loc);
}

VOID IoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE,
                     PVOID context, std::source_location loc) {
  CheckIrql(DISPATCH_LEVEL, "IoQueueWorkItem", loc);
  PDEVICE_OBJECT device = item->device;
  ObfReferenceObject(device);  // the device stays referenced until the routine returns
  WorkEntry entry;
  entry.key = item;
  entry.driver = device->DriverObject;
  entry.run = [device, routine, context] {
    routine(device, context);
    ObfDereferenceObject(device);
  };
  if (!QueueWork(std::move(entry))) {
    ObfDereferenceObject(device);
    Verify(Check::WorkItemQueuedTwice, "IoQueueWorkItem on a work item that is still queued", loc);
  }
}

// ---- error log ------------------------------------------------------------------------------

PVOID IoAllocateErrorLogEntry(PVOID ioObject, UCHAR entrySize, std::source_location loc) {
  CheckIrql(DISPATCH_LEVEL, "IoAllocateErrorLogEntry", loc);
  if (entrySize < sizeof(IO_ERROR_LOG_PACKET) - sizeof(ULONG) ||
      entrySize > ERROR_LOG_MAXIMUM_SIZE) {
    return nullptr;
  }
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  std::vector<UCHAR> block(entrySize + sizeof(PVOID), 0);
  memcpy(block.data(), &ioObject, sizeof(PVOID));
  void* entry = calloc(1, entrySize);
  I().errorEntries[entry] = std::move(block);
  return entry;
}

VOID IoWriteErrorLogEntry(PVOID entry, std::source_location loc) {
  CheckIrql(DISPATCH_LEVEL, "IoWriteErrorLogEntry", loc);
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  auto it = I().errorEntries.find(entry);
  if (it == I().errorEntries.end()) {
    Verify(Check::PoolBadFree, "IoWriteErrorLogEntry with an entry that was not allocated", loc);
    return;
  }
  ErrorLogEntry logged;
  memcpy(&logged.ioObject, it->second.data(), sizeof(PVOID));
  size_t size = it->second.size() - sizeof(PVOID);
  logged.bytes.assign((UCHAR*)entry, (UCHAR*)entry + size);
  memset(&logged.packet, 0, sizeof logged.packet);
  memcpy(&logged.packet, entry, std::min(size, sizeof logged.packet));
  I().errorLog.push_back(std::move(logged));
  I().errorEntries.erase(it);
  free(entry);
}

VOID IoFreeErrorLogEntry(PVOID entry) {
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  if (I().errorEntries.erase(entry)) free(entry);
}

// ---- power manager --------------------------------------------------------------------------

NTSTATUS PoCallDriver(PDEVICE_OBJECT device, PIRP irp) {
  return IoCallDriver(device, irp, std::source_location{});
}

VOID PoStartNextPowerIrp(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction != IRP_MJ_POWER) {
    Verify(Check::PowerRule, "PoStartNextPowerIrp on an IRP that is not a power IRP");
    return;
  }
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  IrpRecord* record = Lookup(irp);
  int index = irp->CurrentLocation - 1;
  if (record && index >= 0 && index < (int)record->locations.size()) {
    record->locations[index].startedNextPower = true;
  }
}

namespace wdmemu {
void SetLegacyPowerRules(bool legacy) {
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  I().legacyPowerRules = legacy;
}
}  // namespace wdmemu

namespace {
struct PowerRequest {
  PREQUEST_POWER_COMPLETE completion;
  PVOID context;
  PDEVICE_OBJECT pdo;
  POWER_STATE state;
  UCHAR minor;
};

NTSTATUS PowerRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* request = (PowerRequest*)context;
  if (request->completion) {
    request->completion(request->pdo, request->minor, request->state, request->context,
                        &irp->IoStatus);
  }
  delete request;
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}
}  // namespace

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT device, UCHAR minorFunction, POWER_STATE state,
                           PREQUEST_POWER_COMPLETE completion, PVOID context, PIRP* irpOut) {
  CheckIrql(DISPATCH_LEVEL, "PoRequestPowerIrp", {});
  if (minorFunction != IRP_MN_SET_POWER && minorFunction != IRP_MN_QUERY_POWER &&
      minorFunction != IRP_MN_WAIT_WAKE) {
    return STATUS_INVALID_PARAMETER_2;
  }
  PDEVICE_OBJECT top = IoGetAttachedDevice(device);
  PIRP irp;
  {
    AsDriver as(nullptr);  // the power manager owns it
    irp = IoAllocateIrp((CCHAR)(top->StackSize + 1), FALSE);
  }
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  // The power manager's own location carries the callback.
  IoSetNextIrpStackLocation(irp);
  IoSetCompletionRoutine(irp, PowerRequestDone,
                         new PowerRequest{completion, context, device, state, minorFunction}, TRUE,
                         TRUE, TRUE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = minorFunction;
  if (minorFunction == IRP_MN_WAIT_WAKE) {
    next->Parameters.WaitWake.PowerState = state.SystemState;
  } else {
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = state;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  if (irpOut) *irpOut = irp;
  IoCallDriver(top, irp, std::source_location{});
  return STATUS_PENDING;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state) {
  std::lock_guard<std::recursive_mutex> guard(I().lock);
  POWER_STATE old{};
  if (DeviceRecord* record = RecordOf(device); record && type == DevicePowerState) {
    old = record->deviceState;
    record->deviceState = state;
  }
  return old;
}
