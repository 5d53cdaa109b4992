// The one place where hollin smooths over the difference between the Windows DDK and the
// kernel model. Everything else includes this and speaks WDM.
#pragma once

#if defined(_WIN32)
// mingw-w64's wdm.h redefines two intrinsics its intrin.h already provides in C++.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <wdm.h>
// Wide literals: WCHAR is wchar_t (16 bits) on Windows.
#define WIDE(text) L##text
#else
#include <wdm.h>
// Wide literals: WCHAR is char16_t on the kernel model.
#define WIDE(text) u##text
#endif

#include <stdarg.h>
