// A loaded hollin driver with a descriptor of the test's own: the parent handlers of the real
// driver, a minimal Plug and Play handler that removes the device the way the parent's does,
// and hooks the tests can make fail.
#pragma once

#include <string>
#include <vector>

#include "core/add_device.h"
#include "core/device_extension.h"
#include "core/dispatch.h"
#include "core/driver_entry.h"
#include "core/hollin_descriptor.h"
#include "core/request_gate.h"
#include "kernel_test.h"

namespace hollin::testing {

// What the test handlers saw, and what the hooks answer.
struct TestHooks {
  std::vector<PIRP> reads;  // READ handler calls, in order
  bool closeGateOnFirstRead = false;
  NTSTATUS startHookStatus = STATUS_SUCCESS;
  NTSTATUS recordCreatedStatus = STATUS_SUCCESS;
  int recordsCreated = 0;
  int recordsReleased = 0;
  int removesHandled = 0;
  PDEVICE_OBJECT createTarget = nullptr;  // CREATE handler sends a second create here
  NTSTATUS nestedCreateStatus = STATUS_SUCCESS;
};
extern TestHooks hooks;

// The descriptor AddDevice uses; tests may change a copy before loading.
extern DriverDescriptor testDescriptor;
DriverDescriptor DefaultTestDescriptor();

class CoreTest : public wdmemu::testing::KernelTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Loads the driver with testDescriptor and the given version code.
  PDRIVER_OBJECT Load(ULONG version = 9);
  PDEVICE_OBJECT NewPdo(const std::u16string& instance = u"0");
  // AddDevice through the Plug and Play manager; the parent device or null.
  PDEVICE_OBJECT Add(PDEVICE_OBJECT pdo, NTSTATUS expected = STATUS_SUCCESS);
  void Remove(PDEVICE_OBJECT pdo);
  // IRP_MN_REMOVE_DEVICE straight to the parent, as after a surprise removal: a rejecting gate
  // vetoes the query that PnpRemoveDevice would send first.
  void SendRemove(PDEVICE_OBJECT parent);
  static ParentExtension* Ext(PDEVICE_OBJECT parent) { return ParentOf(parent); }
  static std::u16string Text(const UNICODE_STRING& s) { return wdmemu::ToU16(s); }
  // Opens the gate and replays what it held.
  static void OpenGate(PDEVICE_OBJECT parent);

  PDRIVER_OBJECT driver = nullptr;
  std::vector<PDEVICE_OBJECT> pdos;
};

}  // namespace hollin::testing
