// ntddk.h adds nothing the kernel model's drivers need beyond wdm.h.
#pragma once
#include <wdm.h>
