#include "driver/core/device_extension.h"
#include "driver/core/driver.h"
#include "driver/core/event_log.h"
#include "driver/core/parameters.h"
#include "driver/transfer/context_pool.h"
#include "driver/transfer/request_queue.h"
#include "driver/transfer/transfer_context.h"
#include "include/xrusb/interface_guid.h"
#include "include/xrusb/ioctl.h"

namespace {

constexpr ULONG DEVICE_NAME_CHARS = 120;
constexpr ULONG HIGHEST_DEVICE_NUMBER = 126;
constexpr ULONG UNNAMED_DEVICE = 0xFFFFFFFF;
constexpr LONGLONG DEFER_TIMER_DUE_TIME = -100000;  // 10 ms, relative
constexpr ULONG TRANSFER_POOL_INITIAL = 16;
constexpr ULONG TRANSFER_POOL_GROWTH = 16;
constexpr ULONG ISO_POOL_GROWTH = 4;

const WCHAR DEVICE_PREFIX[] = XR_W("\\Device\\");
const WCHAR LINK_PREFIX[] = XR_W("\\DosDevices\\");

ULONG StringChars(PCWSTR s) {
  ULONG n = 0;
  while (s[n]) ++n;
  return n;
}

// A cut name would collide with another device's, so a base name is taken only if both of its
// names fit whole with the highest number ("126"); the link is the longer of the two.
bool NamesFit(PCWSTR baseName) {
  return StringChars(LINK_PREFIX) + StringChars(baseName) + 3 <= DEVICE_NAME_CHARS;
}

VOID InitializeRecord(DeviceExtension *dx) {
  KeInitializeMutex(&dx->deviceMutex, 0);
  KeInitializeMutex(&dx->transferMutex, 0);
  InitializeListHead(&dx->waitingQueue);
  InitializeListHead(&dx->cancelledQueue);
  InitializeListHead(&dx->deferredQueue);
  InitializeListHead(&dx->openHandleList);
  InitializeTimerRecord(&dx->deferTimer, DeferTimerCallback, dx, DEFER_TIMER_DUE_TIME);
  KeInitializeSpinLock(&dx->queueLock);
  KeInitializeSpinLock(&dx->waitWakeLock);
  dx->resumeWorkQueued = 0;
  InitializeListHead(&dx->pipeList);
  InitializeListHead(&dx->interfaceList);
  KeInitializeEvent(&dx->transfersDrainedEvent, NotificationEvent, FALSE);
  dx->devicePowerState = PowerDeviceD0;
  // Until the bus driver reports its own mapping.
  dx->capabilities.DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int s = PowerSystemSleeping1; s <= PowerSystemHibernate; ++s) dx->capabilities.DeviceState[s] = PowerDeviceD2;
  dx->capabilities.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
}

}  // namespace

VOID BuildDeviceName(PUNICODE_STRING destination, PCWSTR prefix, PCWSTR baseName, ULONG number) {
  WCHAR digits[12];
  UNICODE_STRING numberString;
  numberString.Length = 0;
  numberString.MaximumLength = sizeof digits;
  numberString.Buffer = digits;
  destination->Length = 0;
  if (prefix) RtlAppendUnicodeToString(destination, prefix);
  RtlAppendUnicodeToString(destination, baseName);
  if (NT_SUCCESS(RtlIntegerToUnicodeString(number, 10, &numberString)))
    RtlAppendUnicodeStringToString(destination, &numberString);
}

VOID SetInterfaceState(DeviceExtension *dx, BOOLEAN enable) {
  enable = enable ? TRUE : FALSE;
  if (dx->interfacesEnabled == enable) return;
  if (dx->defaultInterfaceLink.Buffer) IoSetDeviceInterfaceState(&dx->defaultInterfaceLink, enable);
  if (dx->userInterfaceLink.Buffer) IoSetDeviceInterfaceState(&dx->userInterfaceLink, enable);
  dx->interfacesEnabled = enable;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDevice) {
  DriverParameters parameters;
  RtlZeroMemory(&parameters, sizeof parameters);
  if (!NT_SUCCESS(ReadParameters(driverObject, physicalDevice, &parameters))) return STATUS_UNSUCCESSFUL;

  PCWSTR baseName = parameters.deviceBaseName;
  WCHAR deviceNameBuffer[DEVICE_NAME_CHARS];
  UNICODE_STRING deviceName;
  deviceName.Length = 0;
  deviceName.MaximumLength = sizeof deviceNameBuffer;
  deviceName.Buffer = deviceNameBuffer;
  WCHAR linkNameBuffer[DEVICE_NAME_CHARS];
  UNICODE_STRING linkName;
  linkName.Length = 0;
  linkName.MaximumLength = sizeof linkNameBuffer;
  linkName.Buffer = linkNameBuffer;

  PDEVICE_OBJECT deviceObject = NULL;
  DeviceExtension *dx = NULL;
  bool linkCreated = false;
  ULONG deviceNumber = UNNAMED_DEVICE;
  NTSTATUS status;

  if (!baseName) {
    status = IoCreateDevice(driverObject, sizeof(DeviceExtension), NULL, XRUSB_DEVICE_TYPE, FILE_DEVICE_SECURE_OPEN,
                            FALSE, &deviceObject);
  } else if (!NamesFit(baseName)) {
    // The object manager's answer to a name it cannot take.
    status = STATUS_OBJECT_NAME_INVALID;
  } else {
    status = STATUS_UNSUCCESSFUL;
    for (ULONG number = 0; number <= HIGHEST_DEVICE_NUMBER; ++number) {
      BuildDeviceName(&deviceName, DEVICE_PREFIX, baseName, number);
      status = IoCreateDevice(driverObject, sizeof(DeviceExtension), &deviceName, XRUSB_DEVICE_TYPE,
                              FILE_DEVICE_SECURE_OPEN, FALSE, &deviceObject);
      if (NT_SUCCESS(status)) {
        deviceNumber = number;
        break;
      }
    }
  }
  if (!NT_SUCCESS(status)) {
    WriteEventLog(driverObject, EVENT_MSG_ERROR, "Unable to create device object.");
    deviceObject = NULL;
    goto Unwind;
  }

  dx = static_cast<DeviceExtension *>(deviceObject->DeviceExtension);
  RtlZeroMemory(dx, sizeof *dx);

  if (baseName) {
    BuildDeviceName(&linkName, LINK_PREFIX, baseName, deviceNumber);
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
      WriteEventLog(driverObject, EVENT_MSG_ERROR, "Unable to create symbolic link for device object.");
      goto Unwind;
    }
    linkCreated = true;
  }

  if (!parameters.disableDefaultInterface) {
    status = IoRegisterDeviceInterface(physicalDevice, &XRUSB_DEFAULT_INTERFACE_GUID, NULL, &dx->defaultInterfaceLink);
    if (!NT_SUCCESS(status)) {
      WriteEventLog(driverObject, EVENT_MSG_ERROR, "Unable to register default device interface.");
      RtlZeroMemory(&dx->defaultInterfaceLink, sizeof dx->defaultInterfaceLink);
      goto Unwind;
    }
  }

  if (parameters.userInterfaceGuid) {
    UNICODE_STRING guidString;
    GUID userGuid;
    RtlInitUnicodeString(&guidString, parameters.userInterfaceGuid);
    if (!NT_SUCCESS(RtlGUIDFromString(&guidString, &userGuid))) {
      WriteEventLog(driverObject, EVENT_MSG_WARNING, "Cannot convert user interface GUID string, invalid format.");
    } else if (!NT_SUCCESS(IoRegisterDeviceInterface(physicalDevice, &userGuid, NULL, &dx->userInterfaceLink))) {
      WriteEventLog(driverObject, EVENT_MSG_ERROR, "Unable to register user-defined device interface.");
      RtlZeroMemory(&dx->userInterfaceLink, sizeof dx->userInterfaceLink);
    }
  }

  dx->lowerDevice = IoAttachDeviceToDeviceStack(deviceObject, physicalDevice);
  if (!dx->lowerDevice) {
    WriteEventLog(driverObject, EVENT_MSG_ERROR, "Unable to attach device to device stack.");
    status = STATUS_UNSUCCESSFUL;
    goto Unwind;
  }

  // The record owns the strings from here on.
  dx->parameters = parameters;
  parameters.deviceBaseName = parameters.userInterfaceGuid = parameters.firmwareFile = NULL;
  dx->physicalDevice = physicalDevice;
  dx->deviceObject = deviceObject;
  dx->deviceNumber = deviceNumber;
  InitializeRecord(dx);
  status = InitializeContextPool(&dx->transferPool, TRANSFER_POOL_INITIAL, CONTEXT_POOL_LIMIT, TRANSFER_POOL_GROWTH,
                                 sizeof(TransferContext));
  InitializeContextPool(&dx->isoTransferPool, 0, CONTEXT_POOL_LIMIT, ISO_POOL_GROWTH,
                        TRANSFER_CONTEXT_HEADER_SIZE + dx->parameters.isoContextSize);
  if (!NT_SUCCESS(status)) {
    DestroyContextPool(&dx->transferPool);
    DestroyContextPool(&dx->isoTransferPool);
    WriteEventLog(driverObject, EVENT_MSG_ERROR, "Unable to allocate memory.");
    status = STATUS_INSUFFICIENT_RESOURCES;
    goto Unwind;
  }

  dx->pnpState = PNP_NEVER_STARTED;
  dx->referenceCount = 1;
  deviceObject->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
  deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;

Unwind:
  FreeParameterStrings(&parameters);
  if (dx) {
    FreeParameterStrings(&dx->parameters);
    RtlFreeUnicodeString(&dx->defaultInterfaceLink);
    RtlFreeUnicodeString(&dx->userInterfaceLink);
    ReleaseBusInterface(dx);
    if (dx->lowerDevice) IoDetachDevice(dx->lowerDevice);
  }
  if (linkCreated) IoDeleteSymbolicLink(&linkName);
  if (deviceObject) IoDeleteDevice(deviceObject);
  return status;
}
