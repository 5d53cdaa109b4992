// The trace history's ring and record layout.
#include "core/trace.h"
#include "kernel_test.h"

namespace {

class TraceHistory : public wdmemu::testing::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    ASSERT_EQ(TraceInit(&trace), STATUS_SUCCESS);
  }
  void TearDown() override {
    TraceFree(&trace);
    KernelTest::TearDown();
  }
  Trace trace;
};

TEST_F(TraceHistory, TheTwoHundredFiftySeventhEventOverwritesSlotZero) {
  for (ULONG i = 0; i < 256; ++i) TraceEventSuspend(&trace, 3, i, 1, i, nullptr);
  EXPECT_EQ(trace.NextSlot, 0u);
  EXPECT_EQ(TraceRecordAt(&trace, 0)->Code, 0u);
  TraceEventSuspend(&trace, 4, 999, 7, 5, &trace);
  EXPECT_EQ(trace.NextSlot, 1u);
  TraceRecord* first = TraceRecordAt(&trace, 0);
  EXPECT_EQ(first->Kind, 4u);
  EXPECT_EQ(first->Code, 999u);
  EXPECT_EQ(first->Category, 7u);
  EXPECT_EQ(first->Object, (ULONG64)(ULONG_PTR)&trace);
  EXPECT_EQ(TraceRecordAt(&trace, 1)->Code, 1u);
  EXPECT_LT(first->TimeMs, 86400000u);
}

TEST_F(TraceHistory, IrpEventsSnapshotTheIrpAndItsLocation) {
  PIRP irp = IoAllocateIrp(2, FALSE);
  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_POWER;
  stack->MinorFunction = IRP_MN_SET_POWER;
  stack->Parameters.Power.Type = DevicePowerState;
  stack->Parameters.Power.State.DeviceState = PowerDeviceD2;
  TraceEventIrp(&trace, 41, irp, STATUS_PENDING);
  TraceRecord* r = TraceRecordAt(&trace, 0);
  EXPECT_EQ(r->Kind, 2u);
  EXPECT_EQ(r->Category, 17u);  // set-power D2
  EXPECT_EQ(memcmp(trace.Buffer + TRACE_IRP_OFFSET, irp, sizeof(IRP)), 0);
  EXPECT_EQ(memcmp(trace.Buffer + TRACE_STACK_OFFSET, stack, sizeof(IO_STACK_LOCATION)), 0);

  stack->MinorFunction = IRP_MN_QUERY_POWER;
  stack->Parameters.Power.Type = SystemPowerState;
  stack->Parameters.Power.State.SystemState = PowerSystemSleeping3;
  EXPECT_EQ(TraceIrpCategory(irp), 12u);
  EXPECT_EQ(TraceIrpCategory(nullptr), 23u);
  TraceEventSnapshot(&trace, 50, irp);
  EXPECT_EQ(TraceRecordAt(&trace, 1)->Category, 2u);
  IoFreeIrp(irp);
}

TEST_F(TraceHistory, AnIrpWithoutACurrentLocationSnapshotsNoLocation) {
  PIRP irp = IoAllocateIrp(1, FALSE);  // the creator's view: nothing current yet
  TraceEventIrp(&trace, 42, irp, 0);
  EXPECT_EQ(TraceRecordAt(&trace, 0)->Category, 24u);
  const UCHAR* snapshot = trace.Buffer + TRACE_STACK_OFFSET;
  for (int i = 0; i < TRACE_STACK_SIZE; ++i) ASSERT_EQ(snapshot[i], 0);
  IoFreeIrp(irp);
}

TEST_F(TraceHistory, PowerRequestCategories) {
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  TraceEventPowerRequest(&trace, 60, IRP_MN_SET_POWER, d3, 0, nullptr, nullptr);
  TraceEventPowerRequest(&trace, 61, IRP_MN_QUERY_POWER, d3, 0, nullptr, nullptr);
  TraceEventPowerRequest(&trace, 62, IRP_MN_WAIT_WAKE, d3, 0, nullptr, nullptr);
  TraceEventPowerRequest(&trace, 63, IRP_MN_POWER_SEQUENCE, d3, 0, nullptr, nullptr);
  EXPECT_EQ(TraceRecordAt(&trace, 0)->Category, 3u);
  EXPECT_EQ(TraceRecordAt(&trace, 1)->Category, 7u);
  EXPECT_EQ(TraceRecordAt(&trace, 2)->Category, 8u);
  EXPECT_EQ(TraceRecordAt(&trace, 3)->Category, 9u);
  EXPECT_EQ(TraceRecordAt(&trace, 0)->Kind, 1u);
}

TEST_F(TraceHistory, InitFailsWithoutPool) {
  Trace other;
  wdmemu::InjectPoolFailure(0, 1);
  EXPECT_EQ(TraceInit(&other), STATUS_INSUFFICIENT_RESOURCES);
}

}  // namespace
