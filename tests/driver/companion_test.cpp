// The companion routines as the kernel model answers them: the test chooses the version code,
// the early-release answer and which routines the system lacks.
#include "core/dunmore.h"
#include "kernel_test.h"

namespace {

class Companion : public wdmemu::testing::KernelTest {};

TEST_F(Companion, VersionAndEarlyReleaseAreTheWorldsChoice) {
  ULONG version = 0;
  wdmemu::SetSystemVersionCode(1);
  EXPECT_EQ(SelkWH_QuerySystemVersion(&version), STATUS_SUCCESS);
  EXPECT_EQ(version, 1u);
  wdmemu::SetSystemVersionCode(5, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(SelkWH_QuerySystemVersion(&version), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(NT_SUCCESS(SelkWH_QuerySystem98Gold()));
  wdmemu::SetEarlyRelease(true);
  EXPECT_EQ(SelkWH_QuerySystem98Gold(), STATUS_SUCCESS);
}

TEST_F(Companion, FoundRoutinesKeepTheirContracts) {
  PoSetPowerStateRoutine setPower = nullptr;
  SelkWH_FindPoSetPowerState((PVOID*)&setPower);
  ASSERT_NE(setPower, nullptr);
  PDEVICE_OBJECT pdo = wdmemu::CreatePdo({});
  POWER_STATE d2;
  d2.DeviceState = PowerDeviceD2;
  setPower(pdo, DevicePowerState, d2);
  EXPECT_EQ(setPower(pdo, DevicePowerState, d2).DeviceState, PowerDeviceD2);

  IoGetAttachedDeviceReferenceRoutine top = nullptr;
  ASSERT_EQ(SelkWH_FindIoGetAttachedDeviceReference((PVOID*)&top), STATUS_SUCCESS);
  EXPECT_EQ(top(pdo), pdo);
  ObDereferenceObject(pdo);

  wdmemu::SetRoutineMissing("PoCallDriver");
  PVOID call = (PVOID)1;
  SelkWH_FindPoCallDriver(&call);
  EXPECT_EQ(call, nullptr);
  wdmemu::SetRoutineMissing("IoRegisterDeviceInterface");
  EXPECT_FALSE(NT_SUCCESS(SelkWH_FindIoRegisterDeviceInterface(&call)));
}

}  // namespace
