// Tarn download packets: command codes, layouts, the byte images of the requests, and which
// received packet answers (or aborts) which request. All multi-byte fields are little-endian and
// are written byte by byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brisa {

enum : uint8_t {
  kTarnHelloRequest = 0x01,
  kTarnHelloResponse = 0x02,
  kTarnOpenUnframedRequest = 0x25,
  kTarnOpenUnframedResponse = 0x26,
  kTarnWriteUnframedRequest = 0x27,
  kTarnWriteUnframedResponse = 0x28,
  kTarnDoneRequest = 0x29,
  kTarnErrorPacket = 0x0D,
};

enum : uint8_t { kTarnImageAmss = 5, kTarnImageApps = 6, kTarnImageNvpk = 13 };

constexpr size_t kTarnHelloRequestSize = 36;
constexpr size_t kTarnHelloResponseSize = 49;
constexpr size_t kTarnOpenUnframedRequestSize = 13;
constexpr size_t kTarnOpenUnframedResponseSize = 8;
constexpr size_t kTarnWriteUnframedHeaderSize = 13;
constexpr size_t kTarnWriteUnframedResponseSize = 9;
constexpr size_t kTarnDoneRequestSize = 1;
// Longest chunk one write-unframed transfer may carry; also the cap on the module's chunk size.
constexpr uint32_t kTarnMaxChunkLength = 0x04000000;

inline uint16_t TarnGetLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t TarnGetLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void TarnPutLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void TarnPutLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// Byte images of the requests. Those with arguments refuse out-of-range values (false, `out`
// untouched): only the image types 5, 6 and 13; chunk lengths from 1 to kTarnMaxChunkLength.
void TarnHelloRequestBytes(uint8_t (&out)[kTarnHelloRequestSize]);
bool TarnOpenUnframedBytes(uint8_t imageType, uint32_t imageLength,
                           uint8_t (&out)[kTarnOpenUnframedRequestSize]);
bool TarnWriteUnframedHeaderBytes(uint32_t chunkLength, uint16_t sequence,
                                  uint8_t (&out)[kTarnWriteUnframedHeaderSize]);

// How an image of `imageLength` bytes is cut into transfers of at most `chunkSize` bytes:
// the number of chunks and the length of the last one (every other chunk is `chunkSize` long).
// False for a chunk size outside 1..kTarnMaxChunkLength and for an empty image.
struct sTarnChunkPlan {
  uint32_t count;
  uint32_t lastLength;
};
bool TarnPlanChunks(uint32_t imageLength, uint32_t chunkSize, sTarnChunkPlan& plan);

// The code that answers a request whose first byte is `requestCode`, or 0 when the request has
// no recognised answer. The done packet is answered by the error packet: a module that restarts
// does not answer at all.
uint8_t TarnAnswerCode(uint8_t requestCode);

// Response matching on raw blocks (null/0 stands for an invalid block). `responseArmed` is true
// once the whole request has been written and its response timer runs.
bool TarnIsResponse(const uint8_t* request, size_t requestSize, bool responseArmed,
                    const uint8_t* packet, size_t packetSize);
// An error packet aborts a request only while that request is still being written.
bool TarnIsErrorPacket(const uint8_t* request, size_t requestSize, bool responseArmed,
                       const uint8_t* packet, size_t packetSize);

}  // namespace brisa
