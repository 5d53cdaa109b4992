#include "tarn/tarn_packets.h"

#include <cstring>

#include "tarn/hdlc_frame.h"

namespace brisa {

namespace {

// Packet blocks are from 1 to 16640 bytes; anything else is no packet at all.
constexpr size_t kMaxBlock = 16640;
inline bool IsBlock(const uint8_t* p, size_t n) { return p != nullptr && n >= 1 && n <= kMaxBlock; }

}  // namespace

void TarnHelloRequestBytes(uint8_t (&out)[kTarnHelloRequestSize]) {
  static const char kMagic[] = "ZEPH high speed protocol hst";
  std::memset(out, 0, sizeof(out));
  out[0] = kTarnHelloRequest;
  std::memcpy(out + 1, kMagic, sizeof(kMagic) - 1);  // 28 characters, then four zero bytes
  out[33] = 5;
  out[34] = 5;
  out[35] = 0x30;
}

bool TarnOpenUnframedBytes(uint8_t imageType, uint32_t imageLength,
                           uint8_t (&out)[kTarnOpenUnframedRequestSize]) {
  if (imageType != kTarnImageAmss && imageType != kTarnImageApps && imageType != kTarnImageNvpk)
    return false;
  out[0] = kTarnOpenUnframedRequest;
  out[1] = imageType;
  TarnPutLe32(out + 2, imageLength);
  out[6] = 1;
  TarnPutLe32(out + 7, 0x04000000);
  TarnPutLe16(out + 11, 0);
  return true;
}

bool TarnWriteUnframedHeaderBytes(uint32_t chunkLength, uint16_t sequence,
                                  uint8_t (&out)[kTarnWriteUnframedHeaderSize]) {
  if (chunkLength < 1 || chunkLength > kTarnMaxChunkLength) return false;
  out[0] = kTarnWriteUnframedRequest;
  TarnPutLe16(out + 1, sequence);
  TarnPutLe32(out + 3, 0);
  TarnPutLe32(out + 7, chunkLength);
  TarnPutLe16(out + 11, HdlcCrcCompute(out, 11));
  return true;
}

bool TarnPlanChunks(uint32_t imageLength, uint32_t chunkSize, sTarnChunkPlan& plan) {
  if (chunkSize < 1 || chunkSize > kTarnMaxChunkLength || imageLength == 0) return false;
  if (chunkSize < imageLength) {
    plan.count = imageLength / chunkSize + (imageLength % chunkSize != 0 ? 1 : 0);
    plan.lastLength = imageLength % chunkSize != 0 ? imageLength % chunkSize : chunkSize;
  } else {
    plan.count = 1;
    plan.lastLength = imageLength;
  }
  return true;
}

uint8_t TarnAnswerCode(uint8_t requestCode) {
  switch (requestCode) {
    case kTarnHelloRequest:
      return kTarnHelloResponse;
    case kTarnOpenUnframedRequest:
      return kTarnOpenUnframedResponse;
    case kTarnWriteUnframedRequest:
      return kTarnWriteUnframedResponse;
    case kTarnDoneRequest:
      return kTarnErrorPacket;
    default:
      return 0;
  }
}

bool TarnIsResponse(const uint8_t* request, size_t requestSize, bool responseArmed,
                    const uint8_t* packet, size_t packetSize) {
  if (!IsBlock(request, requestSize) || !responseArmed || !IsBlock(packet, packetSize))
    return false;
  uint8_t answer = TarnAnswerCode(request[0]);
  return answer != 0 && packet[0] == answer;
}

bool TarnIsErrorPacket(const uint8_t* request, size_t requestSize, bool responseArmed,
                       const uint8_t* packet, size_t packetSize) {
  if (!IsBlock(request, requestSize) || responseArmed || !IsBlock(packet, packetSize)) return false;
  return packet[0] == kTarnErrorPacket;
}

}  // namespace brisa
