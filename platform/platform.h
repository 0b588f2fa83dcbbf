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

// IoCancelIrp sets Cancel on another processor while the driver looks; Windows drivers read it
// as a volatile byte, the host build needs an atomic load for its race checker.
FORCEINLINE BOOLEAN IrpCancelRequested(PIRP irp) {
#if defined(_WIN32)
  return *(volatile BOOLEAN *)&irp->Cancel;
#else
  return __atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST);
#endif
}
