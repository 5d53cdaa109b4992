// Power requests and the idle notification against the simulated device: PoRequestPowerIrp's
// callback contract and the idle request's lifetime.
#include <usbdlib.h>

#include "kernel_test.h"
#include "simusb/usb_device.h"

namespace {

const simusb::Bytes kDevice = {18, 1, 0, 2, 0, 0, 0, 64, 0x34, 0x12, 0x78, 0x56, 0, 1, 0, 0, 0, 1};
const simusb::Bytes kConfiguration = {9, 2, 9, 0, 0, 1, 0, 0xA0, 50};

struct Idle {
  KEVENT called;
  KEVENT done;
  NTSTATUS status;
  USB_IDLE_CALLBACK_INFO info;
};

VOID IdleCallback(PVOID context) { KeSetEvent(&((Idle*)context)->called, 0, FALSE); }

NTSTATUS IdleDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* idle = (Idle*)context;
  idle->status = irp->IoStatus.Status;
  KeSetEvent(&idle->done, 0, FALSE);
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

struct PowerDone {
  KEVENT event;
  NTSTATUS status;
  UCHAR minor;
  POWER_STATE state;
};

VOID PowerCallback(PDEVICE_OBJECT, UCHAR minor, POWER_STATE state, PVOID context,
                   PIO_STATUS_BLOCK io) {
  auto* done = (PowerDone*)context;
  done->status = io->Status;
  done->minor = minor;
  done->state = state;
  KeSetEvent(&done->event, 0, FALSE);
}

class Power : public wdmemu::testing::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    device = std::make_unique<simusb::UsbDevice>(kDevice, kConfiguration);
    pdo = device->Plug();
  }
  void TearDown() override {
    device.reset();
    KernelTest::TearDown();
  }

  PIRP SendIdle(Idle* idle) {
    KeInitializeEvent(&idle->called, NotificationEvent, FALSE);
    KeInitializeEvent(&idle->done, NotificationEvent, FALSE);
    idle->info = {IdleCallback, idle};
    PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION;
    next->Parameters.DeviceIoControl.Type3InputBuffer = &idle->info;
    IoSetCompletionRoutine(irp, IdleDone, idle, TRUE, TRUE, TRUE);
    IoCallDriver(pdo, irp);
    return irp;
  }

  NTSTATUS RequestDevicePower(DEVICE_POWER_STATE state) {
    PowerDone done;
    KeInitializeEvent(&done.event, NotificationEvent, FALSE);
    POWER_STATE s;
    s.DeviceState = state;
    EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, s, PowerCallback, &done, nullptr),
              STATUS_PENDING);
    KeWaitForSingleObject(&done.event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(done.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(done.state.DeviceState, state);
    return done.status;
  }

  std::unique_ptr<simusb::UsbDevice> device;
  PDEVICE_OBJECT pdo;
};

TEST_F(Power, IdleRequestCallsBackThenCompletesWhenD0Returns) {
  Idle idle, second;
  SendIdle(&idle);
  KeWaitForSingleObject(&idle.called, Executive, KernelMode, FALSE, nullptr);
  EXPECT_TRUE(device->IdlePending());
  SendIdle(&second);
  KeWaitForSingleObject(&second.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(second.status, STATUS_DEVICE_BUSY);

  EXPECT_EQ(RequestDevicePower(PowerDeviceD2), STATUS_SUCCESS);
  EXPECT_EQ(device->PowerState(), PowerDeviceD2);
  EXPECT_TRUE(device->IdlePending());  // the idle request outlives the suspend
  EXPECT_EQ(RequestDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  KeWaitForSingleObject(&idle.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(idle.status, STATUS_SUCCESS);
}

TEST_F(Power, IdleRequestEndsWithCancelD3OrRemoval) {
  Idle a, b, c;
  PIRP irp = SendIdle(&a);
  KeWaitForSingleObject(&a.called, Executive, KernelMode, FALSE, nullptr);
  EXPECT_TRUE(IoCancelIrp(irp));
  KeWaitForSingleObject(&a.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(a.status, STATUS_CANCELLED);

  SendIdle(&b);
  KeWaitForSingleObject(&b.called, Executive, KernelMode, FALSE, nullptr);
  RequestDevicePower(PowerDeviceD3);
  KeWaitForSingleObject(&b.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(b.status, STATUS_POWER_STATE_INVALID);

  SendIdle(&c);
  KeWaitForSingleObject(&c.called, Executive, KernelMode, FALSE, nullptr);
  device->Remove();
  KeWaitForSingleObject(&c.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(c.status, STATUS_CANCELLED);
  EXPECT_TRUE(wdmemu::Quiesce());
}

TEST_F(Power, WaitWakeStaysPendingUntilTheDeviceSignals) {
  PowerDone done;
  KeInitializeEvent(&done.event, NotificationEvent, FALSE);
  POWER_STATE s;
  s.SystemState = PowerSystemSleeping3;
  ASSERT_EQ(PoRequestPowerIrp(pdo, IRP_MN_WAIT_WAKE, s, PowerCallback, &done, nullptr),
            STATUS_PENDING);
  LARGE_INTEGER poll;
  poll.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(&done.event, Executive, KernelMode, FALSE, &poll),
            STATUS_TIMEOUT);
  device->SignalWake();
  KeWaitForSingleObject(&done.event, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(done.status, STATUS_SUCCESS);
  EXPECT_EQ(done.minor, IRP_MN_WAIT_WAKE);
}

}  // namespace
