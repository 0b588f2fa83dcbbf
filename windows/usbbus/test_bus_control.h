// The test bus's control interface, \\.\XrusbTestBus: what a test uses to plug and unplug test
// devices, make an endpoint misbehave and read what a device has seen. Shared by the bus driver
// (kernel) and the tests (user mode); C-compatible, fixed layouts.
#pragma once
#include <stdint.h>

#define XRBUS_DEVICE_NAME L"\\Device\\XrusbTestBus"
#define XRBUS_LINK_NAME L"\\DosDevices\\XrusbTestBus"
#define XRBUS_USER_PATH L"\\\\.\\XrusbTestBus"

// CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900 + n, METHOD_BUFFERED, FILE_ANY_ACCESS), spelt out so that
// neither side needs the other's headers.
#define XRBUS_CODE(n) (0x00220000u | ((0x900u + (n)) << 2))
#define IOCTL_XRBUS_PLUG XRBUS_CODE(0)      // in XrbusPlug, out uint32_t port
#define IOCTL_XRBUS_UNPLUG XRBUS_CODE(1)    // in uint32_t port
#define IOCTL_XRBUS_FAULT XRBUS_CODE(2)     // in XrbusFault
#define IOCTL_XRBUS_HELD XRBUS_CODE(3)      // in uint32_t port, out uint32_t transfers held
#define IOCTL_XRBUS_COUNTERS XRBUS_CODE(4)  // in uint32_t port, out XrbusCounters

#define XRBUS_MAX_PORTS 8

typedef struct XrbusPlug {
  uint16_t productId;
  uint16_t reserved;
} XrbusPlug;

enum XrbusFaultKind {
  XRBUS_FAULT_NONE = 0,  // clears the endpoint's fault
  XRBUS_FAULT_STALL = 1,
  XRBUS_FAULT_NAK = 2,   // the transfer stays pending until cancelled or aborted
  XRBUS_FAULT_ERROR = 3, // fails with usbdStatus
};

typedef struct XrbusFault {
  uint32_t port;
  uint8_t endpoint;
  uint8_t kind;
  uint16_t reserved;
  uint32_t usbdStatus;
  uint32_t count;  // transactions that fail; 0: until cleared
  uint32_t skip;   // transactions that pass before the first that fails
} XrbusFault;

typedef struct XrbusCounters {
  uint64_t sourceBytes, sinkBytes, loopbackBytesIn, loopbackBytesOut;
  uint64_t interruptOutBytes, isoInPackets, isoInBytes, isoOutPackets, isoOutBytes;
  uint32_t interruptReports, resetCount, vendorRequests, pipeRequests;
  uint32_t loopbackDepth;
  uint8_t configuration;
  uint8_t reserved[3];
} XrbusCounters;
