// The wide-string formatter with which names, IDs and registry paths are built.
#pragma once

#include "core/hollin_platform.h"

// Takes up to `count` characters and returns how many it took; taking fewer stops formatting.
typedef LONG FORMAT_OUTPUT(PVOID context, const WCHAR* text, LONG count);

// printf-style over wide characters. Flags "-0+ #", width and precision (digits or "*"), the
// length modifier "l"; conversions %% c C d u o x X p s S b B (counted: pointer, then a length
// in characters) and ":" (a nested format and a va_list pointer); e E f g write "no floats
// yet"; any other letter is written as is after "%". A null string writes "{NULL}".
// Returns the number of characters produced, or -1 when the output stopped taking them.
LONG FormatWide(FORMAT_OUTPUT* output, PVOID context, const WCHAR* format, va_list args);

// Appends to `string` and keeps it NUL-terminated. With `grow`, the buffer (null or pool owned
// by the string) is enlarged as needed up to 32766 characters; what does not fit is cut and
// STATUS_BUFFER_TOO_SMALL returned. A formatter failure gives STATUS_UNSUCCESSFUL.
NTSTATUS FormatToString(PUNICODE_STRING string, BOOLEAN grow, const WCHAR* format, ...);
NTSTATUS FormatToStringV(PUNICODE_STRING string, BOOLEAN grow, const WCHAR* format, va_list args);
