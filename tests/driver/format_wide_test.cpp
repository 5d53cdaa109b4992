// FormatWide and FormatToString: the conversions the driver builds names, IDs and paths with.
#include <string>

#include "core/format_wide.h"
#include "kernel_test.h"

namespace {

class Format : public wdmemu::testing::KernelTest {};

struct Collect {
  std::u16string text;
  LONG limit = 1 << 20;
};

LONG Take(PVOID context, const WCHAR* text, LONG count) {
  auto* c = (Collect*)context;
  LONG taken = count < c->limit ? count : c->limit;
  c->text.append(text, taken);
  c->limit -= taken;
  return taken;
}

std::u16string Fmt(LONG* result, const WCHAR* format, ...) {
  Collect c;
  va_list args;
  va_start(args, format);
  *result = FormatWide(Take, &c, format, args);
  va_end(args);
  return c.text;
}

LONG Nested(Collect* c, const WCHAR* format, ...) {
  va_list inner;
  va_start(inner, format);
  static const WCHAR outer[] = u"<%:>";
  va_list* innerPointer = &inner;
  LONG result = [&](const WCHAR* f, ...) {
    va_list args;
    va_start(args, f);
    LONG r = FormatWide(Take, c, f, args);
    va_end(args);
    return r;
  }(outer, format, innerPointer);
  va_end(inner);
  return result;
}

TEST_F(Format, Conversions) {
  LONG n;
  EXPECT_EQ(Fmt(&n, u"%04x", 0x1A), u"001a");
  EXPECT_EQ(n, 4);
  EXPECT_EQ(Fmt(&n, u"%ls", (const WCHAR*)nullptr), u"{NULL}");
  EXPECT_EQ(Fmt(&n, u"%s", (const char*)nullptr), u"{NULL}");
  EXPECT_EQ(Fmt(&n, u"%f", 1.5), u"no floats yet");
  EXPECT_EQ(Fmt(&n, u"%E", 1.5), u"NO FLOATS YET");
  EXPECT_EQ(Fmt(&n, u"%q"), u"%q");
  EXPECT_EQ(Fmt(&n, u"%X|%x", 0xABCDu, 0xABCDu), u"ABCD|abcd");
  EXPECT_EQ(Fmt(&n, u"%#x %#X %#o", 255u, 255u, 8u), u"0xff 0XFF 010");
  EXPECT_EQ(Fmt(&n, u"[%-5d][%5d][%+d][% d]", -3, -3, 5, 5), u"[-3   ][   -3][+5][ 5]");
  EXPECT_EQ(Fmt(&n, u"%05d", -42), u"-0042");
  EXPECT_EQ(Fmt(&n, u"%u %o", 4000000000u, 8u), u"4000000000 10");
  EXPECT_EQ(Fmt(&n, u"%*u|%.*u", 4, 7u, 3, 7u), u"   7|007");
  EXPECT_EQ(Fmt(&n, u"%*u", -4, 7u), u"7");  // negative width counts as 0
  EXPECT_EQ(Fmt(&n, u"%s %S %ls %lS", "na", u"wi", u"de", "rr"), u"na wi de rr");
  EXPECT_EQ(Fmt(&n, u"%.2ls|%6s", u"abc", "xy"), u"ab|    xy");
  EXPECT_EQ(Fmt(&n, u"%c%C%%", 'A', (int)u'\x263a'), u"A\x263a%");
  EXPECT_EQ(Fmt(&n, u"%lb\\%b", u"Scenarios_x", 9, "Name--", 4), u"Scenarios\\Name");
  EXPECT_EQ(Fmt(&n, u"%ls_%03u", u"hollin", 7u), u"hollin_007");
  EXPECT_EQ(Fmt(&n, u"%ls&Hash_%04x&Ifc_%02x", u"USB\\VID_1", 0xbeefu, 3u),
            u"USB\\VID_1&Hash_beef&Ifc_03");
  EXPECT_EQ(Fmt(&n, u"%p", (void*)0x1f), u"000000000000001f");
  EXPECT_EQ(Fmt(&n, u"%020u", 5u), u"00000000000000000005");  // padding beyond one piece
}

TEST_F(Format, NestedFormatUsesTheGivenArguments) {
  Collect c;
  EXPECT_EQ(Nested(&c, u"%u-%ls", 12u, u"z"), 6);
  EXPECT_EQ(c.text, u"<12-z>");
}

TEST_F(Format, OutputTakingLessStopsWithFailure) {
  Collect c;
  c.limit = 3;
  LONG result = [&](const WCHAR* f, ...) {
    va_list args;
    va_start(args, f);
    LONG r = FormatWide(Take, &c, f, args);
    va_end(args);
    return r;
  }(u"abcdef%u", 1u);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(c.text, u"abc");
}

TEST_F(Format, ToStringGrowsFromNothing) {
  UNICODE_STRING s{0, 0, nullptr};
  ASSERT_EQ(FormatToString(&s, TRUE, u"Scenarios\\Scenario_%u\\EnableCR6293", 4u), STATUS_SUCCESS);
  EXPECT_EQ(wdmemu::ToU16(s), u"Scenarios\\Scenario_4\\EnableCR6293");
  EXPECT_EQ(s.Buffer[s.Length / 2], 0);
  ASSERT_EQ(FormatToString(&s, TRUE, u"+%04x", 0x12u), STATUS_SUCCESS);
  EXPECT_EQ(wdmemu::ToU16(s), u"Scenarios\\Scenario_4\\EnableCR6293+0012");
  ExFreePool(s.Buffer);
}

TEST_F(Format, ToStringWithoutGrowCutsAndSaysSo) {
  WCHAR buffer[6];
  UNICODE_STRING s{0, sizeof buffer, buffer};
  EXPECT_EQ(FormatToString(&s, FALSE, u"%ls", u"abcdefgh"), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(wdmemu::ToU16(s), u"abcde");
  EXPECT_EQ(buffer[5], 0);
}

TEST_F(Format, ToStringStopsGrowingAtTheLimit) {
  UNICODE_STRING s{0, 0, nullptr};
  std::u16string big(40000, u'x');
  EXPECT_EQ(FormatToString(&s, TRUE, u"%ls", big.c_str()), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(s.Length, 32766 * 2);
  EXPECT_EQ(s.Buffer[32766], 0);
  ExFreePool(s.Buffer);
}

}  // namespace
