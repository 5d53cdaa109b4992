#include "tarn/hdlc_frame.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "sim/tarn/tarn_module.h"

namespace brisa {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Frame(const Bytes& packet) {
  Bytes out(HdlcFramedBound(packet.size()));
  out.resize(HdlcFrame(packet.data(), packet.size(), out.data()));
  return out;
}

// Feeds the stream in pieces of the given sizes (the rest in one piece) and collects packets.
std::vector<Bytes> Reassemble(cHDLCReassembler& r, const Bytes& stream,
                              std::vector<size_t> pieces = {}) {
  std::vector<Bytes> packets;
  auto sink = [&](const uint8_t* p, size_t n) { packets.emplace_back(p, p + n); };
  size_t at = 0;
  for (size_t piece : pieces) {
    r.Feed(stream.data() + at, piece, sink);
    at += piece;
  }
  r.Feed(stream.data() + at, stream.size() - at, sink);
  return packets;
}

TEST(HdlcCrc, CheckValueAndResidue) {
  const Bytes check = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(HdlcCrcCompute(check.data(), check.size()), 0x906E);

  Bytes withFcs = check;
  withFcs.push_back(0x6E);
  withFcs.push_back(0x90);
  EXPECT_TRUE(HdlcCrcCheck(withFcs.data(), withFcs.size()));
  EXPECT_EQ(HdlcCrcUpdate(0xFFFF, withFcs.data(), withFcs.size()), kHdlcCrcResidue);
  withFcs[3] ^= 0x10;
  EXPECT_FALSE(HdlcCrcCheck(withFcs.data(), withFcs.size()));
}

// The table-driven CRC against the emulator's bit-at-a-time one, over lengths and contents
// that exercise every table entry.
TEST(HdlcCrc, TableMatchesBitwiseCrc) {
  std::mt19937 rng(7);
  for (size_t length : {1u, 2u, 13u, 255u, 256u, 4099u}) {
    Bytes data(length);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    EXPECT_EQ(HdlcCrcCompute(data.data(), data.size()), tarnsim::Crc16X25(data.data(), length))
        << length;
  }
}

TEST(HdlcFrame, GoldenFrames) {
  const struct {
    Bytes packet, framed;
  } cases[] = {
      {{0x29}, {0x7E, 0x29, 0xBB, 0x4C, 0x7E}},
      // Payload flag and escape are stuffed.
      {{0x7E, 0x7D}, {0x7E, 0x7D, 0x5E, 0x7D, 0x5D, 0xF1, 0xCD, 0x7E}},
      // FCS 0x7E20: its high byte is a flag.
      {{0x2A}, {0x7E, 0x2A, 0x20, 0x7D, 0x5E, 0x7E}},
      // FCS 0x7D38: its high byte is the escape.
      {{0x19}, {0x7E, 0x19, 0x38, 0x7D, 0x5D, 0x7E}},
      // FCS 0x937E: its low byte is a flag.
      {{0x60}, {0x7E, 0x60, 0x7D, 0x5E, 0x93, 0x7E}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Frame(c.packet), c.framed);
    cHDLCReassembler r;
    auto packets = Reassemble(r, c.framed);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0], c.packet);
    EXPECT_EQ(tarnsim::FrameHdlc(c.packet), c.framed) << "emulator framing differs";
  }
}

TEST(HdlcFrame, WorstCaseFitsTheBound) {
  Bytes packet(16640, 0x7E);
  Bytes framed = Frame(packet);
  EXPECT_LE(framed.size(), HdlcFramedBound(packet.size()));
  EXPECT_GE(framed.size(), 2 * packet.size() + 4);
}

TEST(HdlcReassembly, FrameSplitAtEveryPointAcrossReads) {
  Bytes packet(40);
  for (size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<uint8_t>(0x70 + i);
  Bytes framed = Frame(packet);  // holds escapes, so some splits fall between 7D and its byte
  for (size_t split = 1; split < framed.size(); ++split) {
    cHDLCReassembler r;
    auto packets = Reassemble(r, framed, {split});
    ASSERT_EQ(packets.size(), 1u) << split;
    EXPECT_EQ(packets[0], packet) << split;
  }
}

TEST(HdlcReassembly, EmptyAndCorruptFramesAreDropped) {
  cHDLCReassembler r;
  auto packets = Reassemble(r, {0x7E, 0x7E, 0x29, 0xBB, 0x4C, 0x7E});
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0], Bytes{0x29});

  // One changed byte drops the frame; the next frame still arrives.
  Bytes stream = Frame({0x02, 0x10, 0x20, 0x30});
  stream[2] ^= 0x04;
  Bytes next = Frame({0x28, 1, 2, 3});
  stream.insert(stream.end(), next.begin(), next.end());
  packets = Reassemble(r, stream);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0][0], 0x28);

  // An empty packet with its (correct) FCS 0x0000 is no packet.
  EXPECT_TRUE(Reassemble(r, {0x7E, 0x00, 0x00, 0x7E}).empty());
}

TEST(HdlcReassembly, SeveralFramesInOneRead) {
  Bytes stream;
  for (uint8_t code : {0x02, 0x0D, 0x28}) {
    Bytes f = Frame({code, 0x7E});
    stream.insert(stream.end(), f.begin(), f.end());
  }
  cHDLCReassembler r;
  auto packets = Reassemble(r, stream);
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(packets[1], (Bytes{0x0D, 0x7E}));
}

TEST(HdlcReassembly, OverlongInputDropsTheFirst2048Bytes) {
  cHDLCReassembler r;
  Bytes stream(2048, 0x55);
  stream.push_back(0x29);  // byte 2049 starts the collection again
  EXPECT_TRUE(Reassemble(r, stream).empty());
  EXPECT_EQ(r.FrameLength(), 1u);
  auto packets = Reassemble(r, {0xBB, 0x4C, 0x7E});
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0], Bytes{0x29});
}

}  // namespace
}  // namespace brisa
