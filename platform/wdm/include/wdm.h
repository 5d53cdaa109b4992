// The WDM subset of the kernel model. Drivers include this exactly as on Windows.
#pragma once

#include "wdmemu/types.h"
#include "wdmemu/status.h"
#include "wdmemu/ke.h"
#include "wdmemu/io.h"
#include "wdmemu/registry.h"
#include "wdmemu/rtl.h"
