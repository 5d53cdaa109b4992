// The Windows test build's stand-in for the emulation's device header: devices cannot be added
// to a real system from a test, so the tests that do are left out of this build.
#pragma once
