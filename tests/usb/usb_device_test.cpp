// URBs against a device built from raw descriptor bytes: descriptors, configuration selection,
// bulk transfers, stalls and their reset, held transfers with cancel and abort, and removal.
#include <usbdlib.h>

#include "kernel_test.h"
#include "simusb/usb_device.h"

namespace {

const simusb::Bytes kDevice = {18,   1,    0x00, 0x02, 0xEF, 0x02, 0x01, 64, 0x34,
                               0x12, 0x78, 0x56, 0x00, 0x01, 1,    2,    0,  1};
// One configuration: interface 0 (vendor, bulk IN 0x81 and OUT 0x02), interface 1 (interrupt IN
// 0x83).
const simusb::Bytes kConfiguration = {
    9, 2, 48,   0, 2,    1,    0,    0xA0, 250,  // configuration, wTotalLength 48
    9, 4, 0,    0, 2,    0xFF, 0xFF, 0xFF, 0,    // interface 0
    7, 5, 0x81, 2, 0x00, 0x02, 0,                // bulk IN, 512
    7, 5, 0x02, 2, 0x00, 0x02, 0,                // bulk OUT, 512
    9, 4, 1,    0, 1,    0x02, 0x02, 0x01, 0,    // interface 1
    7, 5, 0x83, 3, 0x10, 0x00, 9,                // interrupt IN, 16
};

class UsbDeviceTest : public wdmemu::testing::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    device = std::make_unique<simusb::UsbDevice>(
        kDevice, kConfiguration, std::map<uint8_t, std::u16string>{{2, u"Parrin 2000"}});
    pdo = device->Plug();
  }
  void TearDown() override {
    device.reset();
    KernelTest::TearDown();
  }

  // Sends one URB down to the PDO and waits, as a function driver's synchronous call does.
  NTSTATUS Call(PURB urb) {
    KEVENT event;
    IO_STATUS_BLOCK io{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0,
                                             nullptr, 0, TRUE, &event, &io);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    if (IoCallDriver(pdo, irp) == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    return io.Status;
  }

  void Configure() {
    std::vector<UCHAR> buffer(GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 3));
    auto* urb = (PURB)buffer.data();
    UsbBuildSelectConfigurationRequest(urb, (USHORT)buffer.size(),
                                       (PUSB_CONFIGURATION_DESCRIPTOR)kConfiguration.data());
    auto* first = &urb->UrbSelectConfiguration.Interface;
    first->Length = GET_USBD_INTERFACE_SIZE(2);
    first->InterfaceNumber = 0;
    auto* second = (PUSBD_INTERFACE_INFORMATION)((UCHAR*)first + first->Length);
    second->Length = GET_USBD_INTERFACE_SIZE(1);
    second->InterfaceNumber = 1;
    ASSERT_EQ(Call(urb), STATUS_SUCCESS);
    EXPECT_EQ(first->NumberOfPipes, 2u);
    EXPECT_EQ(first->Class, 0xFF);
    EXPECT_EQ(second->Pipes[0].PipeType, UsbdPipeTypeInterrupt);
    EXPECT_EQ(second->Pipes[0].Interval, 9);
    bulkIn = first->Pipes[0].PipeHandle;
    bulkOut = first->Pipes[1].PipeHandle;
    EXPECT_EQ(first->Pipes[0].EndpointAddress, 0x81);
    EXPECT_EQ(first->Pipes[0].MaximumPacketSize, 512);
  }

  NTSTATUS Bulk(USBD_PIPE_HANDLE pipe, void* buffer, ULONG length, ULONG flags, URB* urb) {
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           pipe, buffer, nullptr, length, flags, nullptr);
    return Call(urb);
  }

  std::unique_ptr<simusb::UsbDevice> device;
  PDEVICE_OBJECT pdo;
  USBD_PIPE_HANDLE bulkIn = nullptr, bulkOut = nullptr;
};

TEST_F(UsbDeviceTest, UrbLayoutsMatch64BitWindows) {
  static_assert(sizeof(struct _URB_HEADER) == 24);
  static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128);
  static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136);
  static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136);
  static_assert(sizeof(struct _URB_CONTROL_FEATURE_REQUEST) == 136);
  static_assert(sizeof(struct _URB_PIPE_REQUEST) == 40);
  static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 88);
  static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48 && sizeof(USBD_PIPE_INFORMATION) == 24);
  static_assert(GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 3) == 88 + 48 + 24);
  static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18 && sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
  static_assert(sizeof(USB_IDLE_CALLBACK_INFO) == 16);
  EXPECT_TRUE(USBD_SUCCESS(USBD_STATUS_PENDING));
  EXPECT_TRUE(USBD_ERROR(USBD_STATUS_STALL_PID));
}

TEST_F(UsbDeviceTest, DescriptorsComeBackTruncatedToTheBuffer) {
  URB urb{};
  UCHAR buffer[64] = {};
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer, nullptr, 9,
                               nullptr);
  ASSERT_EQ(Call(&urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 9u);
  EXPECT_EQ(((PUSB_CONFIGURATION_DESCRIPTOR)buffer)->wTotalLength, 48);
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, nullptr, 64, nullptr);
  ASSERT_EQ(Call(&urb), STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);
  EXPECT_EQ(((PUSB_DEVICE_DESCRIPTOR)buffer)->idProduct, 0x5678);
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_STRING_DESCRIPTOR_TYPE, 2, 0x409, buffer, nullptr, 64, nullptr);
  ASSERT_EQ(Call(&urb), STATUS_SUCCESS);
  EXPECT_EQ(buffer[0], 2 + 11 * 2);
  EXPECT_EQ(buffer[2], 'P');
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_STRING_DESCRIPTOR_TYPE, 0, 0, buffer, nullptr, 64, nullptr);
  ASSERT_EQ(Call(&urb), STATUS_SUCCESS);
  EXPECT_EQ(buffer[2] | buffer[3] << 8, 0x409);
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_STRING_DESCRIPTOR_TYPE, 7, 0x409, buffer, nullptr, 64, nullptr);
  EXPECT_FALSE(NT_SUCCESS(Call(&urb)));
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
}

TEST_F(UsbDeviceTest, BulkTransfersMoveDataAndReportShortPackets) {
  Configure();
  URB urb{};
  UCHAR out[3] = {1, 2, 3};
  ASSERT_EQ(Bulk(bulkOut, out, 3, USBD_TRANSFER_DIRECTION_OUT, &urb), STATUS_SUCCESS);
  EXPECT_EQ(device->TakeOut(0x02), (std::vector<simusb::Bytes>{{1, 2, 3}}));
  device->QueueIn(0x81, {9, 8});
  UCHAR in[16] = {};
  ASSERT_EQ(Bulk(bulkIn, in, 16, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, &urb),
            STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 2u);
  EXPECT_EQ(in[1], 8);
  device->QueueIn(0x81, {7});
  EXPECT_FALSE(NT_SUCCESS(Bulk(bulkIn, in, 16, USBD_TRANSFER_DIRECTION_IN, &urb)));
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_ERROR_SHORT_TRANSFER);
  EXPECT_EQ(Bulk((USBD_PIPE_HANDLE)0x1234, in, 1, 0, &urb), STATUS_INVALID_PARAMETER);
}

TEST_F(UsbDeviceTest, AStallHaltsThePipeUntilItIsReset) {
  Configure();
  device->StallEndpoint(0x02);
  URB urb{};
  UCHAR out[1] = {0};
  EXPECT_EQ(Bulk(bulkOut, out, 1, 0, &urb), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
  EXPECT_FALSE(NT_SUCCESS(Bulk(bulkOut, out, 1, 0, &urb)));
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
  URB reset{};
  reset.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
  reset.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  reset.UrbPipeRequest.PipeHandle = bulkOut;
  ASSERT_EQ(Call(&reset), STATUS_SUCCESS);
  EXPECT_EQ(Bulk(bulkOut, out, 1, 0, &urb), STATUS_SUCCESS);
}

TEST_F(UsbDeviceTest, HeldTransfersEndByCancelAbortOrRemoval) {
  Configure();
  device->HoldEndpoint(0x81);
  auto send = [&](URB* urb, UCHAR* buffer, KEVENT* event, IO_STATUS_BLOCK* io) {
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           bulkIn, buffer, nullptr, 4, USBD_TRANSFER_DIRECTION_IN,
                                           nullptr);
    KeInitializeEvent(event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0,
                                             nullptr, 0, TRUE, event, io);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_PENDING);
    return irp;
  };
  URB a{}, b{}, c{};
  UCHAR buffer[3][4];
  KEVENT ea, eb, ec;
  IO_STATUS_BLOCK ia{}, ib{}, ic{};
  PIRP first = send(&a, buffer[0], &ea, &ia);
  EXPECT_TRUE(IoCancelIrp(first));
  KeWaitForSingleObject(&ea, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(ia.Status, STATUS_CANCELLED);
  EXPECT_EQ(a.UrbHeader.Status, USBD_STATUS_CANCELED);

  send(&b, buffer[1], &eb, &ib);
  URB abort{};
  abort.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
  abort.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  abort.UrbPipeRequest.PipeHandle = bulkIn;
  ASSERT_EQ(Call(&abort), STATUS_SUCCESS);
  KeWaitForSingleObject(&eb, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(ib.Status, STATUS_CANCELLED);

  send(&c, buffer[2], &ec, &ic);
  device->Remove();
  KeWaitForSingleObject(&ec, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(c.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  ULONG port = 0xFF;
  KEVENT pe;
  IO_STATUS_BLOCK pio{};
  KeInitializeEvent(&pe, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, pdo, nullptr, 0,
                                           nullptr, 0, TRUE, &pe, &pio);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &port;
  IoCallDriver(pdo, irp);
  EXPECT_EQ(port, 0u);
  EXPECT_EQ(device->PendingCount(), 0u);
}

TEST_F(UsbDeviceTest, DelayedTransferCompletesLater) {
  Configure();
  device->DelayEndpoint(0x02, 5);
  URB urb{};
  UCHAR out[2] = {4, 5};
  EXPECT_EQ(Bulk(bulkOut, out, 2, 0, &urb), STATUS_SUCCESS);  // Call waits for the completion
  EXPECT_EQ(device->TakeOut(0x02).size(), 1u);
}

TEST_F(UsbDeviceTest, VendorRequestsReachTheControlHandler) {
  USB_DEFAULT_PIPE_SETUP_PACKET seen{};
  device->SetControlHandler([&](const USB_DEFAULT_PIPE_SETUP_PACKET& setup, simusb::Bytes& data) {
    seen = setup;
    data = {0xAA, 0xBB};
    return USBD_STATUS_SUCCESS;
  });
  URB urb{};
  UCHAR buffer[8];
  UsbBuildVendorRequest(
      &urb, URB_FUNCTION_VENDOR_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
      USBD_TRANSFER_DIRECTION_IN, 0, 0x22, 0x0003, 1, buffer, nullptr, 8, nullptr);
  ASSERT_EQ(Call(&urb), STATUS_SUCCESS);
  EXPECT_EQ(seen.bmRequestType, 0xC1);
  EXPECT_EQ(seen.bRequest, 0x22);
  EXPECT_EQ(seen.wIndex, 1);
  EXPECT_EQ(seen.wLength, 8);
  EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, 2u);
}

}  // namespace
