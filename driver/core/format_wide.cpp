#include "core/format_wide.h"

namespace {

const ULONG kStringTag = 0x74534C48;  // 'HLSt'
const LONG kMaxChars = 32766;

struct Sink {
  FORMAT_OUTPUT* output;
  PVOID context;
  LONG produced;
  bool failed;

  bool Put(const WCHAR* text, LONG count) {
    if (failed) return false;
    if (count <= 0) return true;
    LONG taken = output(context, text, count);
    if (taken > 0) produced += taken < count ? taken : count;
    if (taken < count) failed = true;
    return !failed;
  }
  bool Pad(WCHAR c, LONG count) {
    WCHAR block[16];
    for (auto& b : block) b = c;
    while (count > 0 && !failed) {
      LONG piece = count < 16 ? count : 16;
      Put(block, piece);
      count -= piece;
    }
    return !failed;
  }
};

struct Conversion {
  bool left = false, zero = false, plus = false, space = false, alternate = false;
  LONG width = 0;
  LONG precision = -1;
  bool longModifier = false;
};

bool IsDigit(WCHAR c) { return c >= WIDE('0') && c <= WIDE('9'); }

// Writes `text` (already converted) padded to the width.
bool Emit(Sink& sink, const Conversion& conv, const WCHAR* prefix, LONG prefixLength,
          const WCHAR* text, LONG length, bool zeroPadAllowed) {
  LONG total = prefixLength + length;
  LONG pad = conv.width > total ? conv.width - total : 0;
  if (!conv.left && !(conv.zero && zeroPadAllowed)) sink.Pad(WIDE(' '), pad);
  sink.Put(prefix, prefixLength);
  if (!conv.left && conv.zero && zeroPadAllowed) sink.Pad(WIDE('0'), pad);
  sink.Put(text, length);
  if (conv.left) sink.Pad(WIDE(' '), pad);
  return !sink.failed;
}

bool Number(Sink& sink, const Conversion& conv, ULONG64 value, bool negative, ULONG base,
            WCHAR letter) {
  static const char digits[] = "0123456789abcdef";
  WCHAR buffer[72];
  LONG n = 0;
  WCHAR* end = buffer + 72;
  // Backwards; powers of two by masking and shifting.
  if (base == 16 || base == 8) {
    ULONG shift = base == 16 ? 4 : 3;
    while (value) {
      *--end = (WCHAR)digits[value & (base - 1)];
      value >>= shift;
      ++n;
    }
  } else {
    while (value) {
      *--end = (WCHAR)digits[value % base];
      value /= base;
      ++n;
    }
  }
  bool wasZero = n == 0;
  LONG precision = conv.precision < 0 ? 1 : conv.precision;
  while (n < precision && n < 64) {
    *--end = WIDE('0');
    ++n;
  }
  WCHAR prefix[3];
  LONG prefixLength = 0;
  if (negative)
    prefix[prefixLength++] = WIDE('-');
  else if (conv.plus && letter == WIDE('d'))
    prefix[prefixLength++] = WIDE('+');
  else if (conv.space && letter == WIDE('d'))
    prefix[prefixLength++] = WIDE(' ');
  if (conv.alternate && !wasZero) {
    if (base == 8 && end[0] != WIDE('0')) prefix[prefixLength++] = WIDE('0');
    if (base == 16) {
      prefix[prefixLength++] = WIDE('0');
      prefix[prefixLength++] = WIDE('x');
    }
  }
  if (letter >= WIDE('A') && letter <= WIDE('Z')) {
    for (LONG i = 0; i < n; ++i) {
      if (end[i] >= WIDE('a') && end[i] <= WIDE('z')) end[i] = (WCHAR)(end[i] - 32);
    }
    for (LONG i = 0; i < prefixLength; ++i) {
      if (prefix[i] == WIDE('x')) prefix[i] = WIDE('X');
    }
  }
  return Emit(sink, conv, prefix, prefixLength, end, n, conv.precision < 0);
}

bool NarrowText(Sink& sink, const Conversion& conv, const char* text, LONG length) {
  // Widen byte by byte through a small window, padding around it.
  LONG pad = conv.width > length ? conv.width - length : 0;
  if (!conv.left) sink.Pad(WIDE(' '), pad);
  WCHAR window[32];
  for (LONG done = 0; done < length && !sink.failed;) {
    LONG piece = length - done < 32 ? length - done : 32;
    for (LONG i = 0; i < piece; ++i) window[i] = (WCHAR)(UCHAR)text[done + i];
    sink.Put(window, piece);
    done += piece;
  }
  if (conv.left) sink.Pad(WIDE(' '), pad);
  return !sink.failed;
}

bool Text(Sink& sink, const Conversion& conv, const void* text, bool wide, LONG counted) {
  if (!text) {
    static const WCHAR kNull[] = {'{', 'N', 'U', 'L', 'L', '}'};
    return Emit(sink, conv, nullptr, 0, kNull, 6, false);
  }
  LONG length = 0;
  if (counted >= 0) {
    length = counted;
  } else if (wide) {
    while (((const WCHAR*)text)[length] && (conv.precision < 0 || length < conv.precision))
      ++length;
  } else {
    while (((const char*)text)[length] && (conv.precision < 0 || length < conv.precision)) ++length;
  }
  if (conv.precision >= 0 && length > conv.precision) length = conv.precision;
  if (wide) return Emit(sink, conv, nullptr, 0, (const WCHAR*)text, length, false);
  return NarrowText(sink, conv, (const char*)text, length);
}

bool Format(Sink& sink, const WCHAR* format, va_list* args) {
  const WCHAR* p = format;
  while (*p && !sink.failed) {
    const WCHAR* literal = p;
    while (*p && *p != WIDE('%')) ++p;
    if (!sink.Put(literal, (LONG)(p - literal))) return false;
    if (!*p) break;
    ++p;  // '%'
    Conversion conv;
    for (;; ++p) {
      if (*p == WIDE('-'))
        conv.left = true;
      else if (*p == WIDE('0'))
        conv.zero = true;
      else if (*p == WIDE('+'))
        conv.plus = true;
      else if (*p == WIDE(' '))
        conv.space = true;
      else if (*p == WIDE('#'))
        conv.alternate = true;
      else
        break;
    }
    if (*p == WIDE('*')) {
      conv.width = va_arg(*args, int);
      if (conv.width < 0) conv.width = 0;
      ++p;
    } else {
      while (IsDigit(*p)) conv.width = conv.width * 10 + (*p++ - WIDE('0'));
    }
    if (*p == WIDE('.')) {
      ++p;
      conv.precision = 0;
      if (*p == WIDE('*')) {
        conv.precision = va_arg(*args, int);
        if (conv.precision < 0) conv.precision = -1;
        ++p;
      } else {
        while (IsDigit(*p)) conv.precision = conv.precision * 10 + (*p++ - WIDE('0'));
      }
    }
    if (*p == WIDE('l')) {
      conv.longModifier = true;
      ++p;
    }
    WCHAR c = *p;
    if (!c) break;
    ++p;
    switch (c) {
      case WIDE('%'): {
        WCHAR percent = WIDE('%');
        sink.Put(&percent, 1);
        break;
      }
      case WIDE('c'): {
        char narrow = (char)va_arg(*args, int);
        NarrowText(sink, conv, &narrow, 1);
        break;
      }
      case WIDE('C'): {
        WCHAR wide = (WCHAR)va_arg(*args, int);
        Emit(sink, conv, nullptr, 0, &wide, 1, false);
        break;
      }
      case WIDE('d'): {
        LONG v = va_arg(*args, LONG);
        bool negative = v < 0;
        ULONG64 magnitude = negative ? (ULONG64)(-(LONG64)v) : (ULONG64)v;
        Number(sink, conv, magnitude, negative, 10, c);
        break;
      }
      case WIDE('u'):
        Number(sink, conv, va_arg(*args, ULONG), false, 10, c);
        break;
      case WIDE('o'):
        Number(sink, conv, va_arg(*args, ULONG), false, 8, c);
        break;
      case WIDE('x'):
      case WIDE('X'):
        Number(sink, conv, va_arg(*args, ULONG), false, 16, c);
        break;
      case WIDE('p'): {
        Conversion pointer = conv;
        if (pointer.precision < 0) pointer.precision = (LONG)(2 * sizeof(void*));
        Number(sink, pointer, (ULONG64)(ULONG_PTR)va_arg(*args, void*), false, 16, c);
        break;
      }
      case WIDE('s'):
        Text(sink, conv, va_arg(*args, const void*), conv.longModifier, -1);
        break;
      case WIDE('S'):
        Text(sink, conv, va_arg(*args, const void*), !conv.longModifier, -1);
        break;
      case WIDE('b'):
      case WIDE('B'): {
        const void* text = va_arg(*args, const void*);
        int length = va_arg(*args, int);
        bool wide = c == WIDE('b') ? conv.longModifier : !conv.longModifier;
        Text(sink, conv, text, wide, length < 0 ? 0 : length);
        break;
      }
      case WIDE(':'): {
        const WCHAR* nested = va_arg(*args, const WCHAR*);
        va_list* nestedArgs = va_arg(*args, va_list*);
        if (nested && nestedArgs) Format(sink, nested, nestedArgs);
        break;
      }
      case WIDE('e'):
      case WIDE('E'):
      case WIDE('f'):
      case WIDE('g'): {
        static const char kLower[] = "no floats yet";
        static const char kUpper[] = "NO FLOATS YET";
        NarrowText(sink, conv, c == WIDE('E') ? kUpper : kLower, 13);
        break;
      }
      default: {
        WCHAR unknown[2] = {WIDE('%'), c};
        sink.Put(unknown, 2);
        break;
      }
    }
  }
  return !sink.failed;
}

struct StringTarget {
  PUNICODE_STRING string;
  BOOLEAN grow;
  NTSTATUS failure;
};

// Room for `needed` more characters and the terminator, growing the pool buffer when allowed.
LONG AppendToString(PVOID context, const WCHAR* text, LONG count) {
  auto* target = (StringTarget*)context;
  PUNICODE_STRING s = target->string;
  LONG length = s->Length / sizeof(WCHAR);
  LONG capacity = s->Buffer ? s->MaximumLength / (LONG)sizeof(WCHAR) - 1 : 0;
  if (length + count > capacity && target->grow) {
    LONG wanted = length + count + 256;
    if (wanted > kMaxChars) wanted = kMaxChars;
    if (wanted > capacity) {
      auto* bigger =
          (PWSTR)ExAllocatePoolWithTag(NonPagedPool, (wanted + 1) * sizeof(WCHAR), kStringTag);
      if (bigger) {
        if (s->Buffer) {
          RtlCopyMemory(bigger, s->Buffer, length * sizeof(WCHAR));
          ExFreePool(s->Buffer);
        }
        s->Buffer = bigger;
        s->MaximumLength = (USHORT)((wanted + 1) * sizeof(WCHAR));
        capacity = wanted;
      }
    }
  }
  LONG room = capacity - length;
  LONG taken = count < room ? count : (room > 0 ? room : 0);
  if (taken > 0) {
    RtlCopyMemory(s->Buffer + length, text, taken * sizeof(WCHAR));
    s->Length = (USHORT)((length + taken) * sizeof(WCHAR));
  }
  if (s->Buffer && capacity >= 0) s->Buffer[s->Length / sizeof(WCHAR)] = 0;
  if (taken < count && NT_SUCCESS(target->failure)) target->failure = STATUS_BUFFER_TOO_SMALL;
  return taken;
}

}  // namespace

LONG FormatWide(FORMAT_OUTPUT* output, PVOID context, const WCHAR* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  Sink sink{output, context, 0, false};
  bool ok = Format(sink, format, &copy);
  va_end(copy);
  return ok ? sink.produced : -1;
}

NTSTATUS FormatToStringV(PUNICODE_STRING string, BOOLEAN grow, const WCHAR* format, va_list args) {
  StringTarget target{string, grow, STATUS_SUCCESS};
  USHORT start = string->Length;
  LONG produced = FormatWide(AppendToString, &target, format, args);
  if (!NT_SUCCESS(target.failure)) return target.failure;
  if (produced < 0 || (ULONG)produced * sizeof(WCHAR) != (ULONG)(string->Length - start)) {
    return STATUS_UNSUCCESSFUL;
  }
  return STATUS_SUCCESS;
}

NTSTATUS FormatToString(PUNICODE_STRING string, BOOLEAN grow, const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  NTSTATUS status = FormatToStringV(string, grow, format, args);
  va_end(args);
  return status;
}
