// HDLC-style asynchronous framing of Tarn packets: flag-delimited frames, byte stuffing of the
// flag and escape bytes, and a CRC-16/X-25 frame check sequence appended low byte first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brisa {

constexpr uint8_t kHdlcFlag = 0x7E;
constexpr uint8_t kHdlcEscape = 0x7D;
constexpr uint8_t kHdlcEscapeXor = 0x20;
// Register value (before the final complement) after a block followed by its own FCS.
constexpr uint16_t kHdlcCrcResidue = 0xF0B8;
// Largest output HdlcFrame can produce for a packet of `length` bytes: every byte escaped, two
// FCS bytes escaped, and the two flags.
constexpr size_t HdlcFramedBound(size_t length) { return 2 * length + 6; }

// The FCS of a block: CRC-16/X-25, i.e. the complemented register.
uint16_t HdlcCrcCompute(const uint8_t* bytes, size_t length);
// True when the register after all bytes, not complemented, is the residue: the block ends with
// a correct FCS of the bytes before it.
bool HdlcCrcCheck(const uint8_t* bytes, size_t length);
// Continues a CRC register over more bytes (initial register 0xFFFF, no complement): for callers
// that check data arriving in pieces.
uint16_t HdlcCrcUpdate(uint16_t reg, const uint8_t* bytes, size_t length);

// Writes the frame of a packet to `out`, which must hold HdlcFramedBound(length) bytes.
// Returns the number of bytes written.
size_t HdlcFrame(const uint8_t* packet, size_t length, uint8_t* out);

// Reassembles frames from a byte stream that arrives in arbitrary pieces. Bytes are un-escaped
// into a buffer allocated once; a frame is delivered when its closing flag arrives and its FCS
// checks. Frames with a bad FCS, empty frames and frames too short to carry a packet are dropped
// silently: the request in flight then ends by its time-out. When the buffer fills without a
// flag, the partial frame is dropped and collection starts again with the next byte.
class cHDLCReassembler {
 public:
  static constexpr size_t kDefaultCapacity = 2048;

  explicit cHDLCReassembler(size_t capacity = kDefaultCapacity);
  ~cHDLCReassembler();
  cHDLCReassembler(const cHDLCReassembler&) = delete;
  cHDLCReassembler& operator=(const cHDLCReassembler&) = delete;

  // False when the frame buffer could not be allocated; Feed then drops everything.
  bool IsReady() const { return frameBuffer != nullptr; }

  // Handles `count` received bytes. For each complete, checked frame calls
  // onPacket(const uint8_t* packet, size_t length) with the packet bytes (FCS removed); the
  // pointer is valid only during the call.
  template <class OnPacket>
  void Feed(const uint8_t* bytes, size_t count, OnPacket&& onPacket) {
    if (frameBuffer == nullptr) return;
    for (size_t i = 0; i < count; ++i) {
      uint8_t byte = bytes[i];
      if (frameLength >= capacity) frameLength = 0;
      if (escapePending) {
        escapePending = 0;
        frameBuffer[frameLength++] = static_cast<uint8_t>(byte ^ kHdlcEscapeXor);
      } else if (byte == kHdlcEscape) {
        escapePending = 1;
      } else if (byte == kHdlcFlag) {
        // At least one packet byte and the two FCS bytes: a shorter frame that happens to
        // check would otherwise deliver an empty or negative-length packet.
        if (frameLength > 2 && HdlcCrcCheck(frameBuffer, frameLength)) {
          onPacket(static_cast<const uint8_t*>(frameBuffer), frameLength - 2);
        }
        frameLength = 0;
      } else {
        frameBuffer[frameLength++] = byte;
      }
    }
  }

  size_t FrameLength() const { return frameLength; }
  bool EscapePending() const { return escapePending != 0; }
  size_t Capacity() const { return capacity; }

 private:
  uint8_t* frameBuffer;
  size_t capacity;
  size_t frameLength;
  uint8_t escapePending;
};

}  // namespace brisa
