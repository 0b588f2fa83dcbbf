// Per-device settings from the device's hardware registry key, read once at AddDevice.
#pragma once
#include "platform/platform.h"

constexpr ULONG OPTION_RESET_ON_CLOSE = 1;
constexpr ULONG OPTION_UNCONFIGURE_ON_CLOSE = 2;
constexpr ULONG OPTION_REMOTE_WAKEUP = 4;

struct ParameterRow {
  PCWSTR name;
  ULONG defaultValue;
  UCHAR writeDefaultBack;  // 1: a value that cannot be read gets the default written back
};

enum ParameterRowNumber : ULONG {
  ROW_REQUEST_TIMEOUT = 0,
  ROW_SHORT_TRANSFER_OK,
  ROW_UNCONFIGURE_ON_CLOSE,
  ROW_RESET_DEVICE_ON_CLOSE,
  ROW_ENABLE_REMOTE_WAKEUP,
  ROW_MAX_ISO_PACKETS,
  ROW_CONFIG_DESC_MIN_QUERY_SIZE,
  ROW_POWER_STATE_ON_OPEN,
  ROW_POWER_STATE_ON_CLOSE,
  ROW_MIN_POWER_STATE_USED,
  ROW_MIN_POWER_STATE_UNUSED,
  ROW_ABORT_PIPES_ON_POWER_DOWN,
  ROW_SUPPRESS_PNP_REMOVE_DLG,
  ROW_DEFER_CANCELLED_IRPS,
  ROW_CHECK_PID_ON_UNCONFIG,
  ROW_CONFIG_INDEX,
  ROW_INTERFACE,
  ROW_ALTERNATE_SETTING,
  ROW_MAX_TRANSFER_SIZE,
  ROW_DISABLE_DEFAULT_INTERFACE,
  ROW_FX_BOOTLOADER_CHECK,
  ROW_FX_EXT_RAM_BASE,
  ROW_HIDE_DEV_NODE_WHEN_STARTED,
  PARAMETER_ROW_COUNT
};

extern const ParameterRow ParameterTable[PARAMETER_ROW_COUNT];

struct DriverParameters {
  PWSTR deviceBaseName;     // null: the device is unnamed
  PWSTR userInterfaceGuid;  // class of a second device interface, or null
  PWSTR firmwareFile;       // firmware to load at start, or null
  ULONG requestTimeout;     // ms; 0: no time-out
  ULONG options;            // OPTION_*
  ULONG maxIsoPackets;      // 16..1024
  ULONG configDescMinQuerySize;  // 0..4096
  ULONG isoContextSize;     // 12 * maxIsoPackets + 152
  ULONG configIndex;        // 255: none
  ULONG interfaceNumber;
  ULONG alternateSetting;
  ULONG maxTransferSize;
  ULONG fxExtRamBase;
  ULONG powerStateOnOpen;     // DEVICE_POWER_STATE 1..4
  ULONG powerStateOnClose;    // 1..4
  ULONG minPowerStateUsed;    // 1..4
  ULONG minPowerStateUnused;  // 1..4
  BOOLEAN abortPipesOnPowerDown;
  BOOLEAN suppressPnPRemoveDlg;
  BOOLEAN shortTransferOk;
  BOOLEAN deferCancelledIrps;
  BOOLEAN checkPidOnUnconfig;
  BOOLEAN disableDefaultInterface;
  BOOLEAN fxBootloaderCheck;
  BOOLEAN hideDevNodeWhenStarted;
};

// Returns the status of opening the key; the block must be zero-filled by the caller.
NTSTATUS ReadParameters(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDevice, DriverParameters *parameters);
ULONG ReadDwordParameter(HANDLE key, ULONG row);
NTSTATUS ReadStringParameter(HANDLE key, PCWSTR valueName, PWSTR *value);
NTSTATUS QueryValueData(HANDLE key, PCWSTR valueName, ULONG *length, PVOID destination);
// Frees the three strings of a block and clears them.
VOID FreeParameterStrings(DriverParameters *parameters);
