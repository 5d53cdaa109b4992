#include "protocol/utf16.h"

namespace brisa {

namespace {
void PutUnit(uint16_t unit, std::string& out) {
  out += static_cast<char>(unit & 0xFF);
  out += static_cast<char>(unit >> 8);
}
}  // namespace

void AppendUtf16Le(std::wstring_view text, std::string& out) {
  out.reserve(out.size() + text.size() * 2);
  for (wchar_t wc : text) {
    uint32_t c = static_cast<uint32_t>(wc);
    if (c > 0xFFFF && c <= 0x10FFFF) {
      c -= 0x10000;
      PutUnit(static_cast<uint16_t>(0xD800 | (c >> 10)), out);
      PutUnit(static_cast<uint16_t>(0xDC00 | (c & 0x3FF)), out);
    } else {
      PutUnit(static_cast<uint16_t>(c), out);
    }
  }
}

std::wstring DecodeUtf16Le(const uint8_t* bytes, size_t count) {
  std::wstring out;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    uint32_t unit = bytes[2 * i] | (bytes[2 * i + 1] << 8);
    if constexpr (sizeof(wchar_t) > 2) {
      if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < count) {
        uint32_t next = bytes[2 * i + 2] | (bytes[2 * i + 3] << 8);
        if (next >= 0xDC00 && next < 0xE000) {
          out += static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
          ++i;
          continue;
        }
      }
    }
    out += static_cast<wchar_t>(unit);
  }
  return out;
}

}  // namespace brisa
