// The UNICODE_STRING routines and the string readers and writers of the driver key.
#include "core_fixture.h"
#include "usb/registry_strings.h"
#include "usb/strings.h"

namespace hollin::testing {
namespace {

using StringsTest = wdmemu::testing::DriverKeyTest;

TEST_F(StringsTest, DuplicateAndConcatOwnTerminatedBuffers) {
  UNICODE_STRING s;
  ASSERT_EQ(DuplicateUnicodeString(&s, u"\\Device\\x"), STATUS_SUCCESS);
  EXPECT_EQ(wdmemu::ToU16(s), u"\\Device\\x");
  EXPECT_EQ(s.MaximumLength, s.Length + 2);
  EXPECT_EQ(s.Buffer[s.Length / 2], 0);
  FreeUnicodeString(&s);
  EXPECT_EQ(s.Buffer, nullptr);
  EXPECT_EQ(s.Length, 0);

  ASSERT_EQ(ConcatUnicodeStrings(&s, u"\\Device\\", u"Modem", u"xxx"), STATUS_SUCCESS);
  EXPECT_EQ(wdmemu::ToU16(s), u"\\Device\\Modemxxx");
  EXPECT_EQ(s.Buffer[s.Length / 2], 0);
  FreeUnicodeString(&s);

  std::u16string huge(32767, u'a');
  s.Length = 5;
  EXPECT_EQ(DuplicateUnicodeString(&s, huge.c_str()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(s.Buffer, nullptr);
  EXPECT_EQ(s.Length, 0);
  EXPECT_EQ(ConcatUnicodeStrings(&s, u"a", nullptr, u"c"), STATUS_INVALID_PARAMETER);
  // A total beyond what a UNICODE_STRING holds is refused, not wrapped.
  std::u16string half(20000, u'b');
  EXPECT_EQ(ConcatUnicodeStrings(&s, half.c_str(), half.c_str(), u"c"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(s.Buffer, nullptr);

  wdmemu::InjectPoolFailure(0, 1);
  EXPECT_EQ(DuplicateUnicodeString(&s, u"x"), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(s.Buffer, nullptr);
}

TEST_F(StringsTest, ReadDeviceKeyStringBySubkeyPathAndType) {
  wdmemu::RegistrySetString(key + u"\\Scenarios\\Scenario_1\\Ifc", u"Name", u"deep");
  wdmemu::RegistrySetString(key, u"Name", u"top");
  PWSTR value = nullptr;
  ASSERT_EQ(
      ReadDeviceKeyString(pdo, PLUGPLAY_REGKEY_DRIVER, u"Scenarios\\Scenario_1\\Ifc\\Name", &value),
      STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(value), u"deep");
  ExFreePool(value);
  ASSERT_EQ(ReadDeviceKeyString(pdo, PLUGPLAY_REGKEY_DRIVER, u"Name", &value), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(value), u"top");
  ExFreePool(value);

  // Written without its NUL: still terminated.
  const char16_t bare[] = {u'a', u'b'};
  wdmemu::RegistrySetValue(key, u"Bare", REG_SZ, bare, sizeof bare);
  ASSERT_EQ(ReadDeviceKeyString(pdo, PLUGPLAY_REGKEY_DRIVER, u"Bare", &value), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(value), u"ab");
  ExFreePool(value);

  const char16_t multi[] = u"a\0b\0";
  wdmemu::RegistrySetValue(key, u"Multi", REG_MULTI_SZ, multi, sizeof multi);
  wdmemu::RegistrySetValue(key, u"Expand", REG_EXPAND_SZ, u"%x%", 8);
  EXPECT_EQ(ReadDeviceKeyString(pdo, PLUGPLAY_REGKEY_DRIVER, u"Multi", &value),
            STATUS_UNSUCCESSFUL);
  EXPECT_EQ(ReadDeviceKeyString(pdo, PLUGPLAY_REGKEY_DRIVER, u"Expand", &value),
            STATUS_UNSUCCESSFUL);
  EXPECT_EQ(ReadDeviceKeyString(pdo, PLUGPLAY_REGKEY_DRIVER, u"Missing", &value),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(value, nullptr);
}

TEST_F(StringsTest, PublishedNameAndSavedNumber) {
  const char16_t bare[] = {u'M', u'o', u'd'};
  wdmemu::RegistrySetValue(key, u"PublishedDeviceName", REG_SZ, bare, sizeof bare);
  PWSTR value = nullptr;
  ASSERT_EQ(ReadPublishedDeviceName(pdo, PLUGPLAY_REGKEY_DRIVER, u"PublishedDeviceName", &value),
            STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(value), u"Mod");
  ExFreePool(value);

  wdmemu::RegistrySetDword(key, u"PublishedDeviceName", 3);
  EXPECT_EQ(ReadPublishedDeviceName(pdo, PLUGPLAY_REGKEY_DRIVER, u"PublishedDeviceName", &value),
            STATUS_UNSUCCESSFUL);
  EXPECT_EQ(value, nullptr);

  ULONG number = 7;
  EXPECT_EQ(WriteSavedInstanceNumber(pdo, PLUGPLAY_REGKEY_DRIVER, u"SavedInstanceNumber", &number),
            STATUS_SUCCESS);
  ULONG type;
  std::vector<UCHAR> data;
  ASSERT_TRUE(wdmemu::RegistryGetValue(key, u"SavedInstanceNumber", &type, &data));
  EXPECT_EQ(type, ULONG(REG_DWORD));
  EXPECT_EQ(data, (std::vector<UCHAR>{7, 0, 0, 0}));
}

}  // namespace
}  // namespace hollin::testing
