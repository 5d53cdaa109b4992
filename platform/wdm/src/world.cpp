// The world's lifecycle: end-of-test checks and the reset between tests.
#include "internal.h"

namespace wdmemu {

void UnloadAllDrivers();
void ClearPnp();

void ResetWorld() {
  if (!Quiesce()) Verify(Check::WorkStillRunning, "DPCs or work items still running at reset");
  UnloadAllDrivers();
  Quiesce();
  ReportIoLeftovers(nullptr, "at reset");
  ReportPoolLeaks(nullptr, "at reset");
  ReportHandleLeaks(nullptr, "at reset");
  ClearPnp();
  ClearKernel();
  ClearIo();
  ClearPool();
  ClearRegistry();
  ClearCompanion();
}

}  // namespace wdmemu
