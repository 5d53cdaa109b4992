// The USB client interface: descriptors, URBs and the stack's internal control codes.
#pragma once

#include <usb.h>
#include <usbioctl.h>
