#include "simusb/usb_device.h"

#include <algorithm>
#include <cstdio>

namespace simusb {

struct UsbDevice::Pipe {
  uint8_t address;
  uint8_t attributes;
  uint16_t maxPacket;
  uint8_t interval;
  bool halted = false;
  bool stallNext = false;
  bool hold = false;
  int delayMs = 0;
  std::deque<Bytes> in;
  std::vector<Bytes> out;
  std::deque<PIRP> pending;
};

struct UsbDevice::Delayed {
  KTIMER timer;
  KDPC dpc;
  UsbDevice* self;
  PIRP irp;
};

NTSTATUS StatusFor(USBD_STATUS status) {
  if (USBD_SUCCESS(status)) return STATUS_SUCCESS;
  switch ((ULONG)status) {
    case (ULONG)USBD_STATUS_CANCELED:
      return STATUS_CANCELLED;
    case (ULONG)USBD_STATUS_DEVICE_GONE:
      return STATUS_DEVICE_NOT_CONNECTED;
    case (ULONG)USBD_STATUS_INVALID_PARAMETER:
    case (ULONG)USBD_STATUS_INVALID_PIPE_HANDLE:
    case (ULONG)USBD_STATUS_INVALID_URB_FUNCTION:
      return STATUS_INVALID_PARAMETER;
    case (ULONG)USBD_STATUS_TIMEOUT:
      return STATUS_IO_TIMEOUT;
    case (ULONG)USBD_STATUS_NOT_SUPPORTED:
      return STATUS_NOT_SUPPORTED;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

namespace {

NTSTATUS Finish(PIRP irp, PURB urb, USBD_STATUS status) {
  if (urb) urb->UrbHeader.Status = status;
  NTSTATUS nt = StatusFor(status);
  irp->IoStatus.Status = nt;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return nt;
}

PURB UrbOf(PIRP irp) {
  return (PURB)IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1;
}

}  // namespace

UsbDevice::UsbDevice(Bytes deviceDescriptor, Bytes configuration,
                     std::map<uint8_t, std::u16string> strings, uint16_t languageId)
    : device_(std::move(deviceDescriptor)),
      configuration_(std::move(configuration)),
      strings_(std::move(strings)),
      languageId_(languageId) {}

UsbDevice::~UsbDevice() {
  for (auto& [address, pipe] : pipes_) delete pipe;
  for (Delayed* d : delayed_) {
    KeCancelTimer(&d->timer);
    delete d;
  }
}

PDEVICE_OBJECT UsbDevice::Plug(wdmemu::PdoDescription description) {
  if (description.instancePath == wdmemu::PdoDescription{}.instancePath && device_.size() >= 12) {
    char path[64];
    snprintf(path, sizeof path, "USB\\VID_%04X&PID_%04X\\1", device_[8] | device_[9] << 8,
             device_[10] | device_[11] << 8);
    description.instancePath = wdmemu::Widen(path);
    description.hardwareIds = {
        description.instancePath.substr(0, description.instancePath.rfind(u'\\'))};
  }
  description.handler = [this](PDEVICE_OBJECT pdo, PIRP irp) { return Handle(pdo, irp); };
  pdo_ = wdmemu::CreatePdo(description);
  return pdo_;
}

void UsbDevice::QueueIn(uint8_t endpoint, Bytes data) {
  PIRP ready = nullptr;
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  {
    std::lock_guard<std::mutex> guard(lock_);
    Pipe* pipe = PipeAt(endpoint);
    if (!pipe) return;
    pipe->in.push_back(std::move(data));
    while (!pipe->pending.empty() && !pipe->hold) {
      PIRP irp = pipe->pending.front();
      if (!IoSetCancelRoutine(irp, nullptr)) break;  // its cancel routine is running
      pipe->pending.pop_front();
      ServeIn(*pipe, UrbOf(irp), &status);
      ready = irp;
      break;
    }
  }
  if (ready) Finish(ready, UrbOf(ready), status);
}

std::vector<Bytes> UsbDevice::TakeOut(uint8_t endpoint) {
  std::lock_guard<std::mutex> guard(lock_);
  Pipe* pipe = PipeAt(endpoint);
  if (!pipe) return {};
  std::vector<Bytes> out;
  out.swap(pipe->out);
  return out;
}

void UsbDevice::SetControlHandler(ControlHandler handler) {
  std::lock_guard<std::mutex> guard(lock_);
  control_ = std::move(handler);
}

void UsbDevice::StallEndpoint(uint8_t endpoint) {
  std::lock_guard<std::mutex> guard(lock_);
  if (Pipe* pipe = PipeAt(endpoint)) pipe->stallNext = true;
}

void UsbDevice::HoldEndpoint(uint8_t endpoint, bool hold) {
  std::lock_guard<std::mutex> guard(lock_);
  if (Pipe* pipe = PipeAt(endpoint)) pipe->hold = hold;
}

void UsbDevice::DelayEndpoint(uint8_t endpoint, int ms) {
  std::lock_guard<std::mutex> guard(lock_);
  if (Pipe* pipe = PipeAt(endpoint)) pipe->delayMs = ms;
}

void UsbDevice::Remove() {
  FinishIdle(STATUS_CANCELLED);
  PIRP wake = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (wake_ && IoSetCancelRoutine(wake_, nullptr)) wake = wake_;
    wake_ = nullptr;
  }
  if (wake) {
    wake->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
    IoCompleteRequest(wake, IO_NO_INCREMENT);
  }
  std::vector<PIRP> gone;
  {
    std::lock_guard<std::mutex> guard(lock_);
    removed_ = true;
    for (auto& [address, pipe] : pipes_) {
      for (PIRP irp : pipe->pending) {
        if (IoSetCancelRoutine(irp, nullptr)) gone.push_back(irp);
      }
      pipe->pending.clear();
    }
  }
  for (PIRP irp : gone) Finish(irp, UrbOf(irp), USBD_STATUS_DEVICE_GONE);
}

uint8_t UsbDevice::SelectedConfiguration() {
  std::lock_guard<std::mutex> guard(lock_);
  return selected_;
}

std::vector<USHORT> UsbDevice::UrbFunctions() {
  std::lock_guard<std::mutex> guard(lock_);
  return functions_;
}

size_t UsbDevice::PendingCount() {
  std::lock_guard<std::mutex> guard(lock_);
  size_t n = 0;
  for (auto& [address, pipe] : pipes_) n += pipe->pending.size();
  return n;
}

UsbDevice::Pipe* UsbDevice::PipeAt(uint8_t endpoint) {
  auto it = pipes_.find(endpoint);
  return it == pipes_.end() ? nullptr : it->second;
}

UsbDevice::Pipe* UsbDevice::PipeOf(USBD_PIPE_HANDLE handle) {
  for (auto& [address, pipe] : pipes_) {
    if (pipe == handle) return pipe;
  }
  return nullptr;
}

NTSTATUS UsbDevice::Handle(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_POWER) return Power(irp);
  if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL) {
    NTSTATUS status = irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  bool removed;
  {
    std::lock_guard<std::mutex> guard(lock_);
    removed = removed_;
  }
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      if (removed) return Finish(irp, UrbOf(irp), USBD_STATUS_DEVICE_GONE);
      return Submit(irp, UrbOf(irp));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
      *(PULONG)stack->Parameters.Others.Argument1 =
          removed ? 0 : (USBD_PORT_ENABLED | USBD_PORT_CONNECTED);
      return Finish(irp, nullptr, USBD_STATUS_SUCCESS);
    case IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION:
      if (removed) return Finish(irp, nullptr, USBD_STATUS_DEVICE_GONE);
      return SubmitIdle(irp);
    case IOCTL_INTERNAL_USB_RESET_PORT:
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
      return Finish(irp, nullptr, removed ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_SUCCESS);
    default:
      return Finish(irp, nullptr, USBD_STATUS_NOT_SUPPORTED);
  }
}

NTSTATUS UsbDevice::Submit(PIRP irp, PURB urb) {
  USHORT function = urb->UrbHeader.Function;
  {
    std::lock_guard<std::mutex> guard(lock_);
    functions_.push_back(function);
  }
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      status = Descriptor(urb);
      break;
    case URB_FUNCTION_SELECT_CONFIGURATION:
      status = SelectConfiguration(urb);
      break;
    case URB_FUNCTION_SELECT_INTERFACE: {
      std::lock_guard<std::mutex> guard(lock_);
      status = SelectInterface(&urb->UrbSelectInterface.Interface);
      break;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return Transfer(irp, urb);
    case URB_FUNCTION_ABORT_PIPE: {
      std::unique_lock<std::mutex> guard(lock_);
      Pipe* pipe = PipeOf(urb->UrbPipeRequest.PipeHandle);
      if (!pipe) {
        status = USBD_STATUS_INVALID_PIPE_HANDLE;
        break;
      }
      guard.unlock();
      CompletePending(*pipe, USBD_STATUS_CANCELED);
      break;
    }
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: {
      std::lock_guard<std::mutex> guard(lock_);
      Pipe* pipe = PipeOf(urb->UrbPipeRequest.PipeHandle);
      if (!pipe)
        status = USBD_STATUS_INVALID_PIPE_HANDLE;
      else
        pipe->halted = false;
      break;
    }
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT: {
      std::lock_guard<std::mutex> guard(lock_);
      auto& r = urb->UrbControlFeatureRequest;
      if (r.FeatureSelector == USB_FEATURE_ENDPOINT_STALL) {
        if (Pipe* pipe = PipeAt((uint8_t)r.Index)) pipe->halted = false;
      }
      break;
    }
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
      break;
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT: {
      auto& r = urb->UrbControlGetStatusRequest;
      if (r.TransferBufferLength < 2) {
        status = USBD_STATUS_INVALID_PARAMETER;
        break;
      }
      USHORT value = 0;
      if (function == URB_FUNCTION_GET_STATUS_FROM_ENDPOINT) {
        std::lock_guard<std::mutex> guard(lock_);
        Pipe* pipe = PipeAt((uint8_t)r.Index);
        value = pipe && pipe->halted ? 1 : 0;
      }
      memcpy(r.TransferBuffer, &value, 2);
      r.TransferBufferLength = 2;
      break;
    }
    case URB_FUNCTION_GET_CONFIGURATION: {
      auto& r = urb->UrbControlGetConfigurationRequest;
      std::lock_guard<std::mutex> guard(lock_);
      if (r.TransferBufferLength >= 1) *(UCHAR*)r.TransferBuffer = selected_;
      r.TransferBufferLength = 1;
      break;
    }
    case URB_FUNCTION_CONTROL_TRANSFER: {
      auto& r = urb->UrbControlTransfer;
      USB_DEFAULT_PIPE_SETUP_PACKET setup;
      memcpy(&setup, r.SetupPacket, sizeof setup);
      status = Control(urb, setup, r.TransferBuffer, &r.TransferBufferLength,
                       (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0);
      break;
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: {
      auto& r = urb->UrbControlVendorClassRequest;
      bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
      // bmRequestType from the function code: type in bits 5-6, recipient in bits 0-4.
      static const UCHAR kType[] = {2, 2, 2, 1, 1, 1};
      static const UCHAR kRecipient[] = {0, 1, 2, 0, 1, 2};
      UCHAR type, recipient;
      if (function == URB_FUNCTION_VENDOR_OTHER)
        type = 2, recipient = 3;
      else if (function == URB_FUNCTION_CLASS_OTHER)
        type = 1, recipient = 3;
      else {
        int i = function <= URB_FUNCTION_VENDOR_ENDPOINT ? function - URB_FUNCTION_VENDOR_DEVICE
                                                         : 3 + function - URB_FUNCTION_CLASS_DEVICE;
        type = kType[i];
        recipient = kRecipient[i];
      }
      USB_DEFAULT_PIPE_SETUP_PACKET setup;
      setup.bmRequestType =
          (UCHAR)((in ? 0x80 : 0) | (type << 5) | recipient | r.RequestTypeReservedBits);
      setup.bRequest = r.Request;
      setup.wValue = r.Value;
      setup.wIndex = r.Index;
      setup.wLength = (USHORT)r.TransferBufferLength;
      status = Control(urb, setup, r.TransferBuffer, &r.TransferBufferLength, in);
      break;
    }
    default:
      status = USBD_STATUS_INVALID_URB_FUNCTION;
      break;
  }
  return Finish(irp, urb, status);
}

USBD_STATUS UsbDevice::Control(PURB, const USB_DEFAULT_PIPE_SETUP_PACKET& setup, PVOID buffer,
                               ULONG* length, bool in) {
  ControlHandler handler;
  {
    std::lock_guard<std::mutex> guard(lock_);
    handler = control_;
  }
  Bytes data;
  if (!in && buffer) data.assign((uint8_t*)buffer, (uint8_t*)buffer + *length);
  USBD_STATUS status = handler ? handler(setup, data) : USBD_STATUS_SUCCESS;
  if (in) {
    ULONG n = std::min<ULONG>(*length, (ULONG)data.size());
    if (n) memcpy(buffer, data.data(), n);
    *length = n;
  }
  return status;
}

USBD_STATUS UsbDevice::Descriptor(PURB urb) {
  auto& r = urb->UrbControlDescriptorRequest;
  Bytes source;
  switch (r.DescriptorType) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
      source = device_;
      break;
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
      if (r.Index != 0) return USBD_STATUS_STALL_PID;
      source = configuration_;
      break;
    case USB_STRING_DESCRIPTOR_TYPE: {
      std::u16string text;
      if (r.Index == 0) {
        text = std::u16string(1, (char16_t)languageId_);
      } else {
        auto it = strings_.find(r.Index);
        if (it == strings_.end()) return USBD_STATUS_STALL_PID;
        text = it->second;
      }
      source.push_back((uint8_t)(2 + text.size() * 2));
      source.push_back(USB_STRING_DESCRIPTOR_TYPE);
      for (char16_t c : text) {
        source.push_back((uint8_t)(c & 0xFF));
        source.push_back((uint8_t)(c >> 8));
      }
      break;
    }
    default:
      return USBD_STATUS_STALL_PID;
  }
  ULONG n = std::min<ULONG>(r.TransferBufferLength, (ULONG)source.size());
  memcpy(r.TransferBuffer, source.data(), n);
  r.TransferBufferLength = n;
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS UsbDevice::SelectInterface(PUSBD_INTERFACE_INFORMATION info) {
  // Find the interface descriptor and the endpoints that follow it.
  const Bytes& c = configuration_;
  size_t at = 0;
  while (at + 2 <= c.size() && c[at] >= 2) {
    if (c[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && at + 9 <= c.size() &&
        c[at + 2] == info->InterfaceNumber && c[at + 3] == info->AlternateSetting) {
      ULONG endpoints = c[at + 4];
      ULONG needed = (ULONG)(sizeof(USBD_INTERFACE_INFORMATION) +
                             (endpoints ? endpoints - 1 : 0) * sizeof(USBD_PIPE_INFORMATION));
      if (info->Length < needed) return USBD_STATUS_INVALID_PARAMETER;
      info->Class = c[at + 5];
      info->SubClass = c[at + 6];
      info->Protocol = c[at + 7];
      info->InterfaceHandle =
          (USBD_INTERFACE_HANDLE)(ULONG_PTR)(0x1000 + c[at + 2] * 16 + c[at + 3]);
      info->NumberOfPipes = endpoints;
      size_t e = at + c[at];
      ULONG found = 0;
      while (found < endpoints && e + 2 <= c.size() && c[e] >= 2) {
        if (c[e + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && e + 7 <= c.size()) {
          uint8_t address = c[e + 2];
          Pipe*& pipe = pipes_[address];
          if (!pipe) pipe = new Pipe{};
          pipe->address = address;
          pipe->attributes = c[e + 3];
          pipe->maxPacket = (uint16_t)(c[e + 4] | c[e + 5] << 8);
          pipe->interval = c[e + 6];
          USBD_PIPE_INFORMATION& p = info->Pipes[found++];
          p.MaximumPacketSize = pipe->maxPacket;
          p.EndpointAddress = address;
          p.Interval = pipe->interval;
          p.PipeType = (USBD_PIPE_TYPE)(pipe->attributes & USB_ENDPOINT_TYPE_MASK);
          p.PipeHandle = pipe;
          p.PipeFlags = 0;
        } else if (c[e + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
          break;
        }
        e += c[e];
      }
      return USBD_STATUS_SUCCESS;
    }
    at += c[at];
  }
  return USBD_STATUS_INVALID_PARAMETER;
}

USBD_STATUS UsbDevice::SelectConfiguration(PURB urb) {
  auto& r = urb->UrbSelectConfiguration;
  std::lock_guard<std::mutex> guard(lock_);
  if (!r.ConfigurationDescriptor) {
    selected_ = 0;
    return USBD_STATUS_SUCCESS;
  }
  UCHAR interfaces = r.ConfigurationDescriptor->bNumInterfaces;
  auto* info = &r.Interface;
  auto* end = (UCHAR*)urb + urb->UrbHeader.Length;
  for (UCHAR i = 0; i < interfaces; ++i) {
    if ((UCHAR*)info + sizeof(USBD_INTERFACE_INFORMATION) > end || info->Length == 0) {
      return USBD_STATUS_INVALID_PARAMETER;
    }
    USBD_STATUS status = SelectInterface(info);
    if (!USBD_SUCCESS(status)) return status;
    info = (PUSBD_INTERFACE_INFORMATION)((UCHAR*)info + info->Length);
  }
  selected_ = configuration_.size() > 5 ? configuration_[5] : 1;
  r.ConfigurationHandle = (USBD_CONFIGURATION_HANDLE)(ULONG_PTR)(0x100 + selected_);
  return USBD_STATUS_SUCCESS;
}

bool UsbDevice::ServeIn(Pipe& pipe, PURB urb, USBD_STATUS* status) {
  auto& r = urb->UrbBulkOrInterruptTransfer;
  if (pipe.in.empty()) return false;
  Bytes data = std::move(pipe.in.front());
  pipe.in.pop_front();
  ULONG n = std::min<ULONG>(r.TransferBufferLength, (ULONG)data.size());
  memcpy(r.TransferBuffer, data.data(), n);
  bool shortPacket = n < r.TransferBufferLength;
  r.TransferBufferLength = n;
  *status = shortPacket && !(r.TransferFlags & USBD_SHORT_TRANSFER_OK)
                ? USBD_STATUS_ERROR_SHORT_TRANSFER
                : USBD_STATUS_SUCCESS;
  return true;
}

VOID UsbDevice::CancelTransfer(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  auto* self = (UsbDevice*)irp->Tail.Overlay.DriverContext[0];
  {
    std::lock_guard<std::mutex> guard(self->lock_);
    for (auto& [address, pipe] : self->pipes_) {
      auto it = std::find(pipe->pending.begin(), pipe->pending.end(), irp);
      if (it != pipe->pending.end()) pipe->pending.erase(it);
    }
  }
  Finish(irp, UrbOf(irp), USBD_STATUS_CANCELED);
}

void UsbDevice::CompletePending(Pipe& pipe, USBD_STATUS status) {
  std::vector<PIRP> done;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (PIRP irp : pipe.pending) {
      if (IoSetCancelRoutine(irp, nullptr)) done.push_back(irp);
    }
    for (PIRP irp : done)
      pipe.pending.erase(std::find(pipe.pending.begin(), pipe.pending.end(), irp));
  }
  for (PIRP irp : done) Finish(irp, UrbOf(irp), status);
}

VOID UsbDevice::DelayDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* d = (Delayed*)context;
  UsbDevice* self = d->self;
  PIRP irp = d->irp;
  {
    std::lock_guard<std::mutex> guard(self->lock_);
    self->delayed_.erase(std::find(self->delayed_.begin(), self->delayed_.end(), d));
  }
  delete d;
  PURB urb = UrbOf(irp);
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  {
    std::lock_guard<std::mutex> guard(self->lock_);
    Pipe* pipe = self->PipeOf(urb->UrbBulkOrInterruptTransfer.PipeHandle);
    if (self->removed_) {
      status = USBD_STATUS_DEVICE_GONE;
    } else if (urb->UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) {
      if (!self->ServeIn(*pipe, urb, &status)) {
        // Nothing to deliver yet: the transfer waits like any other read.
        irp->Tail.Overlay.DriverContext[0] = self;
        pipe->pending.push_back(irp);
        IoSetCancelRoutine(irp, CancelTransfer);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
          pipe->pending.pop_back();
          status = USBD_STATUS_CANCELED;
        } else {
          return;
        }
      }
    } else {
      auto& r = urb->UrbBulkOrInterruptTransfer;
      pipe->out.emplace_back((uint8_t*)r.TransferBuffer,
                             (uint8_t*)r.TransferBuffer + r.TransferBufferLength);
    }
  }
  Finish(irp, urb, status);
}

NTSTATUS UsbDevice::Transfer(PIRP irp, PURB urb) {
  auto& r = urb->UrbBulkOrInterruptTransfer;
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  std::unique_lock<std::mutex> guard(lock_);
  Pipe* pipe = PipeOf(r.PipeHandle);
  bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  if (!pipe) {
    status = USBD_STATUS_INVALID_PIPE_HANDLE;
  } else if (pipe->halted) {
    status = USBD_STATUS_ENDPOINT_HALTED;
  } else if (pipe->stallNext) {
    pipe->stallNext = false;
    pipe->halted = true;
    status = USBD_STATUS_STALL_PID;
  } else if (pipe->delayMs > 0 && !pipe->hold) {
    auto* d = new Delayed{};
    d->self = this;
    d->irp = irp;
    delayed_.push_back(d);
    KeInitializeTimer(&d->timer);
    KeInitializeDpc(&d->dpc, DelayDpc, d);
    LARGE_INTEGER due;
    due.QuadPart = -(LONGLONG)pipe->delayMs * 10000;
    IoMarkIrpPending(irp);
    KeSetTimer(&d->timer, due, &d->dpc);
    return STATUS_PENDING;
  } else if (in && !pipe->hold && ServeIn(*pipe, urb, &status)) {
    // served from queued data
  } else if (!in && !pipe->hold) {
    pipe->out.emplace_back((uint8_t*)r.TransferBuffer,
                           (uint8_t*)r.TransferBuffer + r.TransferBufferLength);
  } else {
    // Pending until data arrives, the pipe is aborted, the IRP is cancelled or the device goes.
    irp->Tail.Overlay.DriverContext[0] = this;
    IoMarkIrpPending(irp);
    pipe->pending.push_back(irp);
    IoSetCancelRoutine(irp, CancelTransfer);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
      pipe->pending.pop_back();
      guard.unlock();
      Finish(irp, urb, USBD_STATUS_CANCELED);
    }
    return STATUS_PENDING;
  }
  guard.unlock();
  return Finish(irp, urb, status);
}

// ---- power and idle ---------------------------------------------------------------------------

bool UsbDevice::IdlePending() {
  std::lock_guard<std::mutex> guard(lock_);
  return idle_ != nullptr;
}

DEVICE_POWER_STATE UsbDevice::PowerState() {
  std::lock_guard<std::mutex> guard(lock_);
  return power_;
}

void UsbDevice::FinishIdle(NTSTATUS status) {
  PIRP irp = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (idle_ && IoSetCancelRoutine(idle_, nullptr)) {
      irp = idle_;
      idle_ = nullptr;
    }
  }
  if (!irp) return;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

VOID UsbDevice::CancelIdle(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  auto* self = (UsbDevice*)irp->Tail.Overlay.DriverContext[0];
  {
    std::lock_guard<std::mutex> guard(self->lock_);
    if (self->idle_ == irp) self->idle_ = nullptr;
  }
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

VOID UsbDevice::IdleWork(PVOID context) {
  auto* self = (UsbDevice*)context;
  USB_IDLE_CALLBACK_INFO info;
  {
    std::lock_guard<std::mutex> guard(self->lock_);
    info = self->idleInfo_;
  }
  if (info.IdleCallback) info.IdleCallback(info.IdleContext);
}

NTSTATUS UsbDevice::SubmitIdle(PIRP irp) {
  auto* info = (PUSB_IDLE_CALLBACK_INFO)IoGetCurrentIrpStackLocation(irp)
                   ->Parameters.DeviceIoControl.Type3InputBuffer;
  std::unique_lock<std::mutex> guard(lock_);
  if (idle_) {
    guard.unlock();
    irp->IoStatus.Status = STATUS_DEVICE_BUSY;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_DEVICE_BUSY;
  }
  if (!info || !info->IdleCallback) {
    guard.unlock();
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_PARAMETER;
  }
  idleInfo_ = *info;
  idle_ = irp;
  irp->Tail.Overlay.DriverContext[0] = this;
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, CancelIdle);
  // The callback runs even when the request is cancelled at once; the request itself never
  // completes before the callback has been called.
  ExInitializeWorkItem(&idleWork_, IdleWork, this);
  ExQueueWorkItem(&idleWork_, DelayedWorkQueue);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
    idle_ = nullptr;
    guard.unlock();
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  return STATUS_PENDING;
}

VOID UsbDevice::CancelWake(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  auto* self = (UsbDevice*)irp->Tail.Overlay.DriverContext[0];
  {
    std::lock_guard<std::mutex> guard(self->lock_);
    if (self->wake_ == irp) self->wake_ = nullptr;
  }
  irp->IoStatus.Status = STATUS_CANCELLED;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void UsbDevice::SignalWake() {
  PIRP irp = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (wake_ && IoSetCancelRoutine(wake_, nullptr)) {
      irp = wake_;
      wake_ = nullptr;
    }
  }
  if (!irp) return;
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS UsbDevice::Power(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PoStartNextPowerIrp(irp);
  NTSTATUS status = STATUS_SUCCESS;
  switch (stack->MinorFunction) {
    case IRP_MN_WAIT_WAKE: {
      std::unique_lock<std::mutex> guard(lock_);
      if (wake_ || removed_) {
        status = removed_ ? STATUS_NO_SUCH_DEVICE : STATUS_DEVICE_BUSY;
        break;
      }
      wake_ = irp;
      irp->Tail.Overlay.DriverContext[0] = this;
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, CancelWake);
      if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
        wake_ = nullptr;
        guard.unlock();
        irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
      }
      return STATUS_PENDING;
    }
    case IRP_MN_SET_POWER:
      if (stack->Parameters.Power.Type == DevicePowerState) {
        DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
        {
          std::lock_guard<std::mutex> guard(lock_);
          power_ = state;
        }
        if (state == PowerDeviceD0) FinishIdle(STATUS_SUCCESS);
        if (state == PowerDeviceD3) FinishIdle(STATUS_POWER_STATE_INVALID);
      } else if (stack->Parameters.Power.State.SystemState != PowerSystemWorking) {
        FinishIdle(STATUS_CANCELLED);  // a system power change ends selective suspend
      }
      break;
    case IRP_MN_QUERY_POWER:
      break;
    default:
      status = irp->IoStatus.Status;
      break;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace simusb
