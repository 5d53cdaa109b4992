#include "core/hollin_descriptor.h"

#include "core/add_device.h"
#include "core/dispatch.h"
#include "core/driver_entry.h"

namespace hollin {

namespace {
NTSTATUS DriverInitialised(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }
NTSTATUS RecordCreated(DriverRecord*) { return STATUS_SUCCESS; }
}  // namespace

// The composite layer supplies the hooks left null here; the framework's defaults apply until
// then.
const DriverDescriptor HollinDescriptor = {
    .Signature = kDescriptorSignature,
    .OnDriverInit = DriverInitialised,
    .AddDevice = HollinAddDevice,
    .OnDriverRecordCreated = RecordCreated,
    .SymbolicLinkPrefix = WIDE("\\DosDevices\\hollin#"),
    .DeviceNamePrefix = WIDE("\\Device\\hollin#"),
    .SymbolicLinkPrefixSize = sizeof(WIDE("\\DosDevices\\hollin#")),
    .DeviceNamePrefixSize = sizeof(WIDE("\\Device\\hollin#")),
    .Handlers =
        {
            .OnCreate = ParentRefuse,
            .OnClose = ParentRefuse,
            .OnCleanup = ParentRefuse,
            .OnDeviceControl = ParentPassToTarget,
            .OnInternalDeviceControl = ParentPassToTarget,
            .OnRead = ParentRefuse,
            .OnWrite = ParentRefuse,
            .OnQueryInformation = ParentQueryInformation,
            .OnSetInformation = ParentSetInformation,
            .OnSystemControl = ParentPassToTarget,
        },
};

NTSTATUS NTAPI HollinAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  return AddDeviceWithDescriptor(&HollinDescriptor, driver, pdo);
}

}  // namespace hollin
