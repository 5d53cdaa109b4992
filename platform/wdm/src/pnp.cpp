// The Plug and Play manager and the system side of the power manager: AddDevice, the start,
// stop, removal and surprise-removal sequences, bus relations with their children's identities
// and start, and system power transitions. Every IRP goes to the top of the device's stack at
// PASSIVE_LEVEL with IoStatus.Status = STATUS_NOT_SUPPORTED, as the Plug and Play manager sends
// them.
#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

#include "internal.h"
#include "kernel_queues.h"

namespace wdmemu {

PDEVICE_OBJECT AdoptChildPdo(PDEVICE_OBJECT child, const PdoDescription& description);

namespace {

struct Node {
  PDEVICE_OBJECT pdo;
  PDEVICE_OBJECT parent = nullptr;
  bool started = false;
  bool removed = false;
  char relationsWork = 0;  // addresses that key the queued re-enumeration and state query
  char stateWork = 0;
  unsigned order = 0;  // children are enumerated and removed in the order they were reported
  ChildIdentity identity;
};

struct Manager {
  std::recursive_mutex lock;
  std::map<PDEVICE_OBJECT, Node> nodes;
  unsigned classKeys = 0;
  unsigned nextOrder = 0;
};

Manager& M() {
  static Manager* manager = new Manager;
  return *manager;
}

Node& NodeOf(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::recursive_mutex> guard(M().lock);
  auto [it, inserted] = M().nodes.try_emplace(pdo);
  Node& node = it->second;
  node.pdo = pdo;
  if (inserted) node.order = M().nextOrder++;
  return node;
}

template <typename Setup>
NTSTATUS Send(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor, ULONG_PTR* information, Setup setup) {
  PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
  PIRP irp = BuildIrp(top, major, minor);
  setup(IoGetNextIrpStackLocation(irp));
  return SendAndWait(top, irp, information);
}

NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, ULONG_PTR* information = nullptr) {
  return Send(pdo, IRP_MJ_PNP, minor, information, [](PIO_STACK_LOCATION) {});
}

const char* MinorName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_REMOVE_DEVICE:
      return "IRP_MN_REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return "IRP_MN_CANCEL_REMOVE_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE:
      return "IRP_MN_CANCEL_STOP_DEVICE";
    case IRP_MN_SURPRISE_REMOVAL:
      return "IRP_MN_SURPRISE_REMOVAL";
    case IRP_MN_STOP_DEVICE:
      return "IRP_MN_STOP_DEVICE";
    default:
      return "PnP IRP";
  }
}

// The minor codes that must succeed.
NTSTATUS SendRequired(PDEVICE_OBJECT pdo, UCHAR minor) {
  NTSTATUS status = SendPnp(pdo, minor);
  if (!NT_SUCCESS(status)) {
    Verify(Check::PnpRule, std::string(MinorName(minor)) + " failed with " +
                               std::to_string((ULONG)status) + "; it must succeed");
  }
  return status;
}

// Takes a pool string the bus driver returned, checks it against the ID rules and frees it.
std::vector<std::u16string> TakeIds(ULONG_PTR information, bool multi, bool checkId) {
  std::vector<std::u16string> out;
  auto* p = (const WCHAR*)information;
  if (!p) return out;
  for (;;) {
    std::u16string id;
    while (*p) id += *p++;
    if (checkId) {
      for (char16_t c : id) {
        if (c < 0x20 || c > 0x7F || c == u',') {
          Verify(Check::PnpRule, "device ID \"" + Narrow(id) +
                                     "\" holds a character that is "
                                     "not allowed (below 0x20, above 0x7F or ',')");
          break;
        }
      }
      if (id.size() >= 200) Verify(Check::PnpRule, "device ID of 200 characters or more");
    }
    if (id.empty() && multi) break;
    out.push_back(id);
    ++p;
    if (!multi) break;
  }
  ExFreePool((PVOID)information);
  return out;
}

std::u16string QueryId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type, bool multi,
                       std::vector<std::u16string>* list) {
  ULONG_PTR information = 0;
  NTSTATUS status = Send(pdo, IRP_MJ_PNP, IRP_MN_QUERY_ID, &information,
                         [&](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; });
  if (!NT_SUCCESS(status)) return {};
  std::vector<std::u16string> ids = TakeIds(information, multi, type != BusQueryContainerID);
  if (list) *list = ids;
  return ids.empty() ? std::u16string() : ids[0];
}

std::u16string QueryText(PDEVICE_OBJECT pdo, DEVICE_TEXT_TYPE type) {
  ULONG_PTR information = 0;
  NTSTATUS status =
      Send(pdo, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_TEXT, &information, [&](PIO_STACK_LOCATION s) {
        s->Parameters.QueryDeviceText.DeviceTextType = type;
        s->Parameters.QueryDeviceText.LocaleId = 0x409;
      });
  if (!NT_SUCCESS(status)) return {};
  std::vector<std::u16string> text = TakeIds(information, false, false);
  return text.empty() ? std::u16string() : text[0];
}

NTSTATUS QueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* caps) {
  memset(caps, 0, sizeof *caps);
  caps->Size = sizeof *caps;
  caps->Version = 1;
  caps->Address = caps->UINumber = 0xFFFFFFFF;
  return Send(pdo, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, nullptr,
              [&](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = caps; });
}

void Identify(Node& child) {
  ChildIdentity& id = child.identity;
  id.pdo = child.pdo;
  id.deviceId = QueryId(child.pdo, BusQueryDeviceID, false, nullptr);
  QueryId(child.pdo, BusQueryHardwareIDs, true, &id.hardwareIds);
  QueryId(child.pdo, BusQueryCompatibleIDs, true, &id.compatibleIds);
  id.instanceId = QueryId(child.pdo, BusQueryInstanceID, false, nullptr);
  id.description = QueryText(child.pdo, DeviceTextDescription);
  id.location = QueryText(child.pdo, DeviceTextLocationInformation);
  QueryCapabilities(child.pdo, &id.capabilities);
  if (id.deviceId.empty()) Verify(Check::PnpRule, "child reported without a device ID");
}

void RemoveNode(PDEVICE_OBJECT pdo, bool surprise);

// The world installs no function drivers, so a new child's stack is its PDO alone and it runs
// as a raw device: started once its identity is known. A failed start leaves it present but not
// started, and its stack gets the REMOVE that follows every failed start; the bus driver keeps
// the PDO while it still reports it, and the child gets another REMOVE when it goes.
void StartChild(PDEVICE_OBJECT child) {
  if (!NT_SUCCESS(PnpStartDevice(child))) SendRequired(child, IRP_MN_REMOVE_DEVICE);
}

// The present children of `pdo`, in the order they were first reported.
std::vector<Node*> ChildrenOf(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::recursive_mutex> guard(M().lock);
  std::vector<Node*> out;
  for (auto& [child, node] : M().nodes) {
    if (node.parent == pdo && !node.removed) out.push_back(&node);
  }
  std::sort(out.begin(), out.end(), [](Node* a, Node* b) { return a->order < b->order; });
  return out;
}

}  // namespace

NTSTATUS PnpAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  NodeOf(pdo);
  PDEVICE_OBJECT before = IoGetAttachedDevice(pdo);
  NTSTATUS status;
  {
    AsDriver as(driver);
    status = driver->DriverExtension->AddDevice(driver, pdo);
  }
  PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
  if (NT_SUCCESS(status) && top != before && (top->Flags & DO_DEVICE_INITIALIZING)) {
    Verify(Check::PnpRule, "AddDevice returned with DO_DEVICE_INITIALIZING still set");
  }
  return status;
}

NTSTATUS PnpStartDevice(PDEVICE_OBJECT pdo) {
  Node& node = NodeOf(pdo);
  NTSTATUS status = SendPnp(pdo, IRP_MN_START_DEVICE);
  if (!NT_SUCCESS(status)) return status;
  node.started = true;
  DEVICE_CAPABILITIES caps;
  QueryCapabilities(pdo, &caps);
  ULONG_PTR state = 0;
  SendPnp(pdo, IRP_MN_QUERY_PNP_DEVICE_STATE, &state);
  PnpEnumerate(pdo);
  return STATUS_SUCCESS;
}

NTSTATUS PnpEnumerate(PDEVICE_OBJECT pdo) {
  ULONG_PTR information = 0;
  NTSTATUS status =
      Send(pdo, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS, &information,
           [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = BusRelations; });
  if (!NT_SUCCESS(status)) return status == STATUS_NOT_SUPPORTED ? STATUS_SUCCESS : status;
  std::vector<PDEVICE_OBJECT> reported;
  if (auto* relations = (PDEVICE_RELATIONS)information) {
    for (ULONG i = 0; i < relations->Count; ++i) reported.push_back(relations->Objects[i]);
    ExFreePool(relations);
  }
  std::vector<PDEVICE_OBJECT> known, vanished;
  for (Node* node : ChildrenOf(pdo)) known.push_back(node->pdo);
  for (PDEVICE_OBJECT child : reported) {
    bool isNew = std::find(known.begin(), known.end(), child) == known.end();
    if (isNew) {
      Node& node = NodeOf(child);
      node.parent = pdo;
      Identify(node);
      PdoDescription d;
      d.instancePath = node.identity.deviceId + u"\\" + node.identity.instanceId;
      d.hardwareIds = node.identity.hardwareIds;
      d.compatibleIds = node.identity.compatibleIds;
      d.description = node.identity.description;
      d.location = node.identity.location;
      char key[64];
      snprintf(key, sizeof key, "{4d36e96d-e325-11ce-bfc1-08002be10318}\\%04u", M().classKeys++);
      d.driverKey = Widen(key);
      AdoptChildPdo(child, d);
      StartChild(child);
    }
    ObDereferenceObject(child);  // the reference the bus driver took for the list
  }
  for (PDEVICE_OBJECT child : known) {
    if (std::find(reported.begin(), reported.end(), child) == reported.end()) {
      vanished.push_back(child);
    }
  }
  for (PDEVICE_OBJECT child : vanished) RemoveNode(child, true);
  return STATUS_SUCCESS;
}

std::vector<ChildIdentity> PnpChildren(PDEVICE_OBJECT pdo) {
  std::vector<ChildIdentity> out;
  for (Node* node : ChildrenOf(pdo)) out.push_back(node->identity);
  return out;
}

namespace {

void RemoveChildren(PDEVICE_OBJECT pdo, bool surprise) {
  std::vector<PDEVICE_OBJECT> children;
  for (Node* node : ChildrenOf(pdo)) children.push_back(node->pdo);
  for (PDEVICE_OBJECT child : children) RemoveNode(child, surprise);
}

void RemoveNode(PDEVICE_OBJECT pdo, bool surprise) {
  RemoveChildren(pdo, surprise);
  Node& node = NodeOf(pdo);
  if (surprise && node.started) SendRequired(pdo, IRP_MN_SURPRISE_REMOVAL);
  SendRequired(pdo, IRP_MN_REMOVE_DEVICE);
  std::lock_guard<std::recursive_mutex> guard(M().lock);
  node.removed = true;
  node.started = false;
}

}  // namespace

NTSTATUS PnpRemoveDevice(PDEVICE_OBJECT pdo) {
  NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
  if (!NT_SUCCESS(status)) {
    SendRequired(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
    return status;
  }
  RemoveNode(pdo, false);
  return STATUS_SUCCESS;
}

void PnpSurpriseRemove(PDEVICE_OBJECT pdo) { RemoveNode(pdo, true); }

NTSTATUS PnpStopDevice(PDEVICE_OBJECT pdo, bool cancel) {
  NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE);
  if (!NT_SUCCESS(status) || cancel) {
    SendRequired(pdo, IRP_MN_CANCEL_STOP_DEVICE);
    return NT_SUCCESS(status) ? STATUS_CANCELLED : status;
  }
  SendRequired(pdo, IRP_MN_STOP_DEVICE);
  NodeOf(pdo).started = false;
  return STATUS_SUCCESS;
}

NTSTATUS PoSetSystemState(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
  auto setup = [&](PIO_STACK_LOCATION s) {
    s->Parameters.Power.Type = SystemPowerState;
    s->Parameters.Power.State.SystemState = state;
    s->Parameters.Power.ShutdownType =
        state == PowerSystemShutdown ? PowerActionShutdown : PowerActionSleep;
  };
  if (state != PowerSystemWorking) {
    NTSTATUS status = Send(pdo, IRP_MJ_POWER, IRP_MN_QUERY_POWER, nullptr, setup);
    if (!NT_SUCCESS(status)) return status;
  }
  NTSTATUS status = Send(pdo, IRP_MJ_POWER, IRP_MN_SET_POWER, nullptr, setup);
  if (!NT_SUCCESS(status)) {
    Verify(Check::PowerRule, "a system SET_POWER failed; it cannot be failed");
  }
  return status;
}

// The Plug and Play manager answers invalidations later, from a worker thread; invalidations
// that arrive while one is queued fold into it.
void QueuePnpWork(PDEVICE_OBJECT pdo, bool relations) {
  Node* node;
  {
    std::lock_guard<std::recursive_mutex> guard(M().lock);
    node = &NodeOf(pdo);
  }
  WorkEntry entry;
  entry.key = relations ? &node->relationsWork : &node->stateWork;
  entry.run = [pdo, relations, node] {
    bool started;
    {
      std::lock_guard<std::recursive_mutex> guard(M().lock);
      started = node->started && !node->removed;
    }
    if (!started) return;
    if (relations) {
      PnpEnumerate(pdo);
    } else {
      ULONG_PTR state = 0;
      SendPnp(pdo, IRP_MN_QUERY_PNP_DEVICE_STATE, &state);
    }
  };
  QueueWork(std::move(entry));
}

void ClearPnp() {
  std::lock_guard<std::recursive_mutex> guard(M().lock);
  M().nodes.clear();
  M().classKeys = 0;
  M().nextOrder = 0;
}

}  // namespace wdmemu
