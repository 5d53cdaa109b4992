// USB 1.0 descriptor definitions live with the rest of the client interface.
#pragma once
#include <usb.h>
