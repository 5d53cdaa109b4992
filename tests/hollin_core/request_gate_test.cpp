// The request gate and hold queue, the I/O count, pass-down and create serialisation, and the
// EnableAssert consistency checks, through a parent device added by the Plug and Play manager.
#include <algorithm>
#include <functional>
#include <string>
#include <thread>

#include "core_fixture.h"

namespace hollin::testing {
namespace {

class GateTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    Load(9);
    pdo = NewPdo();
    parent = Add(pdo);
    ASSERT_NE(parent, nullptr);
  }
  PIRP SendRead() {
    PIRP irp = wdmemu::BuildIrp(parent, IRP_MJ_READ);
    EXPECT_EQ(wdmemu::SendIrp(parent, irp), STATUS_PENDING);
    return irp;
  }
  NTSTATUS Completed(PIRP irp) {
    EXPECT_TRUE(wdmemu::WaitForIrp(irp));
    return wdmemu::CompletedStatus(irp).Status;
  }
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT parent = nullptr;
};

TEST_F(GateTest, HeldReadsReplayInArrivalOrderWhenTheGateOpens) {
  EXPECT_EQ(Ext(parent)->HoldMask, kDefaultHoldMask);
  EXPECT_EQ(Ext(parent)->Gate, GateHold);
  PIRP first = SendRead(), second = SendRead(), third = SendRead();
  EXPECT_TRUE(hooks.reads.empty());
  EXPECT_FALSE(wdmemu::IrpCompleted(first));

  OpenGate(parent);
  EXPECT_EQ(hooks.reads, (std::vector<PIRP>{first, second, third}));
  for (PIRP irp : {first, second, third}) EXPECT_EQ(Completed(irp), STATUS_SUCCESS);
  // Held requests leave no count behind.
  EXPECT_EQ(Ext(parent)->IoCount, 0);
}

TEST_F(GateTest, AReplayThatClosesTheGateLeavesTheRestQueued) {
  hooks.closeGateOnFirstRead = true;
  PIRP first = SendRead(), second = SendRead(), third = SendRead();
  OpenGate(parent);
  EXPECT_EQ(hooks.reads, std::vector<PIRP>{first});
  EXPECT_FALSE(wdmemu::IrpCompleted(second));
  EXPECT_FALSE(wdmemu::IrpCompleted(third));

  OpenGate(parent);
  EXPECT_EQ(hooks.reads, (std::vector<PIRP>{first, second, third}));
}

TEST_F(GateTest, RejectCompletesHeldRequestsAndCancelCompletesOne) {
  PIRP kept = SendRead(), cancelled = SendRead(), other = SendRead();
  EXPECT_TRUE(IoCancelIrp(cancelled));
  EXPECT_EQ(Completed(cancelled), STATUS_CANCELLED);
  EXPECT_EQ(wdmemu::CompletedStatus(cancelled).Information, 0u);

  Ext(parent)->Gate = GateReject;
  ReleaseHeldRequests(parent);
  EXPECT_EQ(Completed(kept), STATUS_DELETE_PENDING);
  EXPECT_EQ(Completed(other), STATUS_DELETE_PENDING);
  EXPECT_TRUE(hooks.reads.empty());
  // New requests meet the rejecting gate at once.
  EXPECT_EQ(wdmemu::SendAndWait(parent, wdmemu::BuildIrp(parent, IRP_MJ_READ)),
            STATUS_DELETE_PENDING);
  SendRemove(parent);
}

TEST_F(GateTest, AnIrpCancelledBeforeItIsQueuedCompletesAtOnce) {
  PIRP irp = wdmemu::BuildIrp(parent, IRP_MJ_READ);
  EXPECT_FALSE(IoCancelIrp(irp));  // nothing to call yet, but the IRP is marked
  EXPECT_EQ(wdmemu::SendIrp(parent, irp), STATUS_CANCELLED);
  EXPECT_EQ(Completed(irp), STATUS_CANCELLED);
  EXPECT_TRUE(hooks.reads.empty());
}

TEST_F(GateTest, TheHoldMaskDecidesWhatIsHeld) {
  // QUERY_INFORMATION (5) is not in the default mask: answered while the gate holds.
  PIRP query = wdmemu::BuildIrp(parent, IRP_MJ_QUERY_INFORMATION);
  IoGetNextIrpStackLocation(query)->Parameters.QueryFile.FileInformationClass =
      FileBasicInformation;
  EXPECT_EQ(wdmemu::SendAndWait(parent, query), STATUS_INVALID_PARAMETER);

  Ext(parent)->HoldMask |= 1u << IRP_MJ_QUERY_INFORMATION;
  PIRP held = wdmemu::BuildIrp(parent, IRP_MJ_QUERY_INFORMATION);
  IoGetNextIrpStackLocation(held)->Parameters.QueryFile.FileInformationClass = FileBasicInformation;
  EXPECT_EQ(wdmemu::SendIrp(parent, held), STATUS_PENDING);
  OpenGate(parent);
  EXPECT_EQ(Completed(held), STATUS_INVALID_PARAMETER);
}

TEST_F(GateTest, RemoveReachesThePnpHandlerWhileRejecting) {
  Ext(parent)->Gate = GateReject;
  PIRP other = wdmemu::BuildIrp(parent, IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE);
  EXPECT_EQ(wdmemu::SendAndWait(parent, other), STATUS_DELETE_PENDING);
  SendRemove(parent);
  EXPECT_EQ(hooks.removesHandled, 1);
  EXPECT_EQ(IoGetAttachedDevice(pdo), pdo);
}

TEST_F(GateTest, IoCountSignalsIdleAtOneAndNeverGoesNegative) {
  ParentExtension* ext = Ext(parent);
  EXPECT_EQ(KeReadStateEvent(&ext->IdleEvent), 1);
  EXPECT_EQ(IoCountAcquire(ext), 1);
  EXPECT_EQ(IoCountAcquire(ext), 2);
  EXPECT_EQ(KeReadStateEvent(&ext->IdleEvent), 0);
  EXPECT_EQ(IoCountRelease(ext), 1);
  EXPECT_EQ(KeReadStateEvent(&ext->IdleEvent), 1);
  EXPECT_EQ(IoCountRelease(ext), 0);
  EXPECT_EQ(IoCountRelease(ext), 0);
  EXPECT_EQ(ext->IoCount, 0);

  // Drain with only the caller's own count: no wait beyond the pause.
  IoCountAcquire(ext);
  LARGE_INTEGER before, after;
  KeQuerySystemTime(&before);
  IoCountReleaseAndDrain(ext);
  KeQuerySystemTime(&after);
  EXPECT_EQ(ext->IoCount, 0);
  EXPECT_GE(after.QuadPart - before.QuadPart, 50 * 10000LL - 10000);
}

VOID NoTick(DpcTimer*, PVOID) {}
VOID NoWork(WorkTimer*, PVOID) {}

// Each case breaks a consistency rule through the parent's extension, or keeps it; a breakpoint
// comes only when it is broken and EnableAssert is set.
TEST_F(GateTest, EnableAssertChecksStopAtABreakpoint) {
  ParentExtension* ext = Ext(parent);
  int otherOwner = 0;
  struct Case {
    const char* name;
    bool broken;
    std::function<void()> run;
  };
  const Case cases[] = {
      {"I/O count released below zero", true, [&] { EXPECT_EQ(IoCountRelease(ext), 0); }},
      {"timer started through another extension", true,
       [&] {
         DpcTimer timer;
         TimerInitialize(&timer, NoTick, nullptr, &otherOwner);
         TimerStart(ext, &timer, 60000);
         TimerStop(&timer);
       }},
      {"timer stopped through another extension", true,
       [&] {
         DpcTimer timer;
         TimerInitialize(&timer, NoTick, nullptr, &otherOwner);
         TimerStart(&timer, 60000);
         TimerStop(ext, &timer);
       }},
      {"work timer started through another extension", true,
       [&] {
         WorkTimer timer;
         WorkTimerInitialize(&timer, NoWork, nullptr, &otherOwner);
         WorkTimerStart(ext, &timer, 60000, FALSE, 0);
         WorkTimerStop(&timer);
       }},
      {"work timer stopped through another extension", true,
       [&] {
         WorkTimer timer;
         WorkTimerInitialize(&timer, NoWork, nullptr, &otherOwner);
         WorkTimerStart(&timer, 60000, FALSE, 0);
         WorkTimerStop(ext, &timer);
       }},
      {"own timers", false,
       [&] {
         DpcTimer timer;
         TimerInitialize(&timer, NoTick, nullptr, ext);
         TimerStart(ext, &timer, 60000);
         TimerStop(ext, &timer);
         WorkTimer work;
         WorkTimerInitialize(&work, NoWork, nullptr, ext);
         WorkTimerStart(ext, &work, 60000, FALSE, 0);
         WorkTimerStop(ext, &work);
       }},
  };
  ExpectReport(wdmemu::Check::Assertion);
  auto breakpoints = [&] {
    auto reports = Reports();
    return std::count_if(reports.begin(), reports.end(),
                         [](const auto& r) { return r.check == wdmemu::Check::Assertion; });
  };
  for (const Case& c : cases) {
    for (ULONG flags : {0u, kEnableAssert}) {
      SCOPED_TRACE(std::string(c.name) + (flags ? ", EnableAssert" : ""));
      ext->AssertFlags = flags;
      auto before = breakpoints();
      c.run();
      EXPECT_EQ(breakpoints() - before, c.broken && flags ? 1 : 0);
    }
  }
  ext->AssertFlags = 0;
}

TEST_F(GateTest, DrainWaitsForTheLastRequest) {
  ParentExtension* ext = Ext(parent);
  IoCountAcquire(ext);  // a request in progress
  IoCountAcquire(ext);  // the remove's own count
  ext->PnpState = Removed;
  KEVENT drained;
  KeInitializeEvent(&drained, NotificationEvent, FALSE);
  std::thread remover([&] {
    IoCountReleaseAndDrain(ext);
    KeSetEvent(&drained, IO_NO_INCREMENT, FALSE);
  });
  LARGE_INTEGER poll{};
  poll.QuadPart = -20 * 10000LL;
  EXPECT_EQ(KeWaitForSingleObject(&drained, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  IoCountRelease(ext);
  remover.join();
  EXPECT_EQ(ext->IoCount, 0);
  ext->PnpState = NotStarted;
}

TEST_F(GateTest, NotInD0AtDispatchLevelIsNotReady) {
  OpenGate(parent);
  Ext(parent)->DevicePowerState = PowerDeviceD2;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  PIRP flush = wdmemu::BuildIrp(parent, IRP_MJ_FLUSH_BUFFERS);  // PassDown
  PIRP read = wdmemu::BuildIrp(parent, IRP_MJ_READ);            // an entry routine
  EXPECT_EQ(wdmemu::SendIrp(parent, flush), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(wdmemu::SendIrp(parent, read), STATUS_DEVICE_NOT_READY);
  KeLowerIrql(old);
  EXPECT_EQ(Completed(flush), STATUS_DEVICE_NOT_READY);
  EXPECT_TRUE(hooks.reads.empty());
  EXPECT_EQ(Ext(parent)->IoCount, 0);

  // In D0 the same IRQL passes.
  Ext(parent)->DevicePowerState = PowerDeviceD0;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  PIRP again = wdmemu::BuildIrp(parent, IRP_MJ_READ);
  EXPECT_EQ(wdmemu::SendIrp(parent, again), STATUS_SUCCESS);
  KeLowerIrql(old);
}

TEST_F(GateTest, ASecondCreateWhileOneRunsIsDenied) {
  OpenGate(parent);
  hooks.createTarget = parent;
  EXPECT_EQ(wdmemu::SendAndWait(parent, wdmemu::BuildIrp(parent, IRP_MJ_CREATE)), STATUS_SUCCESS);
  EXPECT_EQ(hooks.nestedCreateStatus, STATUS_ACCESS_DENIED);
  EXPECT_EQ(Ext(parent)->Header.OpenGuard, 0);
  EXPECT_EQ(Ext(parent)->CreateCount, 1);

  hooks.createTarget = nullptr;
  Ext(parent)->Gate = GateReject;
  EXPECT_EQ(wdmemu::SendAndWait(parent, wdmemu::BuildIrp(parent, IRP_MJ_CREATE)),
            STATUS_ACCESS_DENIED);
  SendRemove(parent);
}

}  // namespace
}  // namespace hollin::testing
