// Run-time library strings, and the text helpers the model itself uses.
#include <cstdio>

#include "internal.h"

namespace wdmemu {

std::u16string FromUnicode(PCUNICODE_STRING s) {
  if (!s || !s->Buffer) return {};
  return std::u16string(s->Buffer, s->Length / 2);
}

std::u16string Upper(std::u16string s) {
  for (auto& c : s) c = RtlUpcaseUnicodeChar(c);
  return s;
}

std::u16string ToU16(const UNICODE_STRING& string) { return FromUnicode(&string); }

std::string Narrow(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) out += (c < 0x80) ? (char)c : '?';
  return out;
}

std::u16string Widen(std::string_view text) {
  std::u16string out;
  for (char c : text) out += (char16_t)(unsigned char)c;
  return out;
}

PWSTR PoolString(const std::u16string& s, POOL_TYPE type, ULONG tag, USHORT* bytes,
                 const std::source_location& where) {
  size_t size = (s.size() + 1) * sizeof(WCHAR);
  auto* p = (PWSTR)ExAllocatePoolWithTag(type, size, tag, where);
  if (!p) return nullptr;
  memcpy(p, s.data(), s.size() * 2);
  p[s.size()] = 0;
  // A multi-string built with embedded NULs keeps its length; strip only the terminator.
  *bytes = (USHORT)(s.size() * 2);
  return p;
}

std::string GuidText(const GUID& g) {
  char text[40];
  snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1,
           g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
           g.Data4[6], g.Data4[7]);
  return text;
}

}  // namespace wdmemu

using namespace wdmemu;

namespace {
size_t Length16(PCWSTR s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}
}  // namespace

VOID RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
  destination->Buffer = (PWSTR)source;
  if (!source) {
    destination->Length = destination->MaximumLength = 0;
    return;
  }
  size_t n = Length16(source) * 2;
  if (n > 0xFFFC) n = 0xFFFC;
  destination->Length = (USHORT)n;
  destination->MaximumLength = (USHORT)(n + 2);
}

VOID RtlInitAnsiString(PANSI_STRING destination, PCSZ source) {
  destination->Buffer = (PCHAR)source;
  size_t n = source ? strlen(source) : 0;
  destination->Length = (USHORT)n;
  destination->MaximumLength = source ? (USHORT)(n + 1) : 0;
}

VOID RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source) {
  if (!source || !source->Buffer) {
    destination->Length = 0;
    return;
  }
  USHORT n =
      source->Length < destination->MaximumLength ? source->Length : destination->MaximumLength;
  memmove(destination->Buffer, source->Buffer, n);
  destination->Length = n;
  if (n + 2 <= destination->MaximumLength) destination->Buffer[n / 2] = 0;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING destination, PCUNICODE_STRING source) {
  if (!source->Length) return STATUS_SUCCESS;
  if ((ULONG)destination->Length + source->Length > destination->MaximumLength) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  memmove((UCHAR*)destination->Buffer + destination->Length, source->Buffer, source->Length);
  destination->Length += source->Length;
  if (destination->Length + 2 <= destination->MaximumLength) {
    destination->Buffer[destination->Length / 2] = 0;
  }
  return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source) {
  if (!source) return STATUS_SUCCESS;
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, source);
  return RtlAppendUnicodeStringToString(destination, &s);
}

VOID RtlFreeUnicodeString(PUNICODE_STRING string) {
  if (string->Buffer) ExFreePool(string->Buffer);
  string->Buffer = nullptr;
  string->Length = string->MaximumLength = 0;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING string, ULONG base, PULONG value) {
  const WCHAR* p = string->Buffer;
  size_t n = string->Length / 2, i = 0;
  while (i < n && (p[i] == u' ' || p[i] == u'\t')) ++i;
  if (i == n) {
    *value = 0;
    return n == 0 ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
  }
  bool negative = false;
  if (p[i] == u'+' || p[i] == u'-') negative = p[i++] == u'-';
  if (base == 0) {
    base = 10;
    if (i + 1 < n && p[i] == u'0') {
      WCHAR c = p[i + 1];
      if (c == u'x' || c == u'X')
        base = 16, i += 2;
      else if (c == u'o' || c == u'O')
        base = 8, i += 2;
      else if (c == u'b' || c == u'B')
        base = 2, i += 2;
    }
  } else if (base != 2 && base != 8 && base != 10 && base != 16) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG result = 0;
  for (; i < n; ++i) {
    WCHAR c = p[i];
    ULONG digit;
    if (c >= u'0' && c <= u'9')
      digit = c - u'0';
    else if (c >= u'a' && c <= u'f')
      digit = c - u'a' + 10;
    else if (c >= u'A' && c <= u'F')
      digit = c - u'A' + 10;
    else
      break;
    if (digit >= base) break;
    result = result * base + digit;
  }
  *value = negative ? (ULONG)(-(LONG)result) : result;
  return STATUS_SUCCESS;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING string) {
  if (base == 0) base = 10;
  if (base != 2 && base != 8 && base != 10 && base != 16) return STATUS_INVALID_PARAMETER;
  WCHAR digits[33];
  int n = 0;
  do {
    ULONG d = value % base;
    digits[n++] = (WCHAR)(d < 10 ? u'0' + d : u'A' + d - 10);
    value /= base;
  } while (value);
  if ((n + 1) * 2 > string->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (int i = 0; i < n; ++i) string->Buffer[i] = digits[n - 1 - i];
  string->Buffer[n] = 0;
  string->Length = (USHORT)(n * 2);
  return STATUS_SUCCESS;
}

WCHAR RtlUpcaseUnicodeChar(WCHAR c) { return (c >= u'a' && c <= u'z') ? (WCHAR)(c - 32) : c; }

LONG RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive) {
  size_t na = a->Length / 2, nb = b->Length / 2;
  for (size_t i = 0; i < na && i < nb; ++i) {
    WCHAR x = a->Buffer[i], y = b->Buffer[i];
    if (caseInsensitive) x = RtlUpcaseUnicodeChar(x), y = RtlUpcaseUnicodeChar(y);
    if (x != y) return (LONG)x - (LONG)y;
  }
  return (LONG)na - (LONG)nb;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive) {
  return a->Length == b->Length && RtlCompareUnicodeString(a, b, caseInsensitive) == 0;
}

BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING prefix, PCUNICODE_STRING string,
                               BOOLEAN caseInsensitive) {
  if (prefix->Length > string->Length) return FALSE;
  UNICODE_STRING head{prefix->Length, prefix->Length, string->Buffer};
  return RtlCompareUnicodeString(prefix, &head, caseInsensitive) == 0;
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING destination, PCANSI_STRING source,
                                      BOOLEAN allocate) {
  ULONG bytes = source->Length * 2;
  if (allocate) {
    destination->Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, bytes + 2, 0x72747355);
    if (!destination->Buffer) return STATUS_NO_MEMORY;
    destination->MaximumLength = (USHORT)(bytes + 2);
  } else if (bytes > destination->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (USHORT i = 0; i < source->Length; ++i) {
    destination->Buffer[i] = (WCHAR)(UCHAR)source->Buffer[i];
  }
  destination->Length = (USHORT)bytes;
  if (bytes + 2 <= destination->MaximumLength) destination->Buffer[source->Length] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS RtlStringFromGUID(REFGUID guid, PUNICODE_STRING string) {
  std::u16string text = Widen(GuidText(guid));
  USHORT bytes;
  string->Buffer = PoolString(text, PagedPool, 0x72747355 /* 'Ustr' */, &bytes, {});
  if (!string->Buffer) return STATUS_NO_MEMORY;
  string->Length = bytes;
  string->MaximumLength = bytes + 2;
  return STATUS_SUCCESS;
}

NTSTATUS RtlGUIDFromString(PCUNICODE_STRING string, GUID* guid) {
  std::string text = Narrow(FromUnicode(string));
  unsigned d[11];
  if (text.size() != 38 ||
      sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d[0], &d[1], &d[2], &d[3],
             &d[4], &d[5], &d[6], &d[7], &d[8], &d[9], &d[10]) != 11) {
    return STATUS_INVALID_PARAMETER;
  }
  guid->Data1 = d[0];
  guid->Data2 = (USHORT)d[1];
  guid->Data3 = (USHORT)d[2];
  for (int i = 0; i < 8; ++i) guid->Data4[i] = (UCHAR)d[3 + i];
  return STATUS_SUCCESS;
}

NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW info) {
  info->dwMajorVersion = 10;
  info->dwMinorVersion = 0;
  info->dwBuildNumber = 19045;
  info->dwPlatformId = 2;
  info->szCSDVersion[0] = 0;
  return STATUS_SUCCESS;
}
