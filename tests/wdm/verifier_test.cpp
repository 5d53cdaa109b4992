// A deliberately broken driver, one mistake per test: the verifier must report each class of
// mistake and name the driver line that made it.
#include <gmock/gmock.h>

#include <thread>

#include "kernel_test.h"
#include "layers.h"

using namespace wdmtest;
using ::testing::HasSubstr;
using wdmemu::Check;

namespace {

class Verifier : public wdmemu::testing::KernelTest {
 protected:
  // The report of `check`, which must name this file.
  wdmemu::Report Find(Check check) {
    for (auto& r : Reports()) {
      if (r.check == check) return r;
    }
    ADD_FAILURE() << "no report of " << wdmemu::CheckName(check);
    return {};
  }
};

TEST_F(Verifier, CompletingTwiceNamesBothCompletions) {
  ExpectReport(Check::IrpCompletedTwice);
  Stack stack;
  stack.Add([](PDEVICE_OBJECT, PIRP irp) {
    CompleteWith(irp, STATUS_SUCCESS);
    return CompleteWith(irp, STATUS_SUCCESS);  // the mistake
  });
  wdmemu::SendIrp(stack.Top(), wdmemu::BuildIrp(stack.Top(), IRP_MJ_READ));
  wdmemu::Report r = Find(Check::IrpCompletedTwice);
  EXPECT_THAT(r.where, HasSubstr("layers.h"));  // CompleteWith's IoCompleteRequest line
  EXPECT_THAT(r.message, HasSubstr("already completed at"));
}

TEST_F(Verifier, ABreakpointNamesItsCaller) {
  ExpectReport(Check::Assertion);
  DbgBreakPoint();
  EXPECT_THAT(Find(Check::Assertion).where, HasSubstr("verifier_test.cpp"));
}

TEST_F(Verifier, AnIrpNeverCompletedIsReportedAtReset) {
  ExpectReport(Check::IrpNeverCompleted);
  Stack stack;
  stack.Add([](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    return STATUS_PENDING;  // and forgets it
  });
  wdmemu::SendIrp(stack.Top(), wdmemu::BuildIrp(stack.Top(), IRP_MJ_READ));
  stack.Teardown();
  wdmemu::ResetWorld();
  EXPECT_THAT(Find(Check::IrpNeverCompleted).message, HasSubstr("layer0"));
}

TEST_F(Verifier, MoreProcessingRequiredThenLosingTheIrp) {
  ExpectReport(Check::IrpLostAfterMoreProcessing);
  Stack stack;
  stack.Add([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); });
  stack.Add([](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; },
        nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(Lower(device), irp);
    return STATUS_SUCCESS;  // neither completes nor keeps it
  });
  wdmemu::SendIrp(stack.Top(), wdmemu::BuildIrp(stack.Top(), IRP_MJ_READ));
  stack.Teardown();
  wdmemu::ResetWorld();
  EXPECT_THAT(Find(Check::IrpLostAfterMoreProcessing).where, HasSubstr("verifier_test.cpp"));
}

TEST_F(Verifier, CompletingWithTheCancelRoutineStillSet) {
  ExpectReport(Check::CancelRoutineLost);
  Stack stack;
  stack.Add([](PDEVICE_OBJECT, PIRP irp) {
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP i) { IoReleaseCancelSpinLock(i->CancelIrql); });
    return CompleteWith(irp, STATUS_SUCCESS);
  });
  wdmemu::SendIrp(stack.Top(), wdmemu::BuildIrp(stack.Top(), IRP_MJ_READ));
}

TEST_F(Verifier, CancelRoutineThatKeepsTheCancelLock) {
  ExpectReport(Check::CancelLockHeld);
  ExpectReport(Check::IrpNeverCompleted);
  Stack stack;
  stack.Add([](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
    return STATUS_PENDING;
  });
  PIRP irp = wdmemu::BuildIrp(stack.Top(), IRP_MJ_READ);
  wdmemu::SendIrp(stack.Top(), irp);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(Verifier, PendingReturnedWithoutMarking) {
  ExpectReport(Check::PendingMismatch);
  Stack stack;
  static PIRP held;
  stack.Add([](PDEVICE_OBJECT, PIRP irp) {
    held = irp;
    return STATUS_PENDING;  // no IoMarkIrpPending
  });
  PIRP irp = wdmemu::BuildIrp(stack.Top(), IRP_MJ_READ);
  wdmemu::SendIrp(stack.Top(), irp);
  CompleteWith(held, STATUS_SUCCESS);
}

TEST_F(Verifier, WaitAtDispatchLevel) {
  ExpectReport(Check::WaitAtDispatch);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  LARGE_INTEGER oneSecond;
  oneSecond.QuadPart = -10000000;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &oneSecond),
            STATUS_TIMEOUT);
  KeReleaseSpinLock(&lock, old);
  EXPECT_THAT(Find(Check::WaitAtDispatch).where, HasSubstr("verifier_test.cpp"));
}

TEST_F(Verifier, SpinLockReleasedAtTheWrongIrql) {
  ExpectReport(Check::SpinLockWrongIrql);
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  KeLowerIrql(PASSIVE_LEVEL);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(Verifier, SpinLockAtDpcLevelBelowDispatch) {
  ExpectReport(Check::SpinLockWrongIrql);
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KeAcquireSpinLockAtDpcLevel(&lock);
  KeReleaseSpinLockFromDpcLevel(&lock);
}

PVOID leaked;
NTSTATUS LeakyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  leaked = ExAllocatePoolWithTag(NonPagedPool, 24, 'kaeL');
  driver->DriverUnload = [](PDRIVER_OBJECT) {};
  return STATUS_SUCCESS;
}

TEST_F(Verifier, PoolLeakedAtUnloadNamesTagAndLine) {
  ExpectReport(Check::PoolLeak);
  PDRIVER_OBJECT driver = wdmemu::LoadDriver(LeakyEntry, u"leaky");
  wdmemu::UnloadDriver(driver);
  wdmemu::Report r = Find(Check::PoolLeak);
  EXPECT_THAT(r.message, HasSubstr("'Leak'"));
  EXPECT_THAT(r.message, HasSubstr("leaky"));
  EXPECT_THAT(r.where, HasSubstr("LeakyEntry"));
}

TEST_F(Verifier, DeviceDeletedWhileReferenced) {
  ExpectReport(Check::DeviceDeletedWhileReferenced);
  PDRIVER_OBJECT driver = wdmemu::LoadDriver(LayerEntry, u"holder");
  PDEVICE_OBJECT device;
  IoCreateDevice(driver, sizeof(LayerExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  ObReferenceObject(device);
  IoDeleteDevice(device);  // delete-pending: the reference is never dropped
  wdmemu::UnloadDriver(driver);
  EXPECT_THAT(Find(Check::DeviceDeletedWhileReferenced).where, HasSubstr("verifier_test.cpp"));
}

TEST_F(Verifier, DeviceDeletedTwice) {
  ExpectReport(Check::DeviceDeletedTwice);
  PDRIVER_OBJECT driver = wdmemu::LoadDriver(LayerEntry, u"twice");
  PDEVICE_OBJECT device;
  IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  IoDeleteDevice(device);
  IoDeleteDevice(device);
}

TEST_F(Verifier, RegistryHandleLeftOpen) {
  ExpectReport(Check::HandleLeak);
  wdmemu::PdoDescription d;
  PDEVICE_OBJECT pdo = wdmemu::CreatePdo(d);
  HANDLE key;
  ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_SUCCESS);
}

TEST_F(Verifier, AllocatedIrpNeverFreed) {
  ExpectReport(Check::IrpNotFreed);
  IoAllocateIrp(2, FALSE);
}

TEST_F(Verifier, PowerIrpWithoutPoStartNextPowerIrpOnLegacySystems) {
  ExpectReport(Check::PowerRule);
  wdmemu::SetLegacyPowerRules(true);
  Stack stack;
  stack.Add([](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); });
  PIRP irp = wdmemu::BuildIrp(stack.Top(), IRP_MJ_POWER, IRP_MN_SET_POWER);
  wdmemu::SendIrp(stack.Top(), irp);
  EXPECT_THAT(Find(Check::PowerRule).message, HasSubstr("PoStartNextPowerIrp"));
}

TEST_F(Verifier, PowerIrpWithPoStartNextPowerIrpPasses) {
  wdmemu::SetLegacyPowerRules(true);
  Stack stack;
  stack.Add([](PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    return CompleteWith(irp, STATUS_SUCCESS);
  });
  stack.Add([](PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Lower(device), irp);
  });
  PIRP irp = wdmemu::BuildIrp(stack.Top(), IRP_MJ_POWER, IRP_MN_QUERY_POWER);
  EXPECT_EQ(wdmemu::SendIrp(stack.Top(), irp), STATUS_SUCCESS);
}

using VerifierDeathTest = Verifier;

TEST_F(VerifierDeathTest, RunningOutOfStackLocationsIsABugCheck) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Stack stack;
        stack.Add([](PDEVICE_OBJECT device, PIRP irp) {
          IoCopyCurrentIrpStackLocationToNext(irp);  // no location is left below the PDO
          IoCallDriver(device, irp);
          return STATUS_PENDING;
        });
        PIRP irp = wdmemu::BuildIrp(stack.Top(), IRP_MJ_READ);
        IoCallDriver(stack.Top(), irp);
      },
      "NO_MORE_IRP_STACK_LOCATIONS");
}

}  // namespace
