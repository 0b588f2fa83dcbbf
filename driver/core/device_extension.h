// The per-device record, the device object's extension.
#pragma once
#include "driver/core/kernel_utils.h"
#include "driver/core/parameters.h"
#include "driver/transfer/context_pool.h"
#include "platform/platform.h"

// Plug and Play states.
constexpr ULONG PNP_STARTED = 0;
constexpr ULONG PNP_STOP_PENDING = 1;
constexpr ULONG PNP_STOPPED = 2;
constexpr ULONG PNP_REMOVE_PENDING = 3;
constexpr ULONG PNP_REMOVED = 4;
constexpr ULONG PNP_SURPRISE_REMOVED = 5;
constexpr ULONG PNP_NEVER_STARTED = 8;

struct DeviceExtension {
  KMUTEX deviceMutex;
  KMUTEX transferMutex;
  PVOID systemStateHandle;
  ULONG pnpState;
  DEVICE_CAPABILITIES capabilities;
  ULONG devicePowerState;
  // --- waitWakeLock (up to DISPATCH_LEVEL, taken alone): waitWakeRequest, waitWakeCancelling,
  // waitWakeCompletionHeld (wait_wake.cpp) ---
  KSPIN_LOCK waitWakeLock;
  PIRP waitWakeRequest;
  PIRP waitWakeCancelling;  // taken from waitWakeRequest by a cancel still in IoCancelIrp
  BOOLEAN waitWakeCompletionHeld;  // its completion ran and left it to that cancel
  volatile LONG resumeWorkQueued;
  ULONG deviceNumber;  // 0xFFFFFFFF: unnamed
  PDEVICE_OBJECT deviceObject;
  PDEVICE_OBJECT physicalDevice;
  PDEVICE_OBJECT lowerDevice;
  USB_BUS_INTERFACE_USBDI_V1 usbBusInterface;
  PUSB_BUS_INTERFACE_USBDI_V1 busInterfaceV1;  // set when version 1 was obtained
  PUSB_BUS_INTERFACE_USBDI_V0 busInterface;    // set when version 0 or 1 was obtained
  UNICODE_STRING defaultInterfaceLink;
  UNICODE_STRING userInterfaceLink;
  volatile LONG referenceCount;
  volatile LONG openHandleCount;
  volatile LONG activeTransferCount;
  KEVENT transfersDrainedEvent;
  PEPROCESS configuringProcess;
  LIST_ENTRY waitingQueue;
  LIST_ENTRY cancelledQueue;
  KSPIN_LOCK queueLock;
  LIST_ENTRY deferredQueue;
  TimerRecord deferTimer;
  LIST_ENTRY pipeList;
  LIST_ENTRY interfaceList;
  PVOID storedConfigDescriptor;
  ULONG configurationIndex;
  PEPROCESS exclusiveOwner;
  LIST_ENTRY openHandleList;
  ContextPool transferPool;     // bulk and interrupt
  ContextPool isoTransferPool;  // isochronous; empty until the first such request
  DriverParameters parameters;
  BOOLEAN devicePresent;
  BOOLEAN requestsBlocked;
  BOOLEAN configured;
  BOOLEAN interfacesEnabled;
  BOOLEAN remoteWakeupArmed;
};
