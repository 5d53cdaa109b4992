// Value decoding and the path readers over a device's driver key.
#include "core/registry_values.h"
#include "kernel_test.h"

namespace {

using RegistryValues = wdmemu::testing::DriverKeyTest;

struct DecodeCase {
  ULONG type;
  std::vector<UCHAR> data;
  BOOLEAN allowString;
  NTSTATUS status;
  ULONG value;
};

TEST_F(RegistryValues, DecodeValueRules) {
  const DecodeCase cases[] = {
      {REG_BINARY, {1, 2, 3, 4, 5}, FALSE, STATUS_SUCCESS, 0x04030201},
      {REG_BINARY, {0x34, 0x12}, FALSE, STATUS_SUCCESS, 0x1234},
      {REG_BINARY, {0x64}, FALSE, STATUS_SUCCESS, 100},
      {REG_BINARY, {}, FALSE, STATUS_UNSUCCESSFUL, 0},
      {REG_DWORD, {0x78, 0x56, 0x34, 0x12}, FALSE, STATUS_SUCCESS, 0x12345678},
      {REG_DWORD, {1, 2}, FALSE, STATUS_UNSUCCESSFUL, 0},
      {REG_SZ, {'4', 0, '2', 0, 0, 0}, TRUE, STATUS_SUCCESS, 42},
      {REG_SZ, {'4', 0, '2', 0}, TRUE, STATUS_SUCCESS, 42},  // no terminator
      {REG_SZ, {'4', 0, '2', 0, 0, 0}, FALSE, STATUS_UNSUCCESSFUL, 0},
      {REG_MULTI_SZ, {'1', 0, 0, 0, 0, 0}, TRUE, STATUS_UNSUCCESSFUL, 0},
  };
  for (const auto& c : cases) {
    ULONG value = 0xDEADBEEF;
    EXPECT_EQ(DecodeValue(c.type, c.data.data(), (ULONG)c.data.size(), c.allowString, &value),
              c.status)
        << c.type << "/" << c.data.size();
    if (NT_SUCCESS(c.status)) EXPECT_EQ(value, c.value);
  }
}

TEST_F(RegistryValues, ReadValueByPathWithAndWithoutSubkey) {
  wdmemu::RegistrySetDword(key + u"\\Scenarios", u"Scenario", 2);
  wdmemu::RegistrySetDword(key, u"Scenario", 9);
  ULONG value = 0;
  EXPECT_EQ(ReadValueByPath(pdo, u"Scenarios\\Scenario", &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 2u);
  EXPECT_EQ(ReadValueByPath(pdo, u"Scenario", &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 9u);
  wdmemu::RegistrySetDword(key + u"\\Scenarios\\Scenario_1", u"Interface", 5);
  EXPECT_EQ(ReadValueByPath(pdo, u"Scenarios\\Scenario_1\\Interface", &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 5u);
  EXPECT_EQ(ReadValueByPath(pdo, u"Missing", &value), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ReadValueByPath(pdo, u"Nowhere\\Scenario", &value), STATUS_OBJECT_NAME_NOT_FOUND);
  wdmemu::RegistrySetString(key, u"Text", u"12");
  EXPECT_EQ(ReadValueByPath(pdo, u"Text", &value), STATUS_UNSUCCESSFUL);
}

TEST_F(RegistryValues, ReadValueByPathFailsWhenTheCompanionHasNoOpenRoutine) {
  wdmemu::RegistrySetDword(key, u"Scenario", 9);
  wdmemu::SetRoutineMissing("IoOpenDeviceRegistryKey");
  ULONG value = 0;
  EXPECT_FALSE(NT_SUCCESS(ReadValueByPath(pdo, u"Scenario", &value)));
}

TEST_F(RegistryValues, ReadBytesByPathCopiesOrMeasures) {
  const UCHAR blob[] = {9, 8, 7, 6, 5, 4};
  wdmemu::RegistrySetValue(key + u"\\Virtual", u"Descriptor", REG_BINARY, blob, sizeof blob);
  ULONG length = 77;
  EXPECT_EQ(ReadBytesByPath(pdo, u"Virtual\\Descriptor", nullptr, 0, &length), STATUS_SUCCESS);
  EXPECT_EQ(length, 6u);
  UCHAR buffer[8] = {};
  EXPECT_EQ(ReadBytesByPath(pdo, u"Virtual\\Descriptor", buffer, sizeof buffer, &length),
            STATUS_SUCCESS);
  EXPECT_EQ(length, 6u);
  EXPECT_EQ(buffer[5], 4);
  EXPECT_EQ(ReadBytesByPath(pdo, u"Virtual\\Descriptor", buffer, 4, &length),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 0u);
  wdmemu::RegistrySetDword(key, u"Number", 1);
  length = 77;
  EXPECT_EQ(ReadBytesByPath(pdo, u"Number", nullptr, 0, &length), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(length, 0u);
}

TEST_F(RegistryValues, ReadValueFromKeyReadsStringsAsDecimal) {
  const std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Hollin";
  wdmemu::RegistrySetString(path, u"Delay", u"250");
  ULONG value = 0;
  EXPECT_EQ(ReadValueFromKey(path.c_str(), u"Delay", &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 250u);
  EXPECT_EQ(ReadValueFromKey(path.c_str(), u"Absent", &value), STATUS_OBJECT_NAME_NOT_FOUND);
}

}  // namespace
