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

struct Spec {
  bool left = false, zero = false, plus = false, space = false, alternate = false;
  LONG width = 0;
  LONG precision = -1;
  bool longModifier = false;
};

bool IsDigit(WCHAR c) { return c >= WIDE('0') && c <= WIDE('9'); }

// Writes `text` (already converted) padded to the width.
bool Emit(Sink& sink, const Spec& spec, const WCHAR* prefix, LONG prefixLength, const WCHAR* text,
          LONG length, bool zeroPadAllowed) {
  LONG total = prefixLength + length;
  LONG pad = spec.width > total ? spec.width - total : 0;
  if (!spec.left && !(spec.zero && zeroPadAllowed)) sink.Pad(WIDE(' '), pad);
  sink.Put(prefix, prefixLength);
  if (!spec.left && spec.zero && zeroPadAllowed) sink.Pad(WIDE('0'), pad);
  sink.Put(text, length);
  if (spec.left) sink.Pad(WIDE(' '), pad);
  return !sink.failed;
}

bool Number(Sink& sink, const Spec& spec, ULONG64 value, bool negative, ULONG base, WCHAR letter) {
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
  LONG precision = spec.precision < 0 ? 1 : spec.precision;
  while (n < precision && n < 64) {
    *--end = WIDE('0');
    ++n;
  }
  WCHAR prefix[3];
  LONG prefixLength = 0;
  if (negative)
    prefix[prefixLength++] = WIDE('-');
  else if (spec.plus && letter == WIDE('d'))
    prefix[prefixLength++] = WIDE('+');
  else if (spec.space && letter == WIDE('d'))
    prefix[prefixLength++] = WIDE(' ');
  if (spec.alternate && !wasZero) {
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
  return Emit(sink, spec, prefix, prefixLength, end, n, spec.precision < 0);
}

bool NarrowText(Sink& sink, const Spec& spec, const char* text, LONG length) {
  // Widen byte by byte through a small window, padding around it.
  LONG pad = spec.width > length ? spec.width - length : 0;
  if (!spec.left) sink.Pad(WIDE(' '), pad);
  WCHAR window[32];
  for (LONG done = 0; done < length && !sink.failed;) {
    LONG piece = length - done < 32 ? length - done : 32;
    for (LONG i = 0; i < piece; ++i) window[i] = (WCHAR)(UCHAR)text[done + i];
    sink.Put(window, piece);
    done += piece;
  }
  if (spec.left) sink.Pad(WIDE(' '), pad);
  return !sink.failed;
}

bool Text(Sink& sink, const Spec& spec, const void* text, bool wide, LONG counted) {
  if (!text) {
    static const WCHAR kNull[] = {'{', 'N', 'U', 'L', 'L', '}'};
    return Emit(sink, spec, nullptr, 0, kNull, 6, false);
  }
  LONG length = 0;
  if (counted >= 0) {
    length = counted;
  } else if (wide) {
    while (((const WCHAR*)text)[length] && (spec.precision < 0 || length < spec.precision))
      ++length;
  } else {
    while (((const char*)text)[length] && (spec.precision < 0 || length < spec.precision)) ++length;
  }
  if (spec.precision >= 0 && length > spec.precision) length = spec.precision;
  if (wide) return Emit(sink, spec, nullptr, 0, (const WCHAR*)text, length, false);
  return NarrowText(sink, spec, (const char*)text, length);
}

bool Format(Sink& sink, const WCHAR* format, va_list* args) {
  const WCHAR* p = format;
  while (*p && !sink.failed) {
    const WCHAR* literal = p;
    while (*p && *p != WIDE('%')) ++p;
    if (!sink.Put(literal, (LONG)(p - literal))) return false;
    if (!*p) break;
    ++p;  // '%'
    Spec spec;
    for (;; ++p) {
      if (*p == WIDE('-'))
        spec.left = true;
      else if (*p == WIDE('0'))
        spec.zero = true;
      else if (*p == WIDE('+'))
        spec.plus = true;
      else if (*p == WIDE(' '))
        spec.space = true;
      else if (*p == WIDE('#'))
        spec.alternate = true;
      else
        break;
    }
    if (*p == WIDE('*')) {
      spec.width = va_arg(*args, int);
      if (spec.width < 0) spec.width = 0;
      ++p;
    } else {
      while (IsDigit(*p)) spec.width = spec.width * 10 + (*p++ - WIDE('0'));
    }
    if (*p == WIDE('.')) {
      ++p;
      spec.precision = 0;
      if (*p == WIDE('*')) {
        spec.precision = va_arg(*args, int);
        if (spec.precision < 0) spec.precision = -1;
        ++p;
      } else {
        while (IsDigit(*p)) spec.precision = spec.precision * 10 + (*p++ - WIDE('0'));
      }
    }
    if (*p == WIDE('l')) {
      spec.longModifier = true;
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
        NarrowText(sink, spec, &narrow, 1);
        break;
      }
      case WIDE('C'): {
        WCHAR wide = (WCHAR)va_arg(*args, int);
        Emit(sink, spec, nullptr, 0, &wide, 1, false);
        break;
      }
      case WIDE('d'): {
        LONG v = va_arg(*args, LONG);
        bool negative = v < 0;
        ULONG64 magnitude = negative ? (ULONG64)(-(LONG64)v) : (ULONG64)v;
        Number(sink, spec, magnitude, negative, 10, c);
        break;
      }
      case WIDE('u'):
        Number(sink, spec, va_arg(*args, ULONG), false, 10, c);
        break;
      case WIDE('o'):
        Number(sink, spec, va_arg(*args, ULONG), false, 8, c);
        break;
      case WIDE('x'):
      case WIDE('X'):
        Number(sink, spec, va_arg(*args, ULONG), false, 16, c);
        break;
      case WIDE('p'): {
        Spec pointer = spec;
        if (pointer.precision < 0) pointer.precision = (LONG)(2 * sizeof(void*));
        Number(sink, pointer, (ULONG64)(ULONG_PTR)va_arg(*args, void*), false, 16, c);
        break;
      }
      case WIDE('s'):
        Text(sink, spec, va_arg(*args, const void*), spec.longModifier, -1);
        break;
      case WIDE('S'):
        Text(sink, spec, va_arg(*args, const void*), !spec.longModifier, -1);
        break;
      case WIDE('b'):
      case WIDE('B'): {
        const void* text = va_arg(*args, const void*);
        int length = va_arg(*args, int);
        bool wide = c == WIDE('b') ? spec.longModifier : !spec.longModifier;
        Text(sink, spec, text, wide, length < 0 ? 0 : length);
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
        NarrowText(sink, spec, c == WIDE('E') ? kUpper : kLower, 13);
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
