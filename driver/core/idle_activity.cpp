#include "core/idle_activity.h"

namespace hollin {

// Selective suspend is not built yet: no device is ever suspended, so a request never has to
// wake one and idle detection has nothing to restart. These keep the entry routines' shape so
// that the power code only has to fill them in.

VOID IdleWakeForRequest(ParentExtension*, ActivityState* state) { state->Woke = FALSE; }

VOID IdleResumeGate(ParentExtension*) {}

VOID IdleWakeDone(ParentExtension*, ActivityState*) {}

VOID IdleRestart(ParentExtension*, ActivityState*) {}

}  // namespace hollin
