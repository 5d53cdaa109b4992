// IRPs through stacks: stack locations, completion order and invoke flags, pending, MORE_
// PROCESSING_REQUIRED and cancel, as the I/O manager defines them.
#include <atomic>
#include <string>
#include <thread>

#include "kernel_test.h"
#include "layers.h"

using namespace wdmtest;
using wdmemu::Check;

namespace {

class Irps : public wdmemu::testing::KernelTest {};

TEST_F(Irps, AllocatedIrpOwnsNoLocationAndNextIsTheLastEntry) {
  PIRP irp = IoAllocateIrp(3, FALSE);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(irp->StackCount, 3);
  EXPECT_EQ(irp->CurrentLocation, 4);
  EXPECT_EQ(IoGetNextIrpStackLocation(irp), (PIO_STACK_LOCATION)(irp + 1) + 2);
  EXPECT_EQ(IoSizeOfIrp(3), 208 + 3 * 72);
  IoFreeIrp(irp);
}

TEST_F(Irps, CompletionRunsBottomUpWithTheSettersDevice) {
  Stack stack;
  std::vector<std::string> order;
  PDEVICE_OBJECT seenByMiddle = nullptr;
  stack.Add([&](PDEVICE_OBJECT device, PIRP irp) {
    order.push_back("bottom dispatch");
    return CompleteWith(irp, STATUS_SUCCESS, 7);
  });
  static std::vector<std::string>* log;
  static PDEVICE_OBJECT* middleSeen;
  log = &order;
  middleSeen = &seenByMiddle;
  PDEVICE_OBJECT middle = stack.Add([&](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT d, PIRP i, PVOID) -> NTSTATUS {
          log->push_back("middle routine");
          *middleSeen = d;
          if (i->PendingReturned) IoMarkIrpPending(i);
          return STATUS_SUCCESS;
        },
        nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(Lower(device), irp);
  });
  stack.Add([&](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP i, PVOID) -> NTSTATUS {
          log->push_back("top routine");
          if (i->PendingReturned) IoMarkIrpPending(i);
          return STATUS_SUCCESS;
        },
        nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(Lower(device), irp);
  });
  PIRP irp = wdmemu::BuildIrp(stack.Top(), IRP_MJ_DEVICE_CONTROL);
  EXPECT_EQ(wdmemu::SendIrp(stack.Top(), irp), STATUS_SUCCESS);
  EXPECT_EQ(order, (std::vector<std::string>{"bottom dispatch", "middle routine", "top routine"}));
  EXPECT_EQ(seenByMiddle, middle);
  EXPECT_EQ(wdmemu::CompletedStatus(irp).Information, 7u);
}

struct InvokeCase {
  NTSTATUS status;
  bool cancel;
  BOOLEAN onSuccess, onError, onCancel;
  bool called;
};

TEST_F(Irps, InvokeFlagsChooseWhenTheRoutineRuns) {
  const InvokeCase cases[] = {
      {STATUS_SUCCESS, false, TRUE, FALSE, FALSE, true},
      {STATUS_SUCCESS, false, FALSE, TRUE, TRUE, false},
      {STATUS_UNSUCCESSFUL, false, FALSE, TRUE, FALSE, true},
      {STATUS_UNSUCCESSFUL, false, TRUE, FALSE, FALSE, false},
      {STATUS_BUFFER_OVERFLOW, false, FALSE, TRUE, FALSE, true},  // a warning fails NT_SUCCESS
      {STATUS_CANCELLED, true, FALSE, FALSE, TRUE, true},
      {STATUS_SUCCESS, true, FALSE, FALSE, TRUE, true},  // Irp->Cancel alone is enough
  };
  // Where the routine is not called the walk runs on past the creator, which the verifier flags.
  ExpectReport(Check::IrpCompletedToCreator);
  for (const auto& c : cases) {
    static bool called;
    called = false;
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS {
          called = true;
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        nullptr, c.onSuccess, c.onError, c.onCancel);
    IoSetNextIrpStackLocation(irp);  // as if a driver below had received it
    irp->IoStatus.Status = c.status;
    irp->Cancel = c.cancel;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(called, c.called) << std::hex << c.status;
    IoFreeIrp(irp);
  }
}

// The pending rule through three drivers: the bottom pends and completes later from another
// thread; the middle skips; the top's routine propagates PendingReturned.
TEST_F(Irps, PendingReturnedTravelsThroughThreeDrivers) {
  Stack stack;
  static PIRP held;
  static std::atomic<bool> topSawPending;
  held = nullptr;
  topSawPending = false;
  stack.Add([&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  });
  stack.Add(PassDown);
  stack.Add([&](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP i, PVOID) -> NTSTATUS {
          topSawPending = i->PendingReturned;
          if (i->PendingReturned) IoMarkIrpPending(i);
          return STATUS_SUCCESS;
        },
        nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(Lower(device), irp);
  });
  PIRP irp = wdmemu::BuildIrp(stack.Top(), IRP_MJ_READ);
  EXPECT_EQ(wdmemu::SendIrp(stack.Top(), irp), STATUS_PENDING);
  EXPECT_FALSE(wdmemu::IrpCompleted(irp));
  std::thread([] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    CompleteWith(held, STATUS_SUCCESS, 3);
    KeLowerIrql(old);
  }).join();
  ASSERT_TRUE(wdmemu::WaitForIrp(irp));
  EXPECT_TRUE(topSawPending);
  EXPECT_EQ(wdmemu::CompletedStatus(irp).Information, 3u);
}

// The event-wait pattern of START: MORE_PROCESSING_REQUIRED stops the walk, the upper driver
// finishes its work and completes again.
TEST_F(Irps, MoreProcessingRequiredStopsTheWalkUntilRecompleted) {
  Stack stack;
  static int calls;
  calls = 0;
  stack.Add([&](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); });
  stack.Add([&](PDEVICE_OBJECT device, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID event) -> NTSTATUS {
          ++calls;
          KeSetEvent((PKEVENT)event, 0, FALSE);
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(Lower(device), irp) == STATUS_PENDING) {
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    EXPECT_EQ(calls, 1);
    return CompleteWith(irp, STATUS_DEVICE_BUSY);
  });
  PIRP irp = wdmemu::BuildIrp(stack.Top(), IRP_MJ_PNP, IRP_MN_START_DEVICE);
  EXPECT_EQ(wdmemu::SendIrp(stack.Top(), irp), STATUS_DEVICE_BUSY);
  EXPECT_EQ(wdmemu::CompletedStatus(irp).Status, STATUS_DEVICE_BUSY);
}

TEST_F(Irps, CancelWithoutRoutineOnlyMarksTheIrp) {
  Stack stack;
  static PIRP held;
  stack.Add([&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  });
  PIRP irp = wdmemu::BuildIrp(stack.Top(), IRP_MJ_READ);
  wdmemu::SendIrp(stack.Top(), irp);
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_TRUE(irp->Cancel);
  CompleteWith(held, STATUS_CANCELLED);
  EXPECT_TRUE(wdmemu::IrpCompleted(irp));
}

// A queue with a cancel routine, completed by one thread while another cancels: every IRP
// completes exactly once, with the cancel lock and IoSetCancelRoutine deciding who wins.
TEST_F(Irps, CancelRacingCompletionCompletesEachIrpOnce) {
  Stack stack;
  static KSPIN_LOCK queueLock;
  static LIST_ENTRY queue;
  KeInitializeSpinLock(&queueLock);
  InitializeListHead(&queue);
  stack.Add([&](PDEVICE_OBJECT, PIRP irp) {
    KIRQL old;
    KeAcquireSpinLock(&queueLock, &old);
    InsertTailList(&queue, &irp->Tail.Overlay.ListEntry);
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP i) {
      IoReleaseCancelSpinLock(i->CancelIrql);
      KIRQL o;
      KeAcquireSpinLock(&queueLock, &o);
      RemoveEntryList(&i->Tail.Overlay.ListEntry);
      KeReleaseSpinLock(&queueLock, o);
      CompleteWith(i, STATUS_CANCELLED);
    });
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
      RemoveEntryList(&irp->Tail.Overlay.ListEntry);
      KeReleaseSpinLock(&queueLock, old);
      CompleteWith(irp, STATUS_CANCELLED);
      return STATUS_PENDING;
    }
    KeReleaseSpinLock(&queueLock, old);
    return STATUS_PENDING;
  });
  constexpr int kRounds = 200;
  int cancelled = 0, succeeded = 0;
  for (int round = 0; round < kRounds; ++round) {
    PIRP irp = wdmemu::BuildIrp(stack.Top(), IRP_MJ_READ);
    ASSERT_EQ(wdmemu::SendIrp(stack.Top(), irp), STATUS_PENDING);
    std::thread completer([] {
      KIRQL old;
      KeAcquireSpinLock(&queueLock, &old);
      PIRP taken = nullptr;
      if (!IsListEmpty(&queue)) {
        PLIST_ENTRY e = queue.Flink;
        PIRP i = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(i, nullptr)) {  // NULL back: the cancel routine owns it
          RemoveEntryList(e);
          taken = i;
        }
      }
      KeReleaseSpinLock(&queueLock, old);
      if (taken) CompleteWith(taken, STATUS_SUCCESS);
    });
    IoCancelIrp(irp);
    completer.join();
    ASSERT_TRUE(wdmemu::WaitForIrp(irp));
    (wdmemu::CompletedStatus(irp).Status == STATUS_CANCELLED ? cancelled : succeeded)++;
  }
  EXPECT_EQ(cancelled + succeeded, kRounds);
}

TEST_F(Irps, ThreadedIrpSetsTheEventAndIoStatus) {
  Stack stack;
  stack.Add([&](PDEVICE_OBJECT, PIRP irp) {
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode,
              0x220003u);
    return CompleteWith(irp, STATUS_SUCCESS, 5);
  });
  KEVENT event;
  IO_STATUS_BLOCK status{};
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(0x220003, stack.Top(), nullptr, 0, nullptr, 0, TRUE,
                                           &event, &status);
  IoCallDriver(stack.Top(), irp);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(status.Status, STATUS_SUCCESS);
  EXPECT_EQ(status.Information, 5u);
}

TEST_F(Irps, UnsetMajorFunctionCompletesWithInvalidDeviceRequest) {
  PDRIVER_OBJECT driver = wdmemu::LoadDriver(
      [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS { return STATUS_SUCCESS; }, u"empty");
  PDEVICE_OBJECT device;
  ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
            STATUS_SUCCESS);
  PIRP irp = wdmemu::BuildIrp(device, IRP_MJ_FLUSH_BUFFERS);
  EXPECT_EQ(wdmemu::SendIrp(device, irp), STATUS_INVALID_DEVICE_REQUEST);
  IoDeleteDevice(device);
}

}  // namespace
