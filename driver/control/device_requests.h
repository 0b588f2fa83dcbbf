// Standard, class and vendor requests on the default control pipe, one URB each, sent in the
// caller's IRP. The dispatcher has checked the buffer lengths and holds deviceMutex.
#pragma once
#include "include/xrusb/ioctl.h"
#include "platform/platform.h"

struct DeviceExtension;

enum DeviceRequestDirection { DEVICE_REQUEST_IN, DEVICE_REQUEST_OUT };

// resultLength: in, the data buffer's length; out, on success, the bytes the bus moved.
NTSTATUS DescriptorTransfer(DeviceRequestDirection direction, DeviceExtension *dx, PIRP irp,
                            const DescriptorRequest *request, ULONG *resultLength, PMDL mdl);
NTSTATUS FeatureRequestSend(BOOLEAN set, DeviceExtension *dx, PIRP irp, const FeatureRequest *request);
// The status word overwrites the first two bytes of 'buffer', which holds the StatusRequest.
NTSTATUS GetStatusRequest(DeviceExtension *dx, PIRP irp, PVOID buffer);
// mdl null: no data stage.
NTSTATUS ClassOrVendorTransfer(DeviceRequestDirection direction, DeviceExtension *dx, PIRP irp,
                               const ClassOrVendorRequest *request, ULONG *resultLength, PMDL mdl);
// Each writes one byte at the start of 'buffer'; GetInterfaceRequest reads the interface
// number (u16) from there first.
NTSTATUS GetConfigurationRequest(DeviceExtension *dx, PIRP irp, PVOID buffer);
NTSTATUS GetInterfaceRequest(DeviceExtension *dx, PIRP irp, PVOID buffer);
