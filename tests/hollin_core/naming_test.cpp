// Instance numbers, published names and symbolic links of parent devices.
#include "core/naming.h"
#include "core_fixture.h"

namespace hollin::testing {
namespace {

class NamingTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    Load(9);
  }
  std::u16string Key(PDEVICE_OBJECT pdo) { return wdmemu::DriverKeyPath(pdo); }
  bool Saved(PDEVICE_OBJECT pdo, ULONG* number) {
    ULONG type;
    std::vector<UCHAR> data;
    if (!wdmemu::RegistryGetValue(Key(pdo), u"SavedInstanceNumber", &type, &data)) return false;
    EXPECT_EQ(type, ULONG(REG_DWORD));
    memcpy(number, data.data(), 4);
    return true;
  }
  bool HasLink(const std::u16string& link, const std::u16string& target) {
    for (const auto& l : wdmemu::SymbolicLinks()) {
      if (l.link == link) return l.target == target && l.unprotected;
    }
    return false;
  }
};

TEST_F(NamingTest, FirstDeviceGetsNumberZeroAndItsLinkOne) {
  PDEVICE_OBJECT pdo = NewPdo();
  PDEVICE_OBJECT parent = Add(pdo);
  EXPECT_EQ(Ext(parent)->Header.InstanceNumber, 0u);
  EXPECT_EQ(Text(Ext(parent)->DeviceName), u"\\Device\\holl000");
  EXPECT_EQ(Text(Ext(parent)->SymbolicLinkName), u"\\DosDevices\\holl001");
  EXPECT_TRUE(HasLink(u"\\DosDevices\\holl001", u"\\Device\\holl000"));
  ULONG saved;
  EXPECT_FALSE(Saved(pdo, &saved));  // alone: nothing to tell apart

  Remove(pdo);
  EXPECT_TRUE(wdmemu::SymbolicLinks().empty());
}

TEST_F(NamingTest, ASecondDeviceSavesBothNumbers) {
  PDEVICE_OBJECT a = NewPdo(u"0"), b = NewPdo(u"1");
  Add(a);
  PDEVICE_OBJECT second = Add(b);
  EXPECT_EQ(Ext(second)->Header.InstanceNumber, 1u);
  EXPECT_EQ(Text(Ext(second)->DeviceName), u"\\Device\\holl001");
  ULONG saved = 99;
  EXPECT_TRUE(Saved(a, &saved));
  EXPECT_EQ(saved, 0u);
  EXPECT_TRUE(Saved(b, &saved));
  EXPECT_EQ(saved, 1u);

  // The same device comes back with its number while the other one is present.
  Remove(b);
  second = Add(b);
  EXPECT_EQ(Ext(second)->Header.InstanceNumber, 1u);
}

TEST_F(NamingTest, ATakenSavedNumberGivesTheLowestFreeOne) {
  PDEVICE_OBJECT a = NewPdo(u"0"), b = NewPdo(u"1"), c = NewPdo(u"2");
  wdmemu::RegistrySetDword(Key(a), u"SavedInstanceNumber", 0);
  wdmemu::RegistrySetDword(Key(b), u"SavedInstanceNumber", 1);
  wdmemu::RegistrySetDword(Key(c), u"SavedInstanceNumber", 0);
  Add(a);
  Add(b);
  EXPECT_EQ(Ext(Add(c))->Header.InstanceNumber, 2u);
  ULONG saved;
  EXPECT_TRUE(Saved(c, &saved));
  EXPECT_EQ(saved, 0u);  // a device with a saved number keeps it in the registry

  // A gap is found below the highest number.
  Remove(a);
  PDEVICE_OBJECT d = NewPdo(u"3");
  wdmemu::RegistrySetDword(Key(d), u"SavedInstanceNumber", 2);
  EXPECT_EQ(Ext(Add(d))->Header.InstanceNumber, 0u);
}

TEST_F(NamingTest, NegativeSavedNumberCountsAsZeroAndLinksCanCarryTheNumberItself) {
  PDEVICE_OBJECT pdo = NewPdo();
  wdmemu::RegistrySetDword(Key(pdo), u"SavedInstanceNumber", 0xFFFFFFFE);
  wdmemu::RegistrySetDword(Key(pdo), u"UseInstanceNumberForSymLink", 1);
  PDEVICE_OBJECT parent = Add(pdo);
  EXPECT_EQ(Ext(parent)->Header.InstanceNumber, 0u);
  EXPECT_TRUE(Ext(parent)->UseInstanceNumber);
  EXPECT_TRUE(HasLink(u"\\DosDevices\\holl000", u"\\Device\\holl000"));
}

TEST_F(NamingTest, PublishedNamesAndLargeNumbers) {
  struct Case {
    const char16_t* published;  // null: the default names
    ULONG number;
    const char16_t* device;
    const char16_t* link;
  };
  const Case cases[] = {
      {u"Modem", 5, u"\\Device\\Modem005", u"\\DosDevices\\Modem006"},
      {u"Modem#", 5, u"\\Device\\Modem5", u"\\DosDevices\\Modem6"},
      {u"Modem###", 12, u"\\Device\\Modem12", u"\\DosDevices\\Modem13"},
      {u"Modem###", 99, u"\\Device\\Modem99", u"\\DosDevices\\Modem100"},
      {u"###", 5, u"\\Device\\###005", u"\\DosDevices\\###006"},
      {u"Modem", 1000, u"\\Device\\Modem000", u"\\DosDevices\\Modem001"},
      {nullptr, 1023, u"\\Device\\holl023", u"\\DosDevices\\holl024"},
  };
  int instance = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.number);
    PDEVICE_OBJECT pdo = NewPdo(wdmemu::Widen(std::to_string(instance++)));
    if (c.published) wdmemu::RegistrySetString(Key(pdo), u"PublishedDeviceName", c.published);
    wdmemu::RegistrySetDword(Key(pdo), u"SavedInstanceNumber", c.number);
    PDEVICE_OBJECT parent = Add(pdo);
    ASSERT_NE(parent, nullptr);
    EXPECT_EQ(Ext(parent)->Header.InstanceNumber, c.number);
    EXPECT_EQ(Text(Ext(parent)->DeviceName), c.device);
    EXPECT_TRUE(HasLink(c.link, c.device));
    Remove(pdo);
  }
}

TEST_F(NamingTest, AnExistingNumberOutOfRangeRefusesTheNextDevice) {
  PDEVICE_OBJECT a = NewPdo(u"0");
  PDEVICE_OBJECT first = Add(a);
  Ext(first)->Header.InstanceNumber = kInstanceNumberLimit;
  size_t pool = wdmemu::PoolAllocationCount();
  EXPECT_EQ(Add(NewPdo(u"1"), STATUS_UNSUCCESSFUL), nullptr);
  EXPECT_EQ(wdmemu::PoolAllocationCount(), pool);
  EXPECT_EQ(first->NextDevice, nullptr);
  Ext(first)->Header.InstanceNumber = 0;
}

TEST_F(NamingTest, LinksStayWhenTheDescriptorKeepsThem) {
  static const int keep = 1;
  testDescriptor.KeepSymbolicLinks = &keep;
  PDEVICE_OBJECT pdo = NewPdo();
  Add(pdo);
  Remove(pdo);
  ASSERT_TRUE(HasLink(u"\\DosDevices\\holl001", u"\\Device\\holl000"));
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, u"\\DosDevices\\holl001");
  IoDeleteSymbolicLink(&link);
}

TEST(PutNumber, WritesTheNumberIntoTheEnd) {
  struct Case {
    std::u16string text;
    ULONG number;
    std::u16string result;
  };
  const Case cases[] = {
      {u"abcxxx", 7, u"abc007"},    {u"abc###", 7, u"abc7"}, {u"abc###", 42, u"abc42"},
      {u"abc###", 1023, u"abc023"}, {u"ab", 42, u"42"},      {u"x", 42, u"2"},
      {u"hollin#", 0, u"holl000"},
  };
  for (const Case& c : cases) {
    std::u16string buffer = c.text;
    ULONG length = PutNumber(buffer.data(), c.number);
    EXPECT_EQ(buffer.substr(0, length), c.result) << c.number;
    EXPECT_EQ(buffer.c_str()[length], 0);
  }
}

}  // namespace
}  // namespace hollin::testing
