#include "tarn/tarn_records.h"

#include <gtest/gtest.h>

#include <vector>

#include "tarn/hdlc_frame.h"

namespace brisa {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes BlockBytes(const sProtocolBuffer& view) {
  return view.IsValid() ? Bytes(view.Data(), view.Data() + view.Size()) : Bytes{};
}

TEST(TarnRecords, BuildersMakeSentBlocks) {
  const struct {
    sSharedBuffer* block;
    size_t size;
    uint8_t code;
  } cases[] = {
      {BuildTarnHello(), kTarnHelloRequestSize, 0x01},
      {BuildTarnOpenUnframed(kTarnImageAmss, 992), kTarnOpenUnframedRequestSize, 0x25},
      {BuildTarnWriteUnframedHeader(0x1000, 1), kTarnWriteUnframedHeaderSize, 0x27},
      {BuildTarnDone(), kTarnDoneRequestSize, 0x29},
  };
  for (const auto& c : cases) {
    sProtocolBuffer view(c.block);
    ASSERT_TRUE(view.IsValid());
    EXPECT_EQ(view.Tag(), kTagSent);
    EXPECT_EQ(view.Size(), c.size);
    EXPECT_EQ(view.Data()[0], c.code);
  }
  EXPECT_EQ(BuildTarnOpenUnframed(7, 10), nullptr);
  EXPECT_EQ(BuildTarnWriteUnframedHeader(0, 0), nullptr);
  EXPECT_EQ(BuildTarnWriteUnframedHeader(kTarnMaxChunkLength + 1, 0), nullptr);
}

TEST(TarnRecords, ChunkListHeaders) {
  std::vector<sProtocolBuffer> headers;
  ASSERT_TRUE(BuildTarnChunkList(10, 4, headers));
  ASSERT_EQ(headers.size(), 3u);
  const DWORD lengths[] = {4, 4, 2};
  for (size_t i = 0; i < headers.size(); ++i) {
    Bytes h = BlockBytes(headers[i]);
    ASSERT_EQ(h.size(), kTarnWriteUnframedHeaderSize);
    EXPECT_EQ(TarnGetLe16(&h[1]), i);
    EXPECT_EQ(TarnGetLe32(&h[7]), lengths[i]);
    EXPECT_TRUE(HdlcCrcCheck(h.data(), h.size()));
    EXPECT_EQ(headers[i].buffer->refCount, 1u) << "the list holds the only reference";
  }
  ASSERT_TRUE(BuildTarnChunkList(8, 4, headers));
  EXPECT_EQ(headers.size(), 2u);
  ASSERT_TRUE(BuildTarnChunkList(3, 100, headers));
  ASSERT_EQ(headers.size(), 1u);
  EXPECT_EQ(TarnGetLe32(headers[0].Data() + 7), 3u);
  EXPECT_FALSE(BuildTarnChunkList(10, 0, headers));
  EXPECT_TRUE(headers.empty());
  ASSERT_TRUE(BuildTarnChunkList(8, 4, headers));
  EXPECT_FALSE(BuildTarnChunkList(0, 4, headers));
  EXPECT_TRUE(headers.empty()) << "a failed build leaves no stale headers";
}

// Validity depends on the block's size and tag only; content is the users' concern.
TEST(TarnRecords, ValidityBySizeAndTag) {
  const struct {
    DWORD size, tag;
    bool hello, open, write;
  } cases[] = {
      {49, kTagReceived, true, false, false},  {48, kTagReceived, false, false, false},
      {50, kTagReceived, false, false, false}, {8, kTagReceived, false, true, false},
      {9, kTagReceived, false, false, true},   {9, kTagSent, false, false, true},
      {49, kTagCommand, false, false, false},  {8, 3, false, false, false},
  };
  for (const auto& c : cases) {
    Bytes bytes(c.size, 0xEE);  // nonsense content: not examined
    sProtocolBuffer view(new sSharedBuffer(c.tag, c.size, bytes.data()));
    SCOPED_TRACE(testing::Message() << c.size << " tag " << c.tag);
    EXPECT_EQ(sTarnHello(view).IsValid(), c.hello);
    EXPECT_EQ(sTarnOpenUnframed(view).IsValid(), c.open);
    EXPECT_EQ(sTarnWriteUnframed(view).IsValid(), c.write);
  }
  sTarnHello none{sProtocolBuffer()};
  EXPECT_FALSE(none.IsValid());
  EXPECT_EQ(none.ConfiguredFirmware(), 0u);
}

TEST(TarnRecords, ResponseFields) {
  Bytes hello(49, 0);
  hello[0] = 0x02;
  const Bytes fw = {0x78, 0x56, 0x34, 0x12, 0xCD, 0xAB};
  std::copy(fw.begin(), fw.end(), hello.begin() + 25);
  sTarnHello h(new sSharedBuffer(kTagReceived, 49, hello.data()));
  ASSERT_TRUE(h.IsValid());
  EXPECT_EQ(h.Code(), 0x02);
  EXPECT_EQ(h.ConfiguredFirmware(), 0x12345678u);
  EXPECT_EQ(h.ImageVersion(), 0xABCD);

  const Bytes open = {0x26, 0x01, 0x00, 0x01, 0x00, 0x00, 0x10, 0x00};
  sTarnOpenUnframed o(new sSharedBuffer(kTagReceived, 8, open.data()));
  EXPECT_EQ(o.Status(), 1);
  EXPECT_EQ(o.ChunkSize(), 0x00100000u);

  const Bytes write = {0x28, 0, 0, 0, 0, 0, 0, 0x02, 0x01};
  sTarnWriteUnframed w(new sSharedBuffer(kTagReceived, 9, write.data()));
  EXPECT_EQ(w.Status(), 0x0102);
  // The record shares the view's block.
  sProtocolBuffer view(w);
  EXPECT_EQ(view.buffer, w.buffer);
  EXPECT_EQ(w.buffer->refCount, 2u);
}

}  // namespace
}  // namespace brisa
