#include "usb/strings.h"

#include "core/device_extension.h"

namespace hollin {

SIZE_T WideLength(const WCHAR* text) {
  SIZE_T length = 0;
  while (text[length]) ++length;
  return length;
}

VOID FreeUnicodeString(PUNICODE_STRING string) {
  if (!string) return;
  if (string->Buffer) ExFreePoolWithTag(string->Buffer, kPoolTag);
  string->Buffer = nullptr;
  string->Length = 0;
  string->MaximumLength = 0;
}

NTSTATUS DuplicateUnicodeString(PUNICODE_STRING out, const WCHAR* source) {
  RtlZeroMemory(out, sizeof(*out));
  if (!source) return STATUS_INVALID_PARAMETER;
  SIZE_T bytes = WideLength(source) * sizeof(WCHAR);
  if (bytes >= 65533 || (bytes & 1)) return STATUS_INVALID_PARAMETER;
  auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, bytes + 2, kPoolTag));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(buffer, bytes + 2);
  RtlCopyMemory(buffer, source, bytes);
  out->Buffer = buffer;
  out->Length = static_cast<USHORT>(bytes);
  out->MaximumLength = static_cast<USHORT>(bytes + 2);
  return STATUS_SUCCESS;
}

NTSTATUS ConcatUnicodeStrings(PUNICODE_STRING out, const WCHAR* first, const WCHAR* second,
                              const WCHAR* third) {
  RtlZeroMemory(out, sizeof(*out));
  if (!first || !second || !third) return STATUS_INVALID_PARAMETER;
  // Summed in full width: a total that does not fit a UNICODE_STRING is refused rather than
  // wrapped into a short buffer that would silently truncate the result.
  SIZE_T size = (WideLength(first) + WideLength(second) + WideLength(third)) * sizeof(WCHAR) + 2;
  if (size > 0xFFFE) return STATUS_INVALID_PARAMETER;
  auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, size, kPoolTag));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(buffer, size);
  out->Buffer = buffer;
  out->Length = 0;
  out->MaximumLength = static_cast<USHORT>(size);
  NTSTATUS status = RtlAppendUnicodeToString(out, first);
  if (NT_SUCCESS(status)) status = RtlAppendUnicodeToString(out, second);
  if (NT_SUCCESS(status)) status = RtlAppendUnicodeToString(out, third);
  if (!NT_SUCCESS(status)) FreeUnicodeString(out);
  return status;
}

}  // namespace hollin
