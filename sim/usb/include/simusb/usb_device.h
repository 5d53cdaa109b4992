// A USB device as the host controller sees it, built from the raw descriptor bytes a real
// device returns, plugged into the kernel model's bus: its PDO answers IOCTL_INTERNAL_USB_*
// requests and URBs the way the USB stack does, with scripted stalls, held transfers
// (for time-out tests), delays and removal.
#pragma once

#include <usbdi.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "wdmemu/world.h"

namespace simusb {

using Bytes = std::vector<uint8_t>;

class UsbDevice {
 public:
  // `configuration` is the full configuration descriptor set (wTotalLength bytes); `strings`
  // maps string indexes to their text (index 0, the LANGID list, is made from `languageId`).
  UsbDevice(Bytes deviceDescriptor, Bytes configuration,
            std::map<uint8_t, std::u16string> strings = {}, uint16_t languageId = 0x0409);
  ~UsbDevice();

  // Creates the PDO on the world's bus. Without an instance path in `description` one is made
  // from the vendor and product IDs.
  PDEVICE_OBJECT Plug(wdmemu::PdoDescription description = {});
  PDEVICE_OBJECT Pdo() const { return pdo_; }

  // ---- data ---------------------------------------------------------------------------------
  // Bytes the device sends on an IN endpoint; pending reads complete with them.
  void QueueIn(uint8_t endpoint, Bytes data);
  // Everything written to an OUT endpoint so far, one entry per transfer.
  std::vector<Bytes> TakeOut(uint8_t endpoint);
  // Answers class, vendor and raw control requests; `data` holds what was sent (OUT) or receives
  // what is returned (IN). The default answers success with no data.
  using ControlHandler =
      std::function<USBD_STATUS(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, Bytes& data)>;
  void SetControlHandler(ControlHandler handler);

  // ---- scripted faults ------------------------------------------------------------------------
  // The next transfer on the endpoint fails with USBD_STATUS_STALL_PID and halts the pipe until
  // a reset pipe or clear-halt request.
  void StallEndpoint(uint8_t endpoint);
  // Transfers on the endpoint stay pending (a device that never answers) until cancelled,
  // aborted or the device is removed.
  void HoldEndpoint(uint8_t endpoint, bool hold = true);
  // Transfers on the endpoint complete `ms` milliseconds after they arrive.
  void DelayEndpoint(uint8_t endpoint, int ms);
  // The device leaves the bus: pending transfers fail with USBD_STATUS_DEVICE_GONE and every
  // later request too; the port reports not connected.
  void Remove();

  // ---- power --------------------------------------------------------------------------------
  // The idle notification (IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION) calls its callback on a
  // worker thread at once and then stays pending until a device SET_POWER D0 arrives (SUCCESS),
  // a D3 request arrives (STATUS_POWER_STATE_INVALID), it is cancelled or the device goes
  // (CANCELLED). A second one while one is pending fails with STATUS_DEVICE_BUSY.
  bool IdlePending();
  // A pending WAIT_WAKE completes with success (the device signalled resume).
  void SignalWake();
  DEVICE_POWER_STATE PowerState();

  // ---- what happened ----------------------------------------------------------------------------
  uint8_t SelectedConfiguration();
  std::vector<USHORT> UrbFunctions();  // every URB function received, in order
  size_t PendingCount();

 private:
  struct Pipe;
  struct Delayed;
  NTSTATUS Handle(PDEVICE_OBJECT pdo, PIRP irp);
  NTSTATUS Power(PIRP irp);
  NTSTATUS SubmitIdle(PIRP irp);
  void FinishIdle(NTSTATUS status);
  static VOID CancelIdle(PDEVICE_OBJECT device, PIRP irp);
  static VOID CancelWake(PDEVICE_OBJECT device, PIRP irp);
  static VOID IdleWork(PVOID context);
  NTSTATUS Submit(PIRP irp, PURB urb);
  USBD_STATUS Descriptor(PURB urb);
  USBD_STATUS SelectConfiguration(PURB urb);
  USBD_STATUS SelectInterface(PUSBD_INTERFACE_INFORMATION info);
  NTSTATUS Transfer(PIRP irp, PURB urb);
  USBD_STATUS Control(PURB urb, const USB_DEFAULT_PIPE_SETUP_PACKET& setup, PVOID buffer,
                      ULONG* length, bool in);
  bool ServeIn(Pipe& pipe, PURB urb, USBD_STATUS* status);
  void CompletePending(Pipe& pipe, USBD_STATUS status);
  static VOID CancelTransfer(PDEVICE_OBJECT device, PIRP irp);
  static VOID DelayDpc(PKDPC dpc, PVOID context, PVOID, PVOID);
  Pipe* PipeOf(USBD_PIPE_HANDLE handle);
  Pipe* PipeAt(uint8_t endpoint);

  Bytes device_;
  Bytes configuration_;
  std::map<uint8_t, std::u16string> strings_;
  uint16_t languageId_;
  PDEVICE_OBJECT pdo_ = nullptr;
  std::mutex lock_;
  std::map<uint8_t, Pipe*> pipes_;  // by endpoint address
  uint8_t selected_ = 0;
  bool removed_ = false;
  ControlHandler control_;
  std::vector<USHORT> functions_;
  std::vector<Delayed*> delayed_;
  PIRP idle_ = nullptr;
  PIRP wake_ = nullptr;
  WORK_QUEUE_ITEM idleWork_;
  USB_IDLE_CALLBACK_INFO idleInfo_{};
  DEVICE_POWER_STATE power_ = PowerDeviceD0;
};

// The NTSTATUS the USB stack completes an IRP with for a USBD status.
NTSTATUS StatusFor(USBD_STATUS status);

}  // namespace simusb
