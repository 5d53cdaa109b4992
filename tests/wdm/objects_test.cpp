// Device objects, stacks, names, interfaces, registry and strings against the documented rules.
#include <gmock/gmock.h>

#include "kernel_test.h"
#include "layers.h"

using wdmemu::Check;

namespace {

class Objects : public wdmemu::testing::KernelTest {};

TEST_F(Objects, CreateDeviceZeroesTheExtensionAndAttachGrowsTheStack) {
  PDRIVER_OBJECT driver = wdmemu::LoadDriver(wdmtest::LayerEntry, u"objects");
  std::u16string name = u"\\Device\\objects0";
  UNICODE_STRING u;
  RtlInitUnicodeString(&u, name.c_str());
  PDEVICE_OBJECT device, clash;
  ASSERT_EQ(IoCreateDevice(driver, 64, &u, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
  EXPECT_EQ(IoCreateDevice(driver, 64, &u, FILE_DEVICE_UNKNOWN, 0, FALSE, &clash),
            STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(device->StackSize, 1);
  EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
  auto* ext = (UCHAR*)device->DeviceExtension;
  for (int i = 0; i < 64; ++i) ASSERT_EQ(ext[i], 0);

  PDEVICE_OBJECT pdo = wdmemu::CreatePdo({});
  EXPECT_EQ(IoAttachDeviceToDeviceStack(device, pdo), pdo);
  EXPECT_EQ(device->StackSize, pdo->StackSize + 1);
  EXPECT_EQ(pdo->AttachedDevice, device);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  EXPECT_EQ(top, device);
  EXPECT_EQ(device->ReferenceCount, 1);
  ObDereferenceObject(top);
  IoDetachDevice(pdo);
  EXPECT_EQ(pdo->AttachedDevice, nullptr);
  IoDeleteDevice(device);
}

TEST_F(Objects, SymbolicLinksAndInterfaceStates) {
  UNICODE_STRING link, target;
  RtlInitUnicodeString(&link, u"\\DosDevices\\hollin0");
  RtlInitUnicodeString(&target, u"\\Device\\hollin0");
  EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  EXPECT_EQ(IoCreateUnprotectedSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);

  wdmemu::PdoDescription d;
  d.instancePath = u"USB\\VID_1234&PID_5678\\7";
  PDEVICE_OBJECT pdo = wdmemu::CreatePdo(d);
  static const GUID guid = {
      0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
  UNICODE_STRING name;
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &guid, nullptr, &name), STATUS_SUCCESS);
  EXPECT_EQ(wdmemu::ToU16(name),
            u"\\??\\USB#VID_1234&PID_5678#7#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
  EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_OBJECT_NAME_EXISTS);
  EXPECT_TRUE(wdmemu::DeviceInterfaces()[0].enabled);
  RtlFreeUnicodeString(&name);

  PDRIVER_OBJECT driver = wdmemu::LoadDriver(wdmtest::LayerEntry, u"notpdo");
  PDEVICE_OBJECT fdo;
  IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  HANDLE key;
  EXPECT_EQ(IoOpenDeviceRegistryKey(fdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(
      IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
      STATUS_INVALID_PARAMETER);
  IoDeleteDevice(fdo);
}

TEST_F(Objects, QueryValuePartialInformationSizes) {
  PDEVICE_OBJECT pdo = wdmemu::CreatePdo({});
  ULONG value = 0x11223344;
  wdmemu::RegistrySetValue(wdmemu::DriverKeyPath(pdo), u"Value", REG_BINARY, "\1\2\3\4\5\6", 6);
  HANDLE key;
  ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_SUCCESS);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"Value");
  UCHAR buffer[32];
  memset(buffer, 0xEE, sizeof buffer);
  ULONG needed = 0;
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, 8, &needed),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(needed, 18u);
  EXPECT_EQ(buffer[0], 0xEE);  // nothing written
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, 14, &needed),
            STATUS_BUFFER_OVERFLOW);
  auto* info = (PKEY_VALUE_PARTIAL_INFORMATION)buffer;
  EXPECT_EQ(info->Type, (ULONG)REG_BINARY);
  EXPECT_EQ(info->DataLength, 6u);
  EXPECT_EQ(info->Data[1], 2);
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, 18, &needed),
            STATUS_SUCCESS);
  RtlInitUnicodeString(&name, u"Missing");
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, 32, &needed),
            STATUS_OBJECT_NAME_NOT_FOUND);
  RtlInitUnicodeString(&name, u"Set");
  EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &value, 4), STATUS_SUCCESS);
  EXPECT_EQ(ZwEnumerateValueKey(key, 2, KeyValuePartialInformation, buffer, 32, &needed),
            STATUS_NO_MORE_ENTRIES);
  ZwClose(key);
}

NTSTATUS CountRoutine(PWSTR, ULONG type, PVOID data, ULONG length, PVOID context, PVOID) {
  if (type == REG_DWORD && length == 4) *(ULONG*)context = *(ULONG*)data;
  return STATUS_SUCCESS;
}

TEST_F(Objects, QueryRegistryValuesWithSubkeyDirectAndRequired) {
  const std::u16string base = u"\\Registry\\Machine\\Software\\Test";
  wdmemu::RegistrySetDword(base + u"\\Sub", u"Count", 7);
  wdmemu::RegistrySetDword(base, u"Top", 3);
  ULONG count = 0, top = 0;
  RTL_QUERY_REGISTRY_TABLE table[4] = {};
  table[0].Flags = RTL_QUERY_REGISTRY_SUBKEY;
  table[0].Name = (PWSTR)u"Sub";
  table[1].QueryRoutine = CountRoutine;
  table[1].Flags = RTL_QUERY_REGISTRY_REQUIRED;
  table[1].Name = (PWSTR)u"Count";
  table[2].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TOPKEY;
  table[2].Name = (PWSTR)u"Top";
  table[2].EntryContext = &top;
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, base.c_str(), table, &count, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(count, 7u);
  EXPECT_EQ(top, 3u);
  table[1].Name = (PWSTR)u"Absent";
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, base.c_str(), table, &count, nullptr),
            STATUS_OBJECT_NAME_NOT_FOUND);
}

struct IntegerCase {
  const char16_t* text;
  ULONG base;
  NTSTATUS status;
  ULONG value;
};

TEST_F(Objects, UnicodeStringToIntegerFollowsRtl) {
  const IntegerCase cases[] = {
      {u"123", 10, STATUS_SUCCESS, 123}, {u"  42xyz", 10, STATUS_SUCCESS, 42},
      {u"0x1A", 0, STATUS_SUCCESS, 26},  {u"0b101", 0, STATUS_SUCCESS, 5},
      {u"0o17", 0, STATUS_SUCCESS, 15},  {u"-5", 10, STATUS_SUCCESS, (ULONG)-5},
      {u"abc", 10, STATUS_SUCCESS, 0},   {u"", 10, STATUS_INVALID_PARAMETER, 0},
      {u"ff", 16, STATUS_SUCCESS, 255},
  };
  for (const auto& c : cases) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, c.text);
    ULONG value = 0xDEAD;
    EXPECT_EQ(RtlUnicodeStringToInteger(&s, c.base, &value), c.status) << wdmemu::Narrow(c.text);
    if (NT_SUCCESS(c.status)) EXPECT_EQ(value, c.value) << wdmemu::Narrow(c.text);
  }
}

TEST_F(Objects, AppendThatDoesNotFitLeavesTheDestination) {
  WCHAR buffer[6];
  UNICODE_STRING s{0, sizeof buffer, buffer};
  EXPECT_EQ(RtlAppendUnicodeToString(&s, u"abc"), STATUS_SUCCESS);
  EXPECT_EQ(RtlAppendUnicodeToString(&s, u"defg"), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(s.Length, 6);
  EXPECT_EQ(wdmemu::ToU16(s), u"abc");
}

TEST_F(Objects, ErrorLogEntriesAreCaptured) {
  PDEVICE_OBJECT pdo = wdmemu::CreatePdo({});
  auto* entry = (PIO_ERROR_LOG_PACKET)IoAllocateErrorLogEntry(pdo, sizeof(IO_ERROR_LOG_PACKET) + 4);
  ASSERT_NE(entry, nullptr);
  entry->ErrorCode = STATUS_IO_TIMEOUT;
  entry->DumpDataSize = 8;
  entry->DumpData[0] = 0x1234;
  IoWriteErrorLogEntry(entry);
  EXPECT_EQ(IoAllocateErrorLogEntry(pdo, 241), nullptr);
  auto log = wdmemu::ErrorLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].ioObject, pdo);
  EXPECT_EQ(log[0].packet.ErrorCode, STATUS_IO_TIMEOUT);
  EXPECT_EQ(log[0].packet.DumpData[0], 0x1234u);
}

}  // namespace

namespace {

class MoreObjects : public wdmemu::testing::KernelTest {};

TEST_F(MoreObjects, DevicePropertyIsReadInALoopOnBufferTooSmall) {
  wdmemu::PdoDescription d;
  d.hardwareIds = {u"USB\\VID_1234&PID_5678", u"USB\\VID_1234"};
  d.address = 3;
  PDEVICE_OBJECT pdo = wdmemu::CreatePdo(d);
  ULONG needed = 0;
  WCHAR small[4];
  EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, sizeof small, small, &needed),
            STATUS_BUFFER_TOO_SMALL);
  std::vector<WCHAR> buffer(needed / 2);
  ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, needed, buffer.data(), &needed),
            STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(buffer.begin(), buffer.end()),
            std::u16string(u"USB\\VID_1234&PID_5678\0USB\\VID_1234\0\0", 36));
  ULONG address = 0;
  EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyAddress, 4, &address, &needed), STATUS_SUCCESS);
  EXPECT_EQ(address, 3u);
  EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyBootConfiguration, 4, &address, &needed),
            STATUS_INVALID_PARAMETER_2);
}

TEST_F(MoreObjects, DriverObjectExtensionIsOnePerId) {
  PDRIVER_OBJECT driver = wdmemu::LoadDriver(wdmtest::LayerEntry, u"extension");
  static int id;
  PVOID first, second;
  ASSERT_EQ(IoAllocateDriverObjectExtension(driver, &id, 16, &first), STATUS_SUCCESS);
  EXPECT_EQ(IoAllocateDriverObjectExtension(driver, &id, 16, &second),
            STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(IoGetDriverObjectExtension(driver, &id), first);
  EXPECT_EQ(IoGetDriverObjectExtension(driver, &second), nullptr);
}

TEST_F(MoreObjects, ReusedIrpStartsOverWithTheGivenStatus) {
  PIRP irp = IoAllocateIrp(2, FALSE);
  IoSetNextIrpStackLocation(irp);
  irp->IoStatus.Information = 9;
  IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(irp->CurrentLocation, 3);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(irp->IoStatus.Information, 0u);
  IoFreeIrp(irp);
}

}  // namespace
