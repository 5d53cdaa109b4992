// UNICODE_STRING records that own their buffers (non-paged pool, always NUL-terminated).
#pragma once

#include "core/hollin_platform.h"

namespace hollin {

// Characters before the terminating NUL.
SIZE_T WideLength(const WCHAR* text);

VOID FreeUnicodeString(PUNICODE_STRING string);
NTSTATUS DuplicateUnicodeString(PUNICODE_STRING out, const WCHAR* source);
NTSTATUS ConcatUnicodeStrings(PUNICODE_STRING out, const WCHAR* first, const WCHAR* second,
                              const WCHAR* third);

}  // namespace hollin
