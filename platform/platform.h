// The one header driver code includes for the kernel, HAL and USB library.
// It is the only place that knows which build it is in.
#pragma once

#if defined(_WIN32)
#include "windows/ddk.h"
#define XR_W(s) L##s
#else
#include "host/nt_io.h"
#include "host/nt_kernel.h"
#include "host/nt_power.h"
#include "host/nt_registry.h"
#include "host/nt_rtl.h"
#include "host/nt_types.h"
#include "host/usb.h"
#include "host/usbdlib.h"
#include "host/usbbusif.h"
#include "host/usbioctl.h"
#define XR_W(s) u##s
#endif

#include "layout_asserts.h"
