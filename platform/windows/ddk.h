// Windows build: the mingw-w64 DDK headers.
#pragma once

// wdm.h's inline definitions of these clash with intrin-impl.h's in C++ mode.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

#include <ntddk.h>

// The USB headers lack C linkage blocks; without this USBD imports get mangled names.
extern "C" {
#include <usb.h>
#include <usbdlib.h>
#include <usbbusif.h>
#include <usbioctl.h>
}
