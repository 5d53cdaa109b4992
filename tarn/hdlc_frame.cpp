#include "tarn/hdlc_frame.h"

#include <new>

namespace brisa {

namespace {

// Entry i is the register after shifting byte i through a zero register with the reflected
// polynomial 0x8408; built at compile time so there is no start-up ordering to get wrong.
struct sCrcTable {
  uint16_t entry[256];
  constexpr sCrcTable() : entry() {
    for (unsigned i = 0; i < 256; ++i) {
      uint16_t reg = static_cast<uint16_t>(i);
      for (int bit = 0; bit < 8; ++bit) {
        reg = (reg & 1) ? static_cast<uint16_t>((reg >> 1) ^ 0x8408)
                        : static_cast<uint16_t>(reg >> 1);
      }
      entry[i] = reg;
    }
  }
};

constexpr sCrcTable kCrcTable;
static_assert(kCrcTable.entry[1] == 0x1189 && kCrcTable.entry[2] == 0x2312 &&
              kCrcTable.entry[3] == 0x329B);

inline uint8_t* PutEscaped(uint8_t* out, uint8_t byte) {
  if (byte == kHdlcFlag || byte == kHdlcEscape) {
    *out++ = kHdlcEscape;
    *out++ = static_cast<uint8_t>(byte ^ kHdlcEscapeXor);
  } else {
    *out++ = byte;
  }
  return out;
}

}  // namespace

uint16_t HdlcCrcUpdate(uint16_t reg, const uint8_t* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    reg = static_cast<uint16_t>((reg >> 8) ^ kCrcTable.entry[(reg ^ bytes[i]) & 0xFF]);
  }
  return reg;
}

uint16_t HdlcCrcCompute(const uint8_t* bytes, size_t length) {
  return static_cast<uint16_t>(~HdlcCrcUpdate(0xFFFF, bytes, length));
}

bool HdlcCrcCheck(const uint8_t* bytes, size_t length) {
  return HdlcCrcUpdate(0xFFFF, bytes, length) == kHdlcCrcResidue;
}

size_t HdlcFrame(const uint8_t* packet, size_t length, uint8_t* out) {
  uint8_t* p = out;
  *p++ = kHdlcFlag;
  for (size_t i = 0; i < length; ++i) p = PutEscaped(p, packet[i]);
  uint16_t fcs = HdlcCrcCompute(packet, length);
  p = PutEscaped(p, static_cast<uint8_t>(fcs & 0xFF));
  p = PutEscaped(p, static_cast<uint8_t>(fcs >> 8));
  *p++ = kHdlcFlag;
  return static_cast<size_t>(p - out);
}

cHDLCReassembler::cHDLCReassembler(size_t capacity_)
    : frameBuffer(new (std::nothrow) uint8_t[capacity_ ? capacity_ : 1]),
      capacity(frameBuffer ? (capacity_ ? capacity_ : 1) : 0),
      frameLength(0),
      escapePending(0) {}

cHDLCReassembler::~cHDLCReassembler() { delete[] frameBuffer; }

}  // namespace brisa
