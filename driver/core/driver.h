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
