// UTF-16LE for the files the service writes and reads, whatever the width of wchar_t.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace brisa {

// Appends the UTF-16LE bytes of `text` to `out` (code points above 0xFFFF as surrogate pairs
// where wchar_t holds them whole).
void AppendUtf16Le(std::wstring_view text, std::string& out);

// Decodes `count` UTF-16LE code units from `bytes` (surrogate pairs joined where wchar_t is
// wide enough; an unpaired surrogate is kept as it is).
std::wstring DecodeUtf16Le(const uint8_t* bytes, size_t count);

}  // namespace brisa
