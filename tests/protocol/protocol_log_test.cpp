// The protocol log's history and its hex dumps into the service log.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "protocol/protocol_log.h"
#include "protocol/utf16.h"
#include "win32emu/world.h"

namespace brisa {
namespace {

sProtocolBuffer Packet(DWORD tag, DWORD size, BYTE first = 0) {
  std::vector<BYTE> bytes(size);
  for (DWORD i = 0; i < size; ++i) bytes[i] = static_cast<BYTE>(first + i);
  return sProtocolBuffer(new sSharedBuffer(tag, size, bytes.data()));
}

TEST(ProtocolLogTest, HoldsTheLast512AndRefusesInvalidPackets) {
  cProtocolLog log;
  EXPECT_EQ(log.Add(sProtocolBuffer()), kInvalidLogIndex);
  EXPECT_EQ(log.Count(), 0u);
  for (DWORD i = 0; i < 513; ++i) ASSERT_EQ(log.Add(Packet(kTagSent, 1, BYTE(i))), i);
  EXPECT_EQ(log.Count(), 513u);
  EXPECT_FALSE(log.Get(0).IsValid());
  sProtocolBuffer second = log.Get(1);
  ASSERT_TRUE(second.IsValid());
  EXPECT_EQ(second.Data()[0], 1);
  EXPECT_TRUE(log.Get(512).IsValid());
  log.Clear();
  EXPECT_EQ(log.Count(), 0u);
  EXPECT_FALSE(log.Get(1).IsValid());
  // The view taken before Clear keeps its block alive.
  EXPECT_EQ(second.Data()[0], 1);
}

class DumpPacketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = win32emu::MakeTemporaryWorld();
    ASSERT_TRUE(serviceLog.OpenLog(L"C:\\dump.txt"));
  }
  void TearDown() override {
    serviceLog.CloseLog();
    std::filesystem::remove_all(root);
  }
  // The text of each line after the service-log prefix.
  std::vector<std::wstring> Lines() {
    serviceLog.CloseLog();
    std::ifstream in(win32emu::HostPath(L"C:\\dump.txt"), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_GE(bytes.size(), 2u);
    std::wstring text =
        DecodeUtf16Le(reinterpret_cast<const uint8_t*>(bytes.data()) + 2, (bytes.size() - 2) / 2);
    std::vector<std::wstring> lines;
    size_t start = 0, end;
    while ((end = text.find(L"\r\n", start)) != std::wstring::npos) {
      std::wstring line = text.substr(start, end - start);
      size_t body = line.find(L"] ");
      lines.push_back(body == std::wstring::npos ? line : line.substr(body + 2));
      start = end + 2;
    }
    return lines;
  }
  std::string root;
  cServiceLog serviceLog;
  cProtocolLog log;
};

TEST_F(DumpPacketTest, SixteenBytesPerLineWithoutATrailingEmptyLine) {
  sProtocolBuffer sixteen = Packet(kTagSent, 16, 0xF0);
  sixteen.timeStamp = 128911863090420000ull;  // 07/04/2009 13:05:09.042 UTC
  log.Add(sixteen);
  log.Add(Packet(kTagReceived, 17, 0x00));
  DumpPacket(log, 0, serviceLog);
  DumpPacket(log, 1, serviceLog);
  std::vector<std::wstring> lines = Lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], L"  0000 [9 07/04/2009 13:05:09.042]");
  EXPECT_EQ(lines[1], L"    F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF ");
  EXPECT_EQ(lines[2].substr(0, 9), L"  0001 [8");
  EXPECT_EQ(lines[3], L"    00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F ");
  EXPECT_EQ(lines[4], L"    10 ");
}

TEST_F(DumpPacketTest, AnIndexFallenOutOfTheLogIsAnError) {
  for (int i = 0; i < 513; ++i) log.Add(Packet(kTagSent, 1, 0xAB));
  DumpPacket(log, 0, serviceLog);
  DumpPacket(log, 1, serviceLog);
  DumpPacket(log, 513, serviceLog);
  std::vector<std::wstring> lines = Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], L"  Protocol buffer error");
  EXPECT_EQ(lines[1].substr(0, 9), L"  0001 [9");
  EXPECT_EQ(lines[2], L"    AB ");
  EXPECT_EQ(lines[3], L"  Protocol buffer error");
}

}  // namespace
}  // namespace brisa
