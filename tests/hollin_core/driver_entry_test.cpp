// The driver entry's major functions by system version code, the forwarders that replace them
// while parent devices exist, and the parent's own answers.
#include "core_fixture.h"
#include "usb/forwarders.h"

namespace hollin::testing {
namespace {

using Entries = std::vector<PDRIVER_DISPATCH>;

Entries MajorFunctions(PDRIVER_OBJECT driver) {
  return Entries(driver->MajorFunction, driver->MajorFunction + kMajorFunctionCount);
}

class DriverEntryTest : public CoreTest {};

TEST_F(DriverEntryTest, VersionCodeChoosesPnpPowerAndSystemControl) {
  struct Case {
    ULONG version;
    PDRIVER_DISPATCH pnp, power, systemControl;
  };
  const Case cases[] = {
      {1, EntryPnpLegacy, EntryPowerLegacy, PassDown},
      {2, EntryPnp, EntryPower, EntrySystemControl},
      {12, EntryPnp, EntryPower, EntrySystemControl},
      {0, EntryPnp, EntryPower, PassDown},
      {13, EntryPnp, EntryPower, PassDown},
  };
  // Distinct handlers: a legacy slot holding the same routine as the other one is installed
  // through the other one's entry routine.
  testDescriptor.Handlers.OnPower = ParentRefuse;
  testDescriptor.Handlers.OnPowerLegacy = ParentPassToTarget;
  testDescriptor.Handlers.OnPnpLegacy = ParentPassToTarget;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    PDRIVER_OBJECT d = Load(c.version);
    EXPECT_EQ(d->MajorFunction[IRP_MJ_PNP], c.pnp);
    EXPECT_EQ(d->MajorFunction[IRP_MJ_POWER], c.power);
    EXPECT_EQ(d->MajorFunction[IRP_MJ_SYSTEM_CONTROL], c.systemControl);
    EXPECT_EQ(d->MajorFunction[IRP_MJ_CREATE], EntryCreate);
    EXPECT_EQ(d->MajorFunction[IRP_MJ_READ], EntryRead);
    EXPECT_EQ(d->MajorFunction[IRP_MJ_QUERY_INFORMATION], EntryQueryInformation);
    EXPECT_EQ(d->MajorFunction[IRP_MJ_FLUSH_BUFFERS], PassDown);
    EXPECT_EQ(d->MajorFunction[IRP_MJ_SHUTDOWN], PassDown);
    EXPECT_EQ(d->DriverExtension->AddDevice, testDescriptor.AddDevice);
    wdmemu::UnloadDriver(d);
  }
}

TEST_F(DriverEntryTest, NullSlotsLeavePassDownAndAFailedVersionQueryStopsTheEntry) {
  testDescriptor.Handlers = HandlerTable{};
  PDRIVER_OBJECT d = Load(9);
  for (PDRIVER_DISPATCH entry : MajorFunctions(d)) EXPECT_EQ(entry, PassDown);
  wdmemu::UnloadDriver(d);

  wdmemu::SetSystemVersionCode(9, STATUS_NOT_SUPPORTED);
  NTSTATUS status;
  EXPECT_EQ(wdmemu::LoadDriver(
                [](PDRIVER_OBJECT drv, PUNICODE_STRING path) {
                  return DriverEntryWithDescriptor(&testDescriptor, drv, path);
                },
                u"hollin2", &status),
            nullptr);
  EXPECT_EQ(status, STATUS_NOT_SUPPORTED);
}

TEST_F(DriverEntryTest, ForwardersLiveAsLongAsAParentDevice) {
  Load(9);
  Entries set = MajorFunctions(driver);
  Entries forwarders(Forwarders, Forwarders + kMajorFunctionCount);
  PDEVICE_OBJECT a = NewPdo(u"0"), b = NewPdo(u"1");
  PDEVICE_OBJECT parentA = Add(a);
  Add(b);
  EXPECT_EQ(MajorFunctions(driver), forwarders);
  EXPECT_EQ(hooks.recordsCreated, 1);
  EXPECT_EQ(Ext(parentA)->Dispatch[IRP_MJ_READ], EntryRead);

  Remove(a);
  EXPECT_EQ(MajorFunctions(driver), forwarders);
  Remove(b);
  EXPECT_EQ(MajorFunctions(driver), set);
  EXPECT_EQ(hooks.recordsReleased, 1);

  // A later device starts a new record.
  Add(a);
  EXPECT_EQ(MajorFunctions(driver), forwarders);
  EXPECT_EQ(hooks.recordsCreated, 2);
}

TEST_F(DriverEntryTest, ANullSlotPassesDownOrFailsWithoutALowerDevice) {
  Load(9);
  std::vector<UCHAR> seen;
  wdmemu::PdoDescription description;
  description.handler = [&](PDEVICE_OBJECT, PIRP irp) {
    seen.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  PDEVICE_OBJECT pdo = wdmemu::CreatePdo(description);
  pdos.push_back(pdo);
  PDEVICE_OBJECT parent = Add(pdo);
  EXPECT_EQ(wdmemu::SendAndWait(parent, wdmemu::BuildIrp(parent, IRP_MJ_FLUSH_BUFFERS)),
            STATUS_SUCCESS);
  EXPECT_EQ(seen, std::vector<UCHAR>{IRP_MJ_FLUSH_BUFFERS});

  PDEVICE_OBJECT target = Ext(parent)->Header.TargetDevice;
  Ext(parent)->Header.TargetDevice = nullptr;
  EXPECT_EQ(wdmemu::SendAndWait(parent, wdmemu::BuildIrp(parent, IRP_MJ_FLUSH_BUFFERS)),
            STATUS_INVALID_PARAMETER);
  Ext(parent)->Header.TargetDevice = target;
}

TEST_F(DriverEntryTest, TheParentRefusesOpensAndAnswersFileQueries) {
  testDescriptor.Handlers.OnCreate = ParentRefuse;
  testDescriptor.Handlers.OnRead = ParentRefuse;
  Load(9);
  PDEVICE_OBJECT parent = Add(NewPdo());
  OpenGate(parent);
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_READ, IRP_MJ_WRITE}) {
    EXPECT_EQ(wdmemu::SendAndWait(parent, wdmemu::BuildIrp(parent, major)),
              STATUS_INVALID_PARAMETER)
        << int(major);
  }

  struct Case {
    UCHAR major;
    FILE_INFORMATION_CLASS type;
    NTSTATUS status;
    ULONG_PTR information;
  };
  const Case cases[] = {
      {IRP_MJ_QUERY_INFORMATION, FileStandardInformation, STATUS_SUCCESS,
       sizeof(FILE_STANDARD_INFORMATION)},
      {IRP_MJ_QUERY_INFORMATION, FilePositionInformation, STATUS_SUCCESS,
       sizeof(FILE_POSITION_INFORMATION)},
      {IRP_MJ_QUERY_INFORMATION, FileBasicInformation, STATUS_INVALID_PARAMETER, 0},
      {IRP_MJ_SET_INFORMATION, FileEndOfFileInformation, STATUS_SUCCESS, 0},
      {IRP_MJ_SET_INFORMATION, FilePositionInformation, STATUS_INVALID_PARAMETER, 0},
  };
  for (const Case& c : cases) {
    UCHAR buffer[64];
    memset(buffer, 0xAB, sizeof buffer);
    PIRP irp = wdmemu::BuildIrp(parent, c.major);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.QueryFile.Length = sizeof buffer;
    stack->Parameters.QueryFile.FileInformationClass = c.type;
    irp->AssociatedIrp.SystemBuffer = buffer;
    ULONG_PTR information = 99;
    EXPECT_EQ(wdmemu::SendAndWait(parent, irp, &information), c.status) << c.type;
    EXPECT_EQ(information, c.information) << c.type;
    for (ULONG_PTR i = 0; i < c.information; ++i) ASSERT_EQ(buffer[i], 0) << c.type;
    EXPECT_EQ(buffer[c.information], 0xAB);
  }
}

TEST_F(DriverEntryTest, ForwarderChecksStackLocationsAndUsesEachDevicesOwnTable) {
  Load(9);
  PDEVICE_OBJECT parent = Add(NewPdo());
  OpenGate(parent);

  // One location too few for the parent's stack of two.
  PIRP tooShort = IoAllocateIrp(parent->StackSize - 1, FALSE);
  IoGetNextIrpStackLocation(tooShort)->MajorFunction = IRP_MJ_READ;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(
      tooShort,
      [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      &done, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(parent, tooShort), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(tooShort->IoStatus.Status, STATUS_INVALID_PARAMETER);
  IoFreeIrp(tooShort);
  EXPECT_TRUE(hooks.reads.empty());
  EXPECT_EQ(wdmemu::SendAndWait(parent, wdmemu::BuildIrp(parent, IRP_MJ_READ)), STATUS_SUCCESS);
  EXPECT_EQ(hooks.reads.size(), 1u);

  // A second device object of the same driver with a table of its own.
  PDEVICE_OBJECT child = nullptr;
  ASSERT_EQ(
      IoCreateDevice(driver, kDeviceExtensionSize, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &child),
      STATUS_SUCCESS);
  child->Flags &= ~DO_DEVICE_INITIALIZING;
  static int childReads;
  childReads = 0;
  PDRIVER_DISPATCH* table = DispatchTableOf(child);
  table[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
    ++childReads;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  EXPECT_EQ(wdmemu::SendAndWait(child, wdmemu::BuildIrp(child, IRP_MJ_READ)), STATUS_SUCCESS);
  EXPECT_EQ(childReads, 1);
  EXPECT_EQ(hooks.reads.size(), 1u);
  IoDeleteDevice(child);
}

}  // namespace
}  // namespace hollin::testing
