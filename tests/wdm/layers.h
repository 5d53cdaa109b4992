// Small test drivers: each layer is a device whose every IRP goes to a handler the test gives,
// stacked on a PDO of the world's bus.
#pragma once

#include <wdm.h>

#include <functional>
#include <memory>
#include <vector>

#include "wdmemu/world.h"

namespace wdmtest {

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT device, PIRP irp)>;

struct LayerExtension {
  Handler* handler;
  PDEVICE_OBJECT lower;
};

inline NTSTATUS LayerDispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = (LayerExtension*)device->DeviceExtension;
  return (*ext->handler)(device, irp);
}

inline NTSTATUS LayerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& f : driver->MajorFunction) f = LayerDispatch;
  return STATUS_SUCCESS;
}

inline PDEVICE_OBJECT Lower(PDEVICE_OBJECT device) {
  return ((LayerExtension*)device->DeviceExtension)->lower;
}

// A stack: a PDO and any number of layers above it (index 0 is the lowest layer).
class Stack {
 public:
  explicit Stack(wdmemu::PdoDescription description = {}) { pdo = wdmemu::CreatePdo(description); }
  ~Stack() { Teardown(); }

  PDEVICE_OBJECT Add(Handler handler) {
    handlers_.push_back(std::make_unique<Handler>(std::move(handler)));
    PDRIVER_OBJECT driver = wdmemu::LoadDriver(
        LayerEntry, u"layer" + std::u16string(1, u'0' + (char16_t)devices.size()));
    PDEVICE_OBJECT device;
    IoCreateDevice(driver, sizeof(LayerExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    auto* ext = (LayerExtension*)device->DeviceExtension;
    ext->handler = handlers_.back().get();
    ext->lower = IoAttachDeviceToDeviceStack(device, devices.empty() ? pdo : devices.back());
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    drivers.push_back(driver);
    devices.push_back(device);
    return device;
  }

  PDEVICE_OBJECT Top() { return devices.empty() ? pdo : devices.back(); }

  // Detaches and deletes the layers top-down, as REMOVE does.
  void Teardown() {
    while (!devices.empty()) {
      PDEVICE_OBJECT device = devices.back();
      IoDetachDevice(Lower(device));
      IoDeleteDevice(device);
      devices.pop_back();
    }
  }

  PDEVICE_OBJECT pdo;
  std::vector<PDEVICE_OBJECT> devices;
  std::vector<PDRIVER_OBJECT> drivers;

 private:
  std::vector<std::unique_ptr<Handler>> handlers_;
};

// Handlers for the usual patterns.
inline NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(Lower(device), irp);
}

inline NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace wdmtest
