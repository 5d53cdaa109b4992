// The system worker queue, shared by ExQueueWorkItem and IoQueueWorkItem.
#pragma once

#include <functional>

#include "internal.h"

namespace wdmemu {

struct WorkEntry {
  const void* key = nullptr;        // the work item; queued at most once at a time
  PDRIVER_OBJECT driver = nullptr;  // whose code runs
  std::function<void()> run;
};
// False when `key` is already queued.
bool QueueWork(WorkEntry entry);

}  // namespace wdmemu

namespace wdmemu {
PDRIVER_OBJECT DpcOwner(PKDPC dpc);
}
