// Run-time library string helpers. Lengths in UNICODE_STRING are in bytes and exclude any
// terminator; buffers need not be NUL-terminated.
#pragma once

#include "wdmemu/status.h"

VOID RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);
VOID RtlInitAnsiString(PANSI_STRING destination, PCSZ source);
VOID RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source);
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING destination, PCUNICODE_STRING source);
VOID RtlFreeUnicodeString(PUNICODE_STRING string);
NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING string, ULONG base, PULONG value);
NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING string);
LONG RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive);
BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING prefix, PCUNICODE_STRING string,
                               BOOLEAN caseInsensitive);
WCHAR RtlUpcaseUnicodeChar(WCHAR c);
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING destination, PCANSI_STRING source,
                                      BOOLEAN allocate);
NTSTATUS RtlStringFromGUID(REFGUID guid, PUNICODE_STRING string);
NTSTATUS RtlGUIDFromString(PCUNICODE_STRING string, GUID* guid);

typedef struct _RTL_OSVERSIONINFOW {
  ULONG dwOSVersionInfoSize;
  ULONG dwMajorVersion;
  ULONG dwMinorVersion;
  ULONG dwBuildNumber;
  ULONG dwPlatformId;
  WCHAR szCSDVersion[128];
} RTL_OSVERSIONINFOW, *PRTL_OSVERSIONINFOW;
NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW info);
