// Filled in by the emulation slice that provides these calls.
#pragma once
