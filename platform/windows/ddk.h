// Windows build: the mingw-w64 DDK headers.
#pragma once

// wdm.h's inline definitions of these clash with intrin-impl.h's in C++ mode.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

#include <ntddk.h>

// Without INITGUID, DEFINE_GUID only declares; with it the USB headers' GUIDs
// become selectany definitions, so no translation unit has to own them.
#include <initguid.h>

// The USB headers lack C linkage blocks; without this USBD imports get mangled names.
extern "C" {
#include <usb.h>
#include <usbdlib.h>
#include <usbbusif.h>
#include <usbioctl.h>
}

// mingw-w64 has this one only in its obsolete usbdi.h, which would also turn
// USBD_TRANSFER_DIRECTION into a function-like macro.
#ifndef USBD_STATUS_REQUEST_FAILED
#define USBD_STATUS_REQUEST_FAILED ((USBD_STATUS)0x80000500L)
#endif
