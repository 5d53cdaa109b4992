#include "core_fixture.h"

namespace hollin::testing {

TestHooks hooks;
DriverDescriptor testDescriptor;

namespace {

NTSTATUS NTAPI TestAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  return AddDeviceWithDescriptor(&testDescriptor, driver, pdo);
}

NTSTATUS NTAPI TestEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  return DriverEntryWithDescriptor(&testDescriptor, driver, path);
}

NTSTATUS NTAPI TestRead(PDEVICE_OBJECT device, PIRP irp) {
  hooks.reads.push_back(irp);
  if (hooks.closeGateOnFirstRead && hooks.reads.size() == 1) ParentOf(device)->Gate = GateHold;
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI TestCreate(PDEVICE_OBJECT device, PIRP irp) {
  if (hooks.createTarget) {
    PIRP second = wdmemu::BuildIrp(hooks.createTarget, IRP_MJ_CREATE);
    hooks.nestedCreateStatus = wdmemu::SendIrp(hooks.createTarget, second);
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Removal as the parent does it: reject new requests, let the lower stack see the remove, drain
// the count and delete. Everything else goes down unchanged.
NTSTATUS NTAPI TestPnp(PDEVICE_OBJECT device, PIRP irp) {
  ParentExtension* extension = ParentOf(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MinorFunction == IRP_MN_START_DEVICE) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(extension->Header.TargetDevice, irp) == STATUS_PENDING) {
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    NTSTATUS status = irp->IoStatus.Status;
    if (NT_SUCCESS(status)) {
      extension->PnpState = Started;
      extension->Gate = GatePass;
      ReleaseHeldRequests(device);
    }
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  if (stack->MinorFunction != IRP_MN_REMOVE_DEVICE) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(extension->Header.TargetDevice, irp);
  }
  ++hooks.removesHandled;
  extension->PreviousPnpState = extension->PnpState;
  extension->PnpState = Removed;
  extension->Gate = GateReject;
  ReleaseHeldRequests(device);
  IoCountReleaseAndDrain(extension);
  StopParentDevice(device);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(extension->Header.TargetDevice, irp);
  DeleteParentDevice(device);
  return status;
}

NTSTATUS StartHook(PDEVICE_OBJECT) { return hooks.startHookStatus; }
NTSTATUS RecordCreated(DriverRecord*) {
  ++hooks.recordsCreated;
  return hooks.recordCreatedStatus;
}
VOID RecordReleased(DriverRecord*) { ++hooks.recordsReleased; }

}  // namespace

DriverDescriptor DefaultTestDescriptor() {
  DriverDescriptor d = HollinDescriptor;
  d.AddDevice = TestAddDevice;
  d.OnStartHook = StartHook;
  d.OnDriverRecordCreated = RecordCreated;
  d.OnDriverRecordReleased = RecordReleased;
  d.Handlers.OnPnp = TestPnp;
  d.Handlers.OnPnpLegacy = TestPnp;
  d.Handlers.OnRead = TestRead;
  d.Handlers.OnCreate = TestCreate;
  return d;
}

void CoreTest::SetUp() {
  KernelTest::SetUp();
  hooks = TestHooks{};
  testDescriptor = DefaultTestDescriptor();
}

void CoreTest::TearDown() {
  for (PDEVICE_OBJECT pdo : pdos) {
    if (IoGetAttachedDevice(pdo) != pdo) wdmemu::PnpRemoveDevice(pdo);
  }
  KernelTest::TearDown();
  wdmemu::SetSystemVersionCode(9);
}

PDRIVER_OBJECT CoreTest::Load(ULONG version) {
  wdmemu::SetSystemVersionCode(version);
  NTSTATUS status;
  driver = wdmemu::LoadDriver(TestEntry, u"hollin", &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  return driver;
}

PDEVICE_OBJECT CoreTest::NewPdo(const std::u16string& instance) {
  wdmemu::PdoDescription description;
  description.instancePath = u"USB\\VID_1234&PID_5678\\" + instance;
  description.driverKey = u"{4d36e96d-e325-11ce-bfc1-08002be10318}\\" + instance;
  PDEVICE_OBJECT pdo = wdmemu::CreatePdo(description);
  pdos.push_back(pdo);
  return pdo;
}

PDEVICE_OBJECT CoreTest::Add(PDEVICE_OBJECT pdo, NTSTATUS expected) {
  EXPECT_EQ(wdmemu::PnpAddDevice(driver, pdo), expected);
  PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
  return top == pdo ? nullptr : top;
}

void CoreTest::Remove(PDEVICE_OBJECT pdo) {
  EXPECT_EQ(wdmemu::PnpRemoveDevice(pdo), STATUS_SUCCESS);
}

void CoreTest::SendRemove(PDEVICE_OBJECT parent) {
  PIRP irp = wdmemu::BuildIrp(parent, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
  EXPECT_EQ(wdmemu::SendAndWait(parent, irp), STATUS_SUCCESS);
}

void CoreTest::OpenGate(PDEVICE_OBJECT parent) {
  Ext(parent)->Gate = GatePass;
  ReleaseHeldRequests(parent);
}

}  // namespace hollin::testing
