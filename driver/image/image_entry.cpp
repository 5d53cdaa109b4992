// The image entry of hollin.sys. Until the dispatch framework is in place the driver only
// checks that it can learn the system version, and unloads cleanly.
#include "core/dunmore.h"

namespace {

VOID NTAPI HollinUnload(PDRIVER_OBJECT) {}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  ULONG version = 0;
  NTSTATUS status = SelkWH_QuerySystemVersion(&version);
  if (!NT_SUCCESS(status)) return status;
  driver->DriverUnload = HollinUnload;
  return STATUS_SUCCESS;
}
