#include "driver/core/parameters.h"

#include "driver/core/event_log.h"
#include "driver/core/kernel_utils.h"
#include "driver/core/pool_tags.h"

const ParameterRow ParameterTable[PARAMETER_ROW_COUNT] = {
    {XR_W("RequestTimeout"), 1000, 1},
    {XR_W("ShortTransferOk"), 1, 1},
    {XR_W("UnconfigureOnClose"), 1, 1},
    {XR_W("ResetDeviceOnClose"), 0, 1},
    {XR_W("EnableRemoteWakeup"), 0, 1},
    {XR_W("MaxIsoPackets"), 512, 1},
    {XR_W("ConfigDescMinQuerySize"), 0, 1},
    {XR_W("PowerStateOnOpen"), 0, 1},
    {XR_W("PowerStateOnClose"), 0, 1},
    {XR_W("MinPowerStateUsed"), 3, 1},
    {XR_W("MinPowerStateUnused"), 3, 1},
    {XR_W("AbortPipesOnPowerDown"), 1, 1},
    {XR_W("SuppressPnPRemoveDlg"), 1, 0},
    {XR_W("DeferCancelledIrps"), 1, 0},
    {XR_W("CheckPidOnUnconfig"), 1, 0},
    {XR_W("ConfigIndex"), 255, 0},
    {XR_W("Interface"), 0, 0},
    {XR_W("AlternateSetting"), 0, 0},
    {XR_W("MaxTransferSize"), 65535, 0},
    {XR_W("DisableDefaultInterface"), 0, 0},
    {XR_W("FxBootloaderCheck"), 1, 0},
    {XR_W("FxExtRamBase"), 0x2000, 0},
    {XR_W("HideDevNodeWhenStarted"), 0, 0},
};

namespace {

const ULONG kPartialInfoHeader = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);

// Registry 0..3 (D0..D3) to DEVICE_POWER_STATE 1..4; anything above 3 means D3.
ULONG PowerStateFromRegistry(ULONG value) {
  ULONG state = value + 1;  // 0xFFFFFFFF wraps to 0
  if (state == 0) return PowerDeviceD0;
  if (state > PowerDeviceD3) return PowerDeviceD3;
  return state;
}

}  // namespace

ULONG ReadDwordParameter(HANDLE key, ULONG row) {
  const ParameterRow &entry = ParameterTable[row];
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, entry.name);
  ULONG buffer[8];  // 32 bytes: the header and up to 20 bytes of data
  ULONG resultLength = 0;
  NTSTATUS status =
      ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &resultLength);
  if (status == STATUS_SUCCESS) {
    PKEY_VALUE_PARTIAL_INFORMATION info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    if (info->Type == REG_DWORD && info->DataLength == sizeof(ULONG)) {
      ULONG value;
      RtlCopyMemory(&value, info->Data, sizeof value);
      return value;
    }
    return entry.defaultValue;
  }
  if (entry.writeDefaultBack) {
    ULONG value = entry.defaultValue;
    ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof value);
  }
  return entry.defaultValue;
}

NTSTATUS QueryValueData(HANDLE key, PCWSTR valueName, ULONG *length, PVOID destination) {
  if (*length > 0x7FFFFFF0) return STATUS_INSUFFICIENT_RESOURCES;
  const ULONG size = *length + 16;
  PUCHAR scratch = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, size, TAG_REGISTRY_SCRATCH));
  if (!scratch) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(scratch, size);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, valueName);
  ULONG resultLength = 0;
  NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, scratch, size, &resultLength);
  if (NT_SUCCESS(status) && destination) {
    PKEY_VALUE_PARTIAL_INFORMATION info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(scratch);
    ULONG count = info->DataLength < *length ? info->DataLength : *length;
    RtlCopyMemory(destination, info->Data, count);
  }
  if (resultLength != 0) *length = resultLength - kPartialInfoHeader;
  ExFreePoolWithTag(scratch, 0);
  return status;
}

NTSTATUS ReadStringParameter(HANDLE key, PCWSTR valueName, PWSTR *value) {
  ULONG length = 0;
  NTSTATUS status = QueryValueData(key, valueName, &length, NULL);
  if (length == 0) {
    *value = NULL;
    return status;
  }
  // Rounded up to whole characters plus a zero character, so that data of odd length or
  // without a terminator still reads back as a terminated string inside the block.
  const ULONG size = ((length + 1) & ~1UL) + sizeof(WCHAR);
  if (size < length) {
    *value = NULL;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PWSTR buffer = static_cast<PWSTR>(AllocateNonPaged(size, TAG_REGISTRY_STRING));
  if (!buffer) {
    *value = NULL;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(buffer, size);
  status = QueryValueData(key, valueName, &length, buffer);
  if (status != STATUS_SUCCESS) {
    ExFreePoolWithTag(buffer, 0);
    *value = NULL;
    return status;
  }
  *value = buffer;
  return status;
}

NTSTATUS ReadParameters(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDevice, DriverParameters *p) {
  HANDLE key;
  NTSTATUS status = IoOpenDeviceRegistryKey(physicalDevice, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
  if (!NT_SUCCESS(status)) {
    WriteEventLog(driverObject, EVENT_MSG_ERROR, "Unable to open device-specific registry key.");
    return status;
  }
  ReadStringParameter(key, XR_W("DriverUserInterfaceGuid"), &p->userInterfaceGuid);
  ReadStringParameter(key, XR_W("DriverDeviceBaseName"), &p->deviceBaseName);
  ReadStringParameter(key, XR_W("FxFwFile"), &p->firmwareFile);

  p->requestTimeout = ReadDwordParameter(key, ROW_REQUEST_TIMEOUT);
  p->shortTransferOk = ReadDwordParameter(key, ROW_SHORT_TRANSFER_OK) != 0;
  p->options = 0;
  if (ReadDwordParameter(key, ROW_UNCONFIGURE_ON_CLOSE)) p->options |= OPTION_UNCONFIGURE_ON_CLOSE;
  if (ReadDwordParameter(key, ROW_RESET_DEVICE_ON_CLOSE)) p->options |= OPTION_RESET_ON_CLOSE;
  if (ReadDwordParameter(key, ROW_ENABLE_REMOTE_WAKEUP)) p->options |= OPTION_REMOTE_WAKEUP;

  ULONG packets = ReadDwordParameter(key, ROW_MAX_ISO_PACKETS);
  if (packets < 16) packets = 16;
  if (packets > 1024) packets = 1024;
  p->maxIsoPackets = packets;
  p->isoContextSize = 12 * packets + 152;

  ULONG querySize = ReadDwordParameter(key, ROW_CONFIG_DESC_MIN_QUERY_SIZE);
  p->configDescMinQuerySize = querySize > 4096 ? 4096 : querySize;

  p->powerStateOnOpen = PowerStateFromRegistry(ReadDwordParameter(key, ROW_POWER_STATE_ON_OPEN));
  p->powerStateOnClose = PowerStateFromRegistry(ReadDwordParameter(key, ROW_POWER_STATE_ON_CLOSE));
  p->minPowerStateUsed = PowerStateFromRegistry(ReadDwordParameter(key, ROW_MIN_POWER_STATE_USED));
  p->minPowerStateUnused = PowerStateFromRegistry(ReadDwordParameter(key, ROW_MIN_POWER_STATE_UNUSED));
  p->abortPipesOnPowerDown = ReadDwordParameter(key, ROW_ABORT_PIPES_ON_POWER_DOWN) != 0;
  p->suppressPnPRemoveDlg = ReadDwordParameter(key, ROW_SUPPRESS_PNP_REMOVE_DLG) != 0;
  p->deferCancelledIrps = ReadDwordParameter(key, ROW_DEFER_CANCELLED_IRPS) != 0;
  p->checkPidOnUnconfig = ReadDwordParameter(key, ROW_CHECK_PID_ON_UNCONFIG) != 0;
  p->configIndex = ReadDwordParameter(key, ROW_CONFIG_INDEX);
  p->interfaceNumber = ReadDwordParameter(key, ROW_INTERFACE);
  p->alternateSetting = ReadDwordParameter(key, ROW_ALTERNATE_SETTING);
  p->maxTransferSize = ReadDwordParameter(key, ROW_MAX_TRANSFER_SIZE);
  p->disableDefaultInterface = ReadDwordParameter(key, ROW_DISABLE_DEFAULT_INTERFACE) != 0;
  p->fxBootloaderCheck = ReadDwordParameter(key, ROW_FX_BOOTLOADER_CHECK) != 0;
  p->fxExtRamBase = ReadDwordParameter(key, ROW_FX_EXT_RAM_BASE);
  p->hideDevNodeWhenStarted = ReadDwordParameter(key, ROW_HIDE_DEV_NODE_WHEN_STARTED) != 0;

  ZwClose(key);
  return status;
}

VOID FreeParameterStrings(DriverParameters *p) {
  if (p->deviceBaseName) ExFreePoolWithTag(p->deviceBaseName, 0);
  if (p->userInterfaceGuid) ExFreePoolWithTag(p->userInterfaceGuid, 0);
  if (p->firmwareFile) ExFreePoolWithTag(p->firmwareFile, 0);
  p->deviceBaseName = p->userInterfaceGuid = p->firmwareFile = NULL;
}
