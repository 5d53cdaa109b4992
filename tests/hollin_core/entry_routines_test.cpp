// Per-routine differences of the entry routines: requests that skip the hold queue, power
// requests of a device that is not started, the close reference and the shutdown cleanup.
#include "core_fixture.h"

namespace hollin::testing {
namespace {

std::vector<UCHAR> handled;  // major functions that reached a handler

NTSTATUS NTAPI Record(PDEVICE_OBJECT, PIRP irp) {
  handled.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RecordPower(PDEVICE_OBJECT device, PIRP irp) {
  handled.push_back(IRP_MJ_POWER);
  return PassDown(device, irp);
}

class EntryRoutineTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    handled.clear();
    testDescriptor.Handlers.OnInternalDeviceControl = Record;
    testDescriptor.Handlers.OnDeviceControl = Record;
    testDescriptor.Handlers.OnClose = Record;
    testDescriptor.Handlers.OnCleanup = Record;
    testDescriptor.Handlers.OnPower = RecordPower;
    Load(9);
    pdo = NewPdo();
    parent = Add(pdo);
  }
  PIRP Control(UCHAR major, ULONG code) {
    PIRP irp = wdmemu::BuildIrp(parent, major);
    IoGetNextIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode = code;
    return irp;
  }
  PDEVICE_OBJECT pdo = nullptr, parent = nullptr;
};

TEST_F(EntryRoutineTest, PortStatusIsNeverHeld) {
  Ext(parent)->HoldMask = kHoldEverything;
  EXPECT_EQ(wdmemu::SendAndWait(parent, Control(IRP_MJ_INTERNAL_DEVICE_CONTROL, 0x220013)),
            STATUS_SUCCESS);
  PIRP submit = Control(IRP_MJ_INTERNAL_DEVICE_CONTROL, 0x220003);
  PIRP baud = Control(IRP_MJ_DEVICE_CONTROL, 0x1B0004);
  EXPECT_EQ(wdmemu::SendIrp(parent, submit), STATUS_PENDING);
  EXPECT_EQ(wdmemu::SendIrp(parent, baud), STATUS_PENDING);
  EXPECT_EQ(handled, std::vector<UCHAR>{IRP_MJ_INTERNAL_DEVICE_CONTROL});
  OpenGate(parent);
  EXPECT_EQ(handled, (std::vector<UCHAR>{IRP_MJ_INTERNAL_DEVICE_CONTROL,
                                         IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_DEVICE_CONTROL}));
  EXPECT_TRUE(wdmemu::WaitForIrp(submit));
  EXPECT_TRUE(wdmemu::WaitForIrp(baud));
}

TEST_F(EntryRoutineTest, SystemPowerOfADeviceNotStartedGoesStraightDown) {
  EXPECT_EQ(wdmemu::PoSetSystemState(pdo, PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_TRUE(handled.empty());
  EXPECT_EQ(wdmemu::PoSetSystemState(pdo, PowerSystemWorking), STATUS_SUCCESS);

  Ext(parent)->PnpState = Started;
  EXPECT_EQ(wdmemu::PoSetSystemState(pdo, PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_FALSE(handled.empty());
  EXPECT_EQ(Ext(parent)->IoCount, 0);
  Ext(parent)->PnpState = NotStarted;
}

TEST_F(EntryRoutineTest, CloseHoldsAReferenceAndCleanupNotesShutdown) {
  OpenGate(parent);
  LONG references = parent->ReferenceCount;
  PIRP close = wdmemu::BuildIrp(parent, IRP_MJ_CLOSE);
  EXPECT_EQ(wdmemu::SendAndWait(parent, close), STATUS_SUCCESS);
  EXPECT_EQ(parent->ReferenceCount, references);

  PIRP cleanup = wdmemu::BuildIrp(parent, IRP_MJ_CLEANUP);
  IoGetNextIrpStackLocation(cleanup)->Parameters.Read.Length = PowerSystemShutdown;
  EXPECT_EQ(wdmemu::SendAndWait(parent, cleanup), STATUS_SUCCESS);
  EXPECT_EQ(Ext(parent)->SystemPowerState, PowerSystemShutdown);
  EXPECT_EQ(handled, (std::vector<UCHAR>{IRP_MJ_CLOSE, IRP_MJ_CLEANUP}));
}

}  // namespace
}  // namespace hollin::testing
