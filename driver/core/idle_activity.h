// The selective-suspend steps around a request: wake the device before the request when it is
// suspended, end the suspended gate, and restart idle detection afterwards.
#pragma once

#include "core/hollin_platform.h"

#include "core/device_extension.h"

namespace hollin {

// Per call: what IdleWakeForRequest did, for the steps after the handler.
struct ActivityState {
  BOOLEAN Woke;
};

VOID IdleWakeForRequest(ParentExtension* extension, ActivityState* state);
VOID IdleResumeGate(ParentExtension* extension);
VOID IdleWakeDone(ParentExtension* extension, ActivityState* state);
VOID IdleRestart(ParentExtension* extension, ActivityState* state);

}  // namespace hollin
