// The Win32 subset used by the service, on POSIX. Declarations follow the platform's headers;
// the behaviour lives in platform/win32/src.
#pragma once

#include "win32emu/base_types.h"
#include "winerror.h"
#include "win32emu/api_core.h"
#include "win32emu/api_sync.h"
#include "win32emu/api_comm.h"
#include "win32emu/api_mapping.h"
#include "win32emu/api_registry.h"
#include "winsvc.h"
