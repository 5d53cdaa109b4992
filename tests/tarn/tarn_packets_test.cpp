#include "tarn/tarn_packets.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tarn/hdlc_frame.h"

namespace brisa {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(TarnPackets, HelloRequestBytes) {
  uint8_t hello[kTarnHelloRequestSize];
  std::memset(hello, 0xCC, sizeof(hello));
  TarnHelloRequestBytes(hello);
  Bytes expected = {0x01};
  for (char c : std::string("ZEPH high speed protocol hst")) expected.push_back(c);
  expected.insert(expected.end(), {0, 0, 0, 0, 5, 5, 0x30});
  ASSERT_EQ(expected.size(), 36u);
  EXPECT_EQ(Bytes(hello, hello + 36), expected);
}

TEST(TarnPackets, WriteUnframedHeaderGolden) {
  uint8_t h[kTarnWriteUnframedHeaderSize];
  ASSERT_TRUE(TarnWriteUnframedHeaderBytes(0x00001000, 1, h));
  const Bytes first11 = {0x27, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00};
  EXPECT_EQ(Bytes(h, h + 11), first11);
  const uint16_t crc = HdlcCrcCompute(first11.data(), 11);
  EXPECT_EQ(h[11], crc & 0xFF);
  EXPECT_EQ(h[12], crc >> 8);
  // Header and CRC together leave the residue, as the module checks it.
  EXPECT_TRUE(HdlcCrcCheck(h, 13));
}

TEST(TarnPackets, BuildersRefuseOutOfRangeArguments) {
  uint8_t h[kTarnWriteUnframedHeaderSize];
  EXPECT_FALSE(TarnWriteUnframedHeaderBytes(0, 0, h));
  EXPECT_TRUE(TarnWriteUnframedHeaderBytes(kTarnMaxChunkLength, 0, h));
  EXPECT_FALSE(TarnWriteUnframedHeaderBytes(kTarnMaxChunkLength + 1, 0, h));

  uint8_t o[kTarnOpenUnframedRequestSize];
  for (unsigned type = 0; type < 256; ++type) {
    bool known = type == 5 || type == 6 || type == 13;
    EXPECT_EQ(TarnOpenUnframedBytes(static_cast<uint8_t>(type), 992, o), known) << type;
  }
  ASSERT_TRUE(TarnOpenUnframedBytes(kTarnImageNvpk, 0x00012345, o));
  EXPECT_EQ(Bytes(o, o + 13),
            (Bytes{0x25, 13, 0x45, 0x23, 0x01, 0x00, 1, 0x00, 0x00, 0x00, 0x04, 0, 0}));
}

TEST(TarnPackets, ChunkPlans) {
  const struct {
    uint32_t length, chunk;
    bool ok;
    uint32_t count, last;
  } cases[] = {
      {10, 4, true, 3, 2},
      {8, 4, true, 2, 4},
      {3, 100, true, 1, 3},
      {10, 0, false, 0, 0},
      {0, 4, false, 0, 0},
      {1, 1, true, 1, 1},
      {0x04000001, kTarnMaxChunkLength, true, 2, 1},
      {10, kTarnMaxChunkLength + 1, false, 0, 0},
  };
  for (const auto& c : cases) {
    sTarnChunkPlan plan{};
    EXPECT_EQ(TarnPlanChunks(c.length, c.chunk, plan), c.ok) << c.length << "/" << c.chunk;
    if (!c.ok) continue;
    EXPECT_EQ(plan.count, c.count) << c.length << "/" << c.chunk;
    EXPECT_EQ(plan.lastLength, c.last) << c.length << "/" << c.chunk;
  }
}

// Which packet completes which request, and when an error packet aborts one.
TEST(TarnPackets, ResponseMatching) {
  const struct {
    uint8_t request, packet;
    bool armed;
    bool response, error;
  } cases[] = {
      {0x01, 0x02, true, true, false},  {0x25, 0x26, true, true, false},
      {0x27, 0x28, true, true, false},  {0x29, 0x0D, true, true, false},
      {0x01, 0x0D, true, false, false},  // an error after the write is not an answer...
      {0x27, 0x0D, true, false, false},  // ...and no longer aborts
      {0x27, 0x0D, false, false, true},  // while still writing it aborts
      {0x29, 0x0D, false, false, true}, {0x27, 0x28, false, false, false},
      {0x01, 0x26, true, false, false}, {0x02, 0x02, true, false, false},
      {0x55, 0x0D, true, false, false},
  };
  for (const auto& c : cases) {
    const uint8_t req[1] = {c.request};
    const uint8_t pkt[2] = {c.packet, 0};
    EXPECT_EQ(TarnIsResponse(req, 1, c.armed, pkt, 2), c.response)
        << std::hex << int(c.request) << "/" << int(c.packet) << " armed " << c.armed;
    EXPECT_EQ(TarnIsErrorPacket(req, 1, c.armed, pkt, 2), c.error)
        << std::hex << int(c.request) << "/" << int(c.packet) << " armed " << c.armed;
  }
  const uint8_t req[1] = {0x01}, pkt[1] = {0x02};
  EXPECT_FALSE(TarnIsResponse(nullptr, 0, true, pkt, 1));
  EXPECT_FALSE(TarnIsResponse(req, 1, true, nullptr, 0));
  EXPECT_FALSE(TarnIsErrorPacket(nullptr, 0, false, pkt, 1));
}

}  // namespace
}  // namespace brisa
