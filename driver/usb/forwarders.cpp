#include "usb/forwarders.h"

#include "core/request_gate.h"

namespace hollin {
namespace {

NTSTATUS CallDispatch(PDEVICE_OBJECT device, PIRP irp, ULONG major) {
  PDRIVER_DISPATCH routine = DispatchTableOf(device)[major];
  // A device whose client left an entry empty still gets the framework's default.
  if (!routine) routine = PassDown;
  return routine(device, irp);
}

template <ULONG Major>
NTSTATUS NTAPI Forward(PDEVICE_OBJECT device, PIRP irp) {
  // The stack size is signed and compared as such: an IRP with fewer locations left than this
  // device's stack needs would run out of locations further down.
  if (!device || !device->DeviceExtension ||
      static_cast<CCHAR>(device->StackSize) > static_cast<CCHAR>(irp->CurrentLocation)) {
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_PARAMETER;
  }
  return CallDispatch(device, irp, Major);
}

}  // namespace

const PDRIVER_DISPATCH Forwarders[kMajorFunctionCount] = {
    Forward<0>,  Forward<1>,  Forward<2>,  Forward<3>,  Forward<4>,  Forward<5>,  Forward<6>,
    Forward<7>,  Forward<8>,  Forward<9>,  Forward<10>, Forward<11>, Forward<12>, Forward<13>,
    Forward<14>, Forward<15>, Forward<16>, Forward<17>, Forward<18>, Forward<19>, Forward<20>,
    Forward<21>, Forward<22>, Forward<23>, Forward<24>, Forward<25>, Forward<26>, Forward<27>};

NTSTATUS NTAPI ForwardByStackLocation(PDEVICE_OBJECT device, PIRP irp) {
  if (!device || !device->DeviceExtension || !irp) return STATUS_INVALID_PARAMETER;
  ULONG major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  if (major >= kMajorFunctionCount) return PassDown(device, irp);
  return CallDispatch(device, irp, major);
}

}  // namespace hollin
