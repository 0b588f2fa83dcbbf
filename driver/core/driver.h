// The driver's entry points, as the dispatch table installs them.
#pragma once
#include "platform/platform.h"

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;
DRIVER_ADD_DEVICE AddDevice;
DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
DRIVER_DISPATCH DispatchCleanup;
DRIVER_DISPATCH DispatchReadWrite;
DRIVER_DISPATCH DispatchDeviceControl;
DRIVER_DISPATCH DispatchPower;
DRIVER_DISPATCH DispatchSystemControl;
DRIVER_DISPATCH DispatchPnp;

// Completes a request with a status and no data; returns the status.
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status);

struct DeviceExtension;
struct TimerRecord;

// Device names and interfaces (add_device.cpp). A part that does not fit is left out.
VOID BuildDeviceName(PUNICODE_STRING destination, PCWSTR prefix, PCWSTR baseName, ULONG number);
VOID SetInterfaceState(DeviceExtension *dx, BOOLEAN enable);
// The final release of a device, by whoever drops referenceCount to 0 (teardown.cpp).
VOID TeardownDevice(DeviceExtension *dx);
