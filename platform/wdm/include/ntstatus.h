#pragma once
#include "wdmemu/status.h"
