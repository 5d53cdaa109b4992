// AddDevice through the Plug and Play manager: the parameter block and the direct reads, the
// capability query, and a failure at every allocation and every call in turn.
#include <functional>

#include "core_fixture.h"

namespace hollin::testing {
namespace {

class AddDeviceTest : public CoreTest {
 protected:
  std::u16string Key(PDEVICE_OBJECT pdo) { return wdmemu::DriverKeyPath(pdo); }
};

TEST_F(AddDeviceTest, AnEmptyDriverKeyGivesDefaultsAndAHeldGate) {
  Load(9);
  PDEVICE_OBJECT parent = Add(NewPdo());
  ASSERT_NE(parent, nullptr);
  ParentExtension* ext = Ext(parent);
  ASSERT_NE(ext->Header.Parameters, nullptr);
  const ULONG defaults[ParameterCount] = {0, 0,    0, 0,     0,  0, 5000, 1, 0, 0, 0, 0,
                                          0, 1000, 0, 30000, 50, 0, 0,    0, 0, 0, 5};
  for (ULONG i = 0; i < ParameterCount; ++i) {
    EXPECT_EQ(ext->Header.Parameters->Entries[i].Present, 0) << i;
    EXPECT_EQ(ext->Header.Parameters->Entries[i].Value, defaults[i]) << i;
    EXPECT_EQ(ext->Header.Parameters->Entries[i].Default, defaults[i]) << i;
  }
  EXPECT_EQ(ext->Gate, GateHold);
  EXPECT_EQ(ext->HoldMask, kDefaultHoldMask);
  EXPECT_EQ(ext->PnpState, NotStarted);
  EXPECT_TRUE(ext->Unconfigured);
  EXPECT_EQ(parent->Flags & (DO_DEVICE_INITIALIZING | DO_DIRECT_IO | DO_POWER_PAGABLE),
            ULONG(DO_DIRECT_IO | DO_POWER_PAGABLE));
  EXPECT_EQ(ext->Header.BusDevice, pdos[0]);
  EXPECT_EQ(ext->Header.TargetDevice, pdos[0]);
  EXPECT_EQ(ext->IdleConfig, 0u);
  EXPECT_EQ(ext->UsbTimeout, 0);
  EXPECT_EQ(ext->AssertFlags, 0u);
  EXPECT_EQ(ext->RemovableChildren, 1u);
  EXPECT_EQ(ext->SystemPowerState, PowerSystemWorking);
  EXPECT_EQ(ext->DevicePowerState, PowerDeviceD0);
  // The bus reports no sleeping states: the suspend state falls back to D2.
  EXPECT_EQ(ext->SuspendDeviceState, PowerDeviceD2);
  ASSERT_NE(ext->Capabilities, nullptr);
  EXPECT_EQ(ext->LegacyCapabilities, nullptr);
  EXPECT_NE(ext->Trace.Buffer, nullptr);
}

struct ParameterCase {
  const char16_t* name;
  std::vector<UCHAR> data;  // REG_BINARY when shorter than 4 bytes, else REG_DWORD
  ULONG ParentExtension::*field;
  ULONG expected;
};

TEST_F(AddDeviceTest, ParametersAreClampedAndCopied) {
  auto dword = [](ULONG v) {
    return std::vector<UCHAR>{UCHAR(v), UCHAR(v >> 8), UCHAR(v >> 16), UCHAR(v >> 24)};
  };
  const ParameterCase cases[] = {
      {u"MinimumIntPipeInterval", dword(64), &ParentExtension::MinimumIntPipeInterval, 32},
      {u"MinimumIntPipeInterval", dword(8), &ParentExtension::MinimumIntPipeInterval, 8},
      {u"EnableSelectiveSuspend", dword(1), &ParentExtension::IdleConfig, 3},
      {u"EnableSelectiveSuspend", dword(4), &ParentExtension::IdleConfig, 4},
      {u"EnableSelectiveSuspend", dword(0), &ParentExtension::IdleConfig, 0},
      {u"EnableAssert", dword(1), &ParentExtension::AssertFlags, 1},
      {u"EnableCUSBDTimeoutDbg", dword(7), &ParentExtension::TimeoutDebug, 7},
      {u"RemovableChildren", {0x00}, &ParentExtension::RemovableChildren, 0},
      {u"SelkUSB_DebugLevel", {0x34, 0x12}, &ParentExtension::DebugLevel, 0x1234},
  };
  Load(9);
  int instance = 0;
  for (const ParameterCase& c : cases) {
    SCOPED_TRACE(wdmemu::Narrow(c.name));
    PDEVICE_OBJECT pdo = NewPdo(wdmemu::Widen(std::to_string(instance++)));
    wdmemu::RegistrySetValue(Key(pdo), c.name, c.data.size() < 4 ? REG_BINARY : REG_DWORD,
                             c.data.data(), c.data.size());
    PDEVICE_OBJECT parent = Add(pdo);
    ASSERT_NE(parent, nullptr);
    EXPECT_EQ(Ext(parent)->*c.field, c.expected);
    Remove(pdo);
  }
}

TEST_F(AddDeviceTest, IdleIntervalUsbTimeoutAndRemoveDelay) {
  struct Case {
    ULONG interval, expectedInterval, timeout;
    LONGLONG expectedTimeout;
  };
  const Case cases[] = {
      {500, 5000, 200000, 120000 * 10000LL},
      {70000, 5000, 0, 0},
      {1000, 1000, 1500, 1500 * 10000LL},
  };
  Load(9);
  int instance = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.interval);
    PDEVICE_OBJECT pdo = NewPdo(wdmemu::Widen(std::to_string(instance++)));
    wdmemu::RegistrySetDword(Key(pdo), u"EnableSelectiveSuspend", 1);
    wdmemu::RegistrySetDword(Key(pdo), u"SSIdleDetectionInterval", c.interval);
    wdmemu::RegistrySetDword(Key(pdo), u"EnableCUSBDTimeout", c.timeout);
    wdmemu::RegistrySetDword(Key(pdo), u"MinSSElapsedTimeInMS", 700);
    const UCHAR delay = 0x64;
    wdmemu::RegistrySetValue(Key(pdo), u"RemoveDelayInMsec", REG_BINARY, &delay, 1);
    PDEVICE_OBJECT parent = Add(pdo);
    ASSERT_NE(parent, nullptr);
    ParentExtension* ext = Ext(parent);
    EXPECT_EQ(ext->IdleInterval, c.expectedInterval);
    EXPECT_EQ(ext->UsbTimeout, c.expectedTimeout);
    EXPECT_EQ(ext->MinSSElapsedTime, 700 * 10000LL);
    EXPECT_EQ(ext->SuspendTarget, PowerDeviceD0);
    EXPECT_EQ(ext->Header.Parameters->Entries[ParamRemoveDelayInMsec].Value, 100u);
    EXPECT_EQ(ext->Header.Parameters->Entries[ParamRemoveDelayInMsec].Present, 1);
    Remove(pdo);
  }
}

TEST_F(AddDeviceTest, SelectiveSuspendAndEnableCR3329NeedTheirVersionCodes) {
  Load(4);
  PDEVICE_OBJECT pdo = NewPdo();
  wdmemu::RegistrySetDword(Key(pdo), u"EnableSelectiveSuspend", 1);
  wdmemu::RegistrySetDword(Key(pdo), u"EnableCR3329", 6);
  PDEVICE_OBJECT parent = Add(pdo);
  EXPECT_EQ(Ext(parent)->IdleConfig, 0u);
  EXPECT_EQ(Ext(parent)->EnableCR3329, 6u);
  Remove(pdo);
  wdmemu::UnloadDriver(driver);

  Load(3);
  parent = Add(pdo);
  EXPECT_EQ(Ext(parent)->EnableCR3329, 0u);
}

TEST_F(AddDeviceTest, LegacyFamilyUsesTheSmallCapabilityRecord) {
  Load(1);
  PDEVICE_OBJECT parent = Add(NewPdo());
  ASSERT_NE(parent, nullptr);
  EXPECT_EQ(parent->Flags & DO_POWER_PAGABLE, 0u);
  ASSERT_NE(Ext(parent)->LegacyCapabilities, nullptr);
  EXPECT_EQ(Ext(parent)->Capabilities, nullptr);
  DEVICE_CAPABILITIES capabilities{};
  EXPECT_EQ(QueryCapabilities(parent, &capabilities), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(
      wdmemu::SendAndWait(parent, wdmemu::BuildIrp(parent, IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE)),
      STATUS_SUCCESS);
}

TEST_F(AddDeviceTest, SuspendStateComesFromTheSleepingStates) {
  struct Case {
    DEVICE_POWER_STATE s1, s2, s3, expected;
  };
  const Case cases[] = {
      {PowerDeviceD1, PowerDeviceD3, PowerDeviceD2, PowerDeviceD2},
      {PowerDeviceD1, PowerDeviceD3, PowerDeviceD3, PowerDeviceD1},
      {PowerDeviceD0, PowerDeviceD3, PowerDeviceD3, PowerDeviceD2},
      {PowerDeviceD3, PowerDeviceD3, PowerDeviceD3, PowerDeviceD2},
  };
  Load(9);
  int instance = 0;
  for (const Case& c : cases) {
    wdmemu::PdoDescription description;
    description.instancePath =
        u"USB\\VID_1234&PID_5678\\" + wdmemu::Widen(std::to_string(instance));
    description.driverKey =
        u"{4d36e96d-e325-11ce-bfc1-08002be10318}\\" + wdmemu::Widen(std::to_string(instance++));
    description.capabilities.DeviceState[PowerSystemSleeping1] = c.s1;
    description.capabilities.DeviceState[PowerSystemSleeping2] = c.s2;
    description.capabilities.DeviceState[PowerSystemSleeping3] = c.s3;
    PDEVICE_OBJECT pdo = wdmemu::CreatePdo(description);
    pdos.push_back(pdo);
    PDEVICE_OBJECT parent = Add(pdo);
    ASSERT_NE(parent, nullptr);
    EXPECT_EQ(Ext(parent)->SuspendDeviceState, c.expected) << c.s1 << c.s2 << c.s3;
    Remove(pdo);
  }
}

TEST_F(AddDeviceTest, AStringWhereANumberBelongsFailsAndLeavesNothing) {
  Load(9);
  PDEVICE_OBJECT pdo = NewPdo();
  wdmemu::RegistrySetString(Key(pdo), u"CUSBDTimeoutInMsec", u"30000");
  size_t pool = wdmemu::PoolAllocationCount();
  EXPECT_EQ(Add(pdo, STATUS_UNSUCCESSFUL), nullptr);
  EXPECT_EQ(driver->DeviceObject, nullptr);
  EXPECT_EQ(wdmemu::PoolAllocationCount(), pool);
  EXPECT_TRUE(wdmemu::SymbolicLinks().empty());
}

// ---- failures at every step --------------------------------------------------------------------

// A lower filter of the test's own under the parent: it can fail the capability query, or stay
// initializing so that nothing can attach above it.
PDRIVER_OBJECT filterDriver;
NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
    irp->IoStatus.Status = STATUS_DEVICE_CONFIGURATION_ERROR;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(*static_cast<PDEVICE_OBJECT*>(device->DeviceExtension), irp);
}
NTSTATUS NTAPI FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& f : driver->MajorFunction) f = FilterDispatch;
  return STATUS_SUCCESS;
}

class AddDeviceFailureTest : public AddDeviceTest {
 public:
  void TearDown() override {
    RemoveOthers();
    AddDeviceTest::TearDown();
  }
  void RemoveOthers() {
    for (PDEVICE_OBJECT d : others) {
      if (PDEVICE_OBJECT lower = *static_cast<PDEVICE_OBJECT*>(d->DeviceExtension)) {
        IoDetachDevice(lower);
      }
      IoDeleteDevice(d);
    }
    for (UNICODE_STRING& link : links) IoDeleteSymbolicLink(&link);
    others.clear();
    links.clear();
  }
  PDEVICE_OBJECT Filter(PDEVICE_OBJECT pdo, bool initialised, const char16_t* name = nullptr) {
    if (!filterDriver) filterDriver = wdmemu::LoadDriver(FilterEntry, u"testfilter");
    UNICODE_STRING u;
    if (name) RtlInitUnicodeString(&u, name);
    PDEVICE_OBJECT d = nullptr;
    EXPECT_EQ(IoCreateDevice(filterDriver, sizeof(PDEVICE_OBJECT), name ? &u : nullptr,
                             FILE_DEVICE_UNKNOWN, 0, FALSE, &d),
              STATUS_SUCCESS);
    *static_cast<PDEVICE_OBJECT*>(d->DeviceExtension) =
        pdo ? IoAttachDeviceToDeviceStack(d, pdo) : nullptr;
    if (initialised) d->Flags &= ~DO_DEVICE_INITIALIZING;
    others.push_back(d);
    return d;
  }
  void ExpectNothingLeft(const std::vector<PDRIVER_DISPATCH>& entries, size_t pool,
                         size_t linkCount) {
    EXPECT_EQ(driver->DeviceObject, nullptr);
    EXPECT_EQ(wdmemu::PoolAllocationCount(), pool);
    EXPECT_EQ(wdmemu::SymbolicLinks().size(), linkCount);
    EXPECT_EQ(std::vector<PDRIVER_DISPATCH>(driver->MajorFunction,
                                            driver->MajorFunction + kMajorFunctionCount),
              entries);
  }
  std::vector<PDEVICE_OBJECT> others;
  std::vector<UNICODE_STRING> links;
  static void TearDownTestSuite() { filterDriver = nullptr; }
};

TEST_F(AddDeviceFailureTest, EveryAllocationInTurn) {
  Load(9);
  PDEVICE_OBJECT pdo = NewPdo();
  wdmemu::RegistrySetString(Key(pdo), u"PublishedDeviceName", u"Modem");
  std::vector<PDRIVER_DISPATCH> entries(driver->MajorFunction,
                                        driver->MajorFunction + kMajorFunctionCount);
  size_t pool = wdmemu::PoolAllocationCount();
  int failures = 0;
  for (int skip = 0; skip < 100; ++skip) {
    SCOPED_TRACE(skip);
    wdmemu::InjectPoolFailure(skip, 1);
    NTSTATUS status = wdmemu::PnpAddDevice(driver, pdo);
    // An injection AddDevice never reached fails this allocation instead: every allocation of
    // AddDevice has had its turn.
    PVOID probe = ExAllocatePoolWithTag(NonPagedPool, 8, 'tseT');
    wdmemu::InjectPoolFailure(0, 0);
    if (probe) ExFreePoolWithTag(probe, 'tseT');
    if (NT_SUCCESS(status)) {
      // Some allocations may fail without failing AddDevice (a published name that cannot be
      // read falls back to the default names); the device must then be whole.
      EXPECT_NE(driver->DeviceObject, nullptr);
      Remove(pdo);
      if (!probe) break;
      continue;
    }
    ++failures;
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    ExpectNothingLeft(entries, pool, 0);
  }
  // Record, both names, block, trace and capabilities.
  EXPECT_GE(failures, 6);
}

TEST_F(AddDeviceFailureTest, EveryCallInTurn) {
  struct Case {
    const char* what;
    NTSTATUS expected;
    std::function<void(AddDeviceFailureTest*, PDEVICE_OBJECT pdo)> arrange;
  };
  const Case cases[] = {
      {"version query", STATUS_NOT_SUPPORTED,
       [](auto*, PDEVICE_OBJECT) { wdmemu::SetSystemVersionCode(9, STATUS_NOT_SUPPORTED); }},
      {"record hook", STATUS_DEVICE_BUSY,
       [](auto*, PDEVICE_OBJECT) { hooks.recordCreatedStatus = STATUS_DEVICE_BUSY; }},
      {"device name taken", STATUS_OBJECT_NAME_COLLISION,
       [](AddDeviceFailureTest* t, PDEVICE_OBJECT) {
         t->Filter(nullptr, true, u"\\Device\\holl000");
       }},
      {"link taken", STATUS_OBJECT_NAME_COLLISION,
       [](AddDeviceFailureTest* t, PDEVICE_OBJECT) {
         UNICODE_STRING link, target;
         RtlInitUnicodeString(&link, u"\\DosDevices\\holl001");
         RtlInitUnicodeString(&target, u"\\Device\\elsewhere");
         EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
         t->links.push_back(link);
       }},
      {"driver key", STATUS_NOT_FOUND,
       [](auto*, PDEVICE_OBJECT) { wdmemu::SetRoutineMissing("IoOpenDeviceRegistryKey"); }},
      {"attach", STATUS_UNSUCCESSFUL,
       [](AddDeviceFailureTest* t, PDEVICE_OBJECT pdo) { t->Filter(pdo, false); }},
      {"capabilities", STATUS_DEVICE_CONFIGURATION_ERROR,
       [](AddDeviceFailureTest* t, PDEVICE_OBJECT pdo) { t->Filter(pdo, true); }},
      {"add-device hook", STATUS_DEVICE_CONFIGURATION_ERROR,
       [](auto*, PDEVICE_OBJECT) { hooks.startHookStatus = STATUS_DEVICE_CONFIGURATION_ERROR; }},
  };
  Load(9);
  std::vector<PDRIVER_DISPATCH> entries(driver->MajorFunction,
                                        driver->MajorFunction + kMajorFunctionCount);
  int instance = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PDEVICE_OBJECT pdo = NewPdo(wdmemu::Widen(std::to_string(instance++)));
    size_t pool = wdmemu::PoolAllocationCount();
    c.arrange(this, pdo);
    // Another party's link of the same name stays.
    size_t linkCount = wdmemu::SymbolicLinks().size();
    EXPECT_EQ(wdmemu::PnpAddDevice(driver, pdo), c.expected);
    ExpectNothingLeft(entries, pool, linkCount);
    hooks = TestHooks{};
    RemoveOthers();
    wdmemu::SetSystemVersionCode(9);
    wdmemu::SetRoutineMissing("IoOpenDeviceRegistryKey", false);
  }
}

}  // namespace
}  // namespace hollin::testing
