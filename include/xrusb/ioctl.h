/* The control codes of an xrusb device and the request and result records they carry.
 *
 * Every code has device type 0x8094, any access, and its transfer method in the low two bits
 * (0 buffered, 1 in-direct, 2 out-direct). For the direct methods the data buffer is the output
 * buffer of DeviceIoControl. Records are little-endian with fixed offsets; their sizes are
 * minimum sizes: a longer result buffer gets only the record.
 * Usable from C and C++, user mode and kernel mode. */
#ifndef XRUSB_IOCTL_H
#define XRUSB_IOCTL_H

#include <stddef.h>
#include <stdint.h>

#define XRUSB_DEVICE_TYPE 0x8094u

#define IOCTL_GET_DESCRIPTOR                 0x80942006u
#define IOCTL_SET_DESCRIPTOR                 0x80942009u
#define IOCTL_SET_FEATURE                    0x8094200Cu
#define IOCTL_CLEAR_FEATURE                  0x80942010u
#define IOCTL_GET_STATUS                     0x80942014u
#define IOCTL_GET_CONFIGURATION              0x80942018u
#define IOCTL_GET_INTERFACE                  0x8094201Cu
#define IOCTL_STORE_CONFIG_DESCRIPTOR        0x80942020u
#define IOCTL_SET_CONFIGURATION              0x80942024u
#define IOCTL_UNCONFIGURE_DEVICE             0x80942028u
#define IOCTL_SET_INTERFACE                  0x8094202Cu
#define IOCTL_CLASS_OR_VENDOR_IN_REQUEST     0x80942032u
#define IOCTL_CLASS_OR_VENDOR_OUT_REQUEST    0x80942035u
#define IOCTL_GET_DEVICE_PARAMETERS          0x8094203Cu
#define IOCTL_SET_DEVICE_PARAMETERS          0x80942040u
#define IOCTL_GET_CONFIGURATION_INFO         0x80942050u
#define IOCTL_RESET_DEVICE                   0x80942054u
#define IOCTL_GET_CURRENT_FRAME_NUMBER       0x80942058u
#define IOCTL_SET_DEVICE_POWER_STATE         0x8094205Cu
#define IOCTL_GET_DEVICE_POWER_STATE         0x80942060u
#define IOCTL_GET_BANDWIDTH_INFO             0x80942064u
#define IOCTL_GET_DEVICE_INFO                0x80942068u
#define IOCTL_GET_DRIVER_INFO                0x8094206Cu
#define IOCTL_CYCLE_PORT                     0x80942070u
#define IOCTL_BIND_PIPE                      0x80942078u
#define IOCTL_UNBIND_PIPE                    0x8094207Cu
#define IOCTL_RESET_PIPE                     0x80942080u
#define IOCTL_ABORT_PIPE                     0x80942084u
#define IOCTL_GET_PIPE_PARAMETERS            0x8094208Cu
#define IOCTL_SET_PIPE_PARAMETERS            0x80942090u
#define IOCTL_SETUP_PIPE_STATISTICS          0x80942094u
#define IOCTL_QUERY_PIPE_STATISTICS          0x80942098u
#define IOCTL_PIPE_CONTROL_TRANSFER_IN       0x809420A2u
#define IOCTL_PIPE_CONTROL_TRANSFER_OUT      0x809420A5u
#define IOCTL_ACQUIRE_DEVICE                 0x809420C8u
#define IOCTL_RELEASE_DEVICE                 0x809420CCu
#define IOCTL_STALL_EXECUTION                0x80942192u

/* X(name) for each code, in order of value, for tables of names. */
#define XRUSB_CONTROL_CODES(X) \
  X(IOCTL_GET_DESCRIPTOR) \
  X(IOCTL_SET_DESCRIPTOR) \
  X(IOCTL_SET_FEATURE) \
  X(IOCTL_CLEAR_FEATURE) \
  X(IOCTL_GET_STATUS) \
  X(IOCTL_GET_CONFIGURATION) \
  X(IOCTL_GET_INTERFACE) \
  X(IOCTL_STORE_CONFIG_DESCRIPTOR) \
  X(IOCTL_SET_CONFIGURATION) \
  X(IOCTL_UNCONFIGURE_DEVICE) \
  X(IOCTL_SET_INTERFACE) \
  X(IOCTL_CLASS_OR_VENDOR_IN_REQUEST) \
  X(IOCTL_CLASS_OR_VENDOR_OUT_REQUEST) \
  X(IOCTL_GET_DEVICE_PARAMETERS) \
  X(IOCTL_SET_DEVICE_PARAMETERS) \
  X(IOCTL_GET_CONFIGURATION_INFO) \
  X(IOCTL_RESET_DEVICE) \
  X(IOCTL_GET_CURRENT_FRAME_NUMBER) \
  X(IOCTL_SET_DEVICE_POWER_STATE) \
  X(IOCTL_GET_DEVICE_POWER_STATE) \
  X(IOCTL_GET_BANDWIDTH_INFO) \
  X(IOCTL_GET_DEVICE_INFO) \
  X(IOCTL_GET_DRIVER_INFO) \
  X(IOCTL_CYCLE_PORT) \
  X(IOCTL_BIND_PIPE) \
  X(IOCTL_UNBIND_PIPE) \
  X(IOCTL_RESET_PIPE) \
  X(IOCTL_ABORT_PIPE) \
  X(IOCTL_GET_PIPE_PARAMETERS) \
  X(IOCTL_SET_PIPE_PARAMETERS) \
  X(IOCTL_SETUP_PIPE_STATISTICS) \
  X(IOCTL_QUERY_PIPE_STATISTICS) \
  X(IOCTL_PIPE_CONTROL_TRANSFER_IN) \
  X(IOCTL_PIPE_CONTROL_TRANSFER_OUT) \
  X(IOCTL_ACQUIRE_DEVICE) \
  X(IOCTL_RELEASE_DEVICE) \
  X(IOCTL_STALL_EXECUTION)

/* Options bits of DeviceParameters; the others are kept but do nothing. */
#define XRUSB_OPTION_RESET_ON_CLOSE 0x1u
#define XRUSB_OPTION_UNCONFIGURE_ON_CLOSE 0x2u
#define XRUSB_OPTION_REMOTE_WAKEUP 0x4u

/* Result of IOCTL_GET_DEVICE_PARAMETERS, request of IOCTL_SET_DEVICE_PARAMETERS. */
typedef struct DeviceParameters {
  uint32_t Options;
  uint32_t RequestTimeout; /* ms for each request to the device; 0: none */
} DeviceParameters;

/* 0 = D0 ... 3 = D3. Request of IOCTL_SET_DEVICE_POWER_STATE, result of the get. */
typedef struct PowerStateValue {
  uint32_t PowerState;
} PowerStateValue;

/* Request of IOCTL_STALL_EXECUTION. Longer stalls are refused with ERR_INVALID_PARAMETER and
 * nothing is stalled: a delay of milliseconds belongs in the application (Sleep), not in a
 * busy processor holding the device. */
typedef struct StallRequest {
  uint32_t Microseconds;
} StallRequest;
#define XRUSB_STALL_MAX_MICROSECONDS 1000u

/* Result of IOCTL_GET_DRIVER_INFO. Flags defines no bits yet and is 0. */
typedef struct DriverInfo {
  uint16_t ApiVersion;
  uint16_t DriverVersion;
  uint32_t DriverBuild;
  uint32_t Flags;
} DriverInfo;
#define XRUSB_API_VERSION 0x0231u
#define XRUSB_DRIVER_VERSION 0x024Cu
#define XRUSB_DRIVER_BUILD 0u
#define XRUSB_DRIVER_FLAGS 0u

/* Result of IOCTL_GET_CURRENT_FRAME_NUMBER. */
typedef struct CurrentFrameNumber {
  uint32_t FrameNumber;
} CurrentFrameNumber;

/* Result of IOCTL_GET_BANDWIDTH_INFO, as the bus driver reports the bus. */
typedef struct BandwidthInfo {
  uint32_t TotalBandwidth;
  uint32_t ConsumedBandwidth;
  uint32_t Reserved[2]; /* 0 */
} BandwidthInfo;

/* Result of IOCTL_GET_DEVICE_INFO. */
typedef struct DeviceInfo {
  uint32_t Flags; /* DEVICE_INFO_ */
  uint32_t OpenHandleCount;
  uint32_t Reserved[2]; /* 0 */
} DeviceInfo;
/* Known only when the bus driver offers version 1 of its direct-call interface. */
#define DEVICE_INFO_HIGH_SPEED 0x00100000u

/* Recipient of a device request (the low bits of bmRequestType). */
#define XRUSB_RECIPIENT_DEVICE 0u
#define XRUSB_RECIPIENT_INTERFACE 1u
#define XRUSB_RECIPIENT_ENDPOINT 2u
#define XRUSB_RECIPIENT_OTHER 3u /* not for descriptors */

/* Type of a ClassOrVendorRequest; standard requests have their own codes. */
#define XRUSB_REQUEST_TYPE_CLASS 1u
#define XRUSB_REQUEST_TYPE_VENDOR 2u

/* Flags bit of the requests that move data: a transfer shorter than the buffer is no error. */
#define SHORT_TRANSFER_OK 0x00010000u
/* IsoTransferHeader Flags bit: start at the next possible frame, StartFrame ignored. */
#define ISO_START_ASAP 0x00020000u

/* Request of IOCTL_SETUP_PIPE_STATISTICS. */
typedef struct StatisticsSetup {
  uint32_t AveragingInterval; /* ms of the rate's window; 0 stops the statistic; below 10 counts as 10 */
  uint8_t Reserved[8];        /* not read */
} StatisticsSetup;
#define XRUSB_MAX_AVERAGING_INTERVAL 5000u

/* Request of IOCTL_QUERY_PIPE_STATISTICS: the counters to set to 0 once they are read. */
typedef struct StatisticsQuery {
  uint32_t Flags; /* STATISTICS_RESET_ */
} StatisticsQuery;
#define STATISTICS_RESET_BYTES 0x1u
#define STATISTICS_RESET_SUCCEEDED 0x2u
#define STATISTICS_RESET_FAILED 0x4u

/* Result of IOCTL_QUERY_PIPE_STATISTICS, written over its request. */
typedef struct PipeStatistics {
  uint32_t ActualAveragingInterval; /* ms over which AverageRate was measured; 0: not measured */
  uint32_t AverageRate;             /* bytes per second */
  uint64_t BytesTransferred;
  uint32_t RequestsSucceeded;
  uint32_t RequestsFailed; /* cancelled requests are not failures */
  uint32_t Reserved[2];    /* 0 */
} PipeStatistics;

#pragma pack(push, 1)

/* Request of IOCTL_GET_DESCRIPTOR and IOCTL_SET_DESCRIPTOR; the descriptor travels in the data
 * buffer, whose length is the length asked for. */
typedef struct DescriptorRequest {
  uint32_t Recipient;
  uint8_t DescriptorType;  /* wValue high byte */
  uint8_t DescriptorIndex; /* wValue low byte */
  uint16_t LanguageId;     /* wIndex: for string descriptors */
} DescriptorRequest;

/* Request of IOCTL_SET_FEATURE and IOCTL_CLEAR_FEATURE. */
typedef struct FeatureRequest {
  uint32_t Recipient;
  uint16_t FeatureSelector;
  uint16_t Index; /* interface or endpoint */
} FeatureRequest;

/* Request of IOCTL_GET_STATUS; the 2-byte status word comes back at offset 0 of the same buffer. */
typedef struct StatusRequest {
  uint32_t Recipient;
  uint16_t Index;
} StatusRequest;

/* Request of IOCTL_CLASS_OR_VENDOR_IN_REQUEST and _OUT_REQUEST; the data stage is the data buffer
 * (none without one). */
typedef struct ClassOrVendorRequest {
  uint32_t Flags; /* SHORT_TRANSFER_OK; other bits ignored */
  uint32_t Type;  /* XRUSB_REQUEST_TYPE_ */
  uint32_t Recipient;
  uint8_t RequestTypeReservedBits; /* merged into bmRequestType by the bus driver */
  uint8_t Request;
  uint16_t Value;
  uint16_t Index;
} ClassOrVendorRequest;

/* Request of IOCTL_PIPE_CONTROL_TRANSFER_IN and _OUT on a bound control pipe; the data stage is
 * the data buffer (none without one). The setup packet goes to the device as it stands. */
typedef struct PipeControlTransferRequest {
  uint32_t Flags; /* SHORT_TRANSFER_OK; other bits ignored */
  uint8_t SetupPacket[8];
} PipeControlTransferRequest;

#pragma pack(pop)

/* Interfaces one request can select, and entries of each list in ConfigurationInfo. */
#define XRUSB_MAX_INTERFACES 32u
#define XRUSB_MAX_PIPES 32u

/* One interface of IOCTL_SET_CONFIGURATION; also the request of IOCTL_SET_INTERFACE. */
typedef struct InterfaceSetting {
  uint16_t InterfaceNumber;
  uint16_t AlternateSetting;
  uint32_t MaximumTransferSize; /* for every pipe of the interface */
} InterfaceSetting;

/* Request of IOCTL_SET_CONFIGURATION. The low byte of ConfigurationIndex is the descriptor
 * index; the whole value is what a later request is compared with. */
typedef struct SetConfigurationRequest {
  uint16_t ConfigurationIndex;
  uint16_t NumberOfInterfaces; /* 1..32 valid entries of InterfaceList */
  InterfaceSetting InterfaceList[XRUSB_MAX_INTERFACES];
} SetConfigurationRequest;

typedef struct InterfaceSummary {
  uint8_t InterfaceNumber;
  uint8_t AlternateSetting;
  uint8_t Class;
  uint8_t SubClass;
  uint8_t Protocol;
  uint8_t NumberOfPipes;
  uint8_t Reserved[2];
} InterfaceSummary;

typedef struct PipeSummary {
  uint32_t PipeType; /* 0 control, 1 isochronous, 2 bulk, 3 interrupt */
  uint32_t MaximumTransferSize;
  uint16_t MaximumPacketSize;
  uint8_t EndpointAddress;
  uint8_t Interval;
  uint8_t InterfaceNumber;
  uint8_t Reserved[3];
} PipeSummary;

/* Result of IOCTL_GET_CONFIGURATION_INFO: the interfaces and pipes the driver holds, in the
 * order they were selected; entries past the counts are zero. */
typedef struct ConfigurationInfo {
  uint32_t NumberOfInterfaces;
  uint32_t NumberOfPipes;
  InterfaceSummary Interfaces[XRUSB_MAX_INTERFACES];
  PipeSummary Pipes[XRUSB_MAX_PIPES];
} ConfigurationInfo;

/* Request of IOCTL_BIND_PIPE; bytes after the first are ignored. */
typedef struct BindPipeRequest {
  uint8_t EndpointAddress; /* bit 7 set: IN */
} BindPipeRequest;

/* Result of IOCTL_GET_PIPE_PARAMETERS, request of IOCTL_SET_PIPE_PARAMETERS. */
typedef struct PipeParameters {
  uint32_t Flags; /* SHORT_TRANSFER_OK; other bits read as 0 and are ignored */
} PipeParameters;

/* An isochronous read or write buffer begins with this header, followed directly by
 * NumberOfPackets IsoPacketDescriptor entries; the packets' data lies anywhere behind them. */
typedef struct IsoTransferHeader {
  uint32_t NumberOfPackets;
  uint32_t Flags;      /* SHORT_TRANSFER_OK, ISO_START_ASAP; other bits ignored */
  uint32_t StartFrame; /* in: frame to start at without ISO_START_ASAP; out: frame started at */
  uint32_t ErrorCount; /* out: packets that failed */
} IsoTransferHeader;

typedef struct IsoPacketDescriptor {
  uint32_t Offset; /* from the start of the whole buffer, header included; no lower than packet 0's */
  uint32_t Length; /* in: bytes of the packet; out: bytes transferred */
  uint32_t Status; /* out: 0, or the packet's USB status in the driver's convention */
} IsoPacketDescriptor;

/* IOCTL_GET_INTERFACE takes the interface number as a uint16_t; it and IOCTL_GET_CONFIGURATION
 * return one byte. */

#ifdef __cplusplus
#define XRUSB_STATIC_ASSERT_(e, m) static_assert(e, m)
#else
#define XRUSB_STATIC_ASSERT_(e, m) _Static_assert(e, m)
#endif
XRUSB_STATIC_ASSERT_(sizeof(DeviceParameters) == 8, "DeviceParameters is 8 bytes");
XRUSB_STATIC_ASSERT_(offsetof(DeviceParameters, RequestTimeout) == 4, "RequestTimeout at 4");
XRUSB_STATIC_ASSERT_(sizeof(PowerStateValue) == 4, "PowerStateValue is 4 bytes");
XRUSB_STATIC_ASSERT_(sizeof(StallRequest) == 4, "StallRequest is 4 bytes");
XRUSB_STATIC_ASSERT_(sizeof(DriverInfo) == 12, "DriverInfo is 12 bytes");
XRUSB_STATIC_ASSERT_(offsetof(DriverInfo, DriverVersion) == 2, "DriverVersion at 2");
XRUSB_STATIC_ASSERT_(offsetof(DriverInfo, DriverBuild) == 4, "DriverBuild at 4");
XRUSB_STATIC_ASSERT_(offsetof(DriverInfo, Flags) == 8, "Flags at 8");
XRUSB_STATIC_ASSERT_(sizeof(CurrentFrameNumber) == 4, "CurrentFrameNumber is 4 bytes");
XRUSB_STATIC_ASSERT_(sizeof(BandwidthInfo) == 16, "BandwidthInfo is 16 bytes");
XRUSB_STATIC_ASSERT_(offsetof(BandwidthInfo, ConsumedBandwidth) == 4, "ConsumedBandwidth at 4");
XRUSB_STATIC_ASSERT_(sizeof(DeviceInfo) == 16, "DeviceInfo is 16 bytes");
XRUSB_STATIC_ASSERT_(offsetof(DeviceInfo, OpenHandleCount) == 4, "OpenHandleCount at 4");
XRUSB_STATIC_ASSERT_(sizeof(DescriptorRequest) == 8, "DescriptorRequest is 8 bytes");
XRUSB_STATIC_ASSERT_(offsetof(DescriptorRequest, DescriptorType) == 4, "DescriptorType at 4");
XRUSB_STATIC_ASSERT_(offsetof(DescriptorRequest, DescriptorIndex) == 5, "DescriptorIndex at 5");
XRUSB_STATIC_ASSERT_(offsetof(DescriptorRequest, LanguageId) == 6, "LanguageId at 6");
XRUSB_STATIC_ASSERT_(sizeof(FeatureRequest) == 8, "FeatureRequest is 8 bytes");
XRUSB_STATIC_ASSERT_(offsetof(FeatureRequest, FeatureSelector) == 4, "FeatureSelector at 4");
XRUSB_STATIC_ASSERT_(offsetof(FeatureRequest, Index) == 6, "Index at 6");
XRUSB_STATIC_ASSERT_(sizeof(StatusRequest) == 6, "StatusRequest is 6 bytes");
XRUSB_STATIC_ASSERT_(offsetof(StatusRequest, Index) == 4, "Index at 4");
XRUSB_STATIC_ASSERT_(sizeof(ClassOrVendorRequest) == 18, "ClassOrVendorRequest is 18 bytes");
XRUSB_STATIC_ASSERT_(offsetof(ClassOrVendorRequest, Type) == 4, "Type at 4");
XRUSB_STATIC_ASSERT_(offsetof(ClassOrVendorRequest, Recipient) == 8, "Recipient at 8");
XRUSB_STATIC_ASSERT_(offsetof(ClassOrVendorRequest, RequestTypeReservedBits) == 12, "RequestTypeReservedBits at 12");
XRUSB_STATIC_ASSERT_(offsetof(ClassOrVendorRequest, Request) == 13, "Request at 13");
XRUSB_STATIC_ASSERT_(offsetof(ClassOrVendorRequest, Value) == 14, "Value at 14");
XRUSB_STATIC_ASSERT_(offsetof(ClassOrVendorRequest, Index) == 16, "Index at 16");
XRUSB_STATIC_ASSERT_(sizeof(PipeControlTransferRequest) == 12, "PipeControlTransferRequest is 12 bytes");
XRUSB_STATIC_ASSERT_(offsetof(PipeControlTransferRequest, SetupPacket) == 4, "SetupPacket at 4");
XRUSB_STATIC_ASSERT_(sizeof(StatisticsSetup) == 12, "StatisticsSetup is 12 bytes");
XRUSB_STATIC_ASSERT_(sizeof(StatisticsQuery) == 4, "StatisticsQuery is 4 bytes");
XRUSB_STATIC_ASSERT_(sizeof(PipeStatistics) == 32, "PipeStatistics is 32 bytes");
XRUSB_STATIC_ASSERT_(offsetof(PipeStatistics, BytesTransferred) == 8, "BytesTransferred at 8");
XRUSB_STATIC_ASSERT_(offsetof(PipeStatistics, RequestsSucceeded) == 16, "RequestsSucceeded at 16");
XRUSB_STATIC_ASSERT_(offsetof(PipeStatistics, RequestsFailed) == 20, "RequestsFailed at 20");
XRUSB_STATIC_ASSERT_(sizeof(InterfaceSetting) == 8, "InterfaceSetting is 8 bytes");
XRUSB_STATIC_ASSERT_(offsetof(InterfaceSetting, AlternateSetting) == 2, "AlternateSetting at 2");
XRUSB_STATIC_ASSERT_(offsetof(InterfaceSetting, MaximumTransferSize) == 4, "MaximumTransferSize at 4");
XRUSB_STATIC_ASSERT_(sizeof(SetConfigurationRequest) == 260, "SetConfigurationRequest is 260 bytes");
XRUSB_STATIC_ASSERT_(offsetof(SetConfigurationRequest, NumberOfInterfaces) == 2, "NumberOfInterfaces at 2");
XRUSB_STATIC_ASSERT_(offsetof(SetConfigurationRequest, InterfaceList) == 4, "InterfaceList at 4");
XRUSB_STATIC_ASSERT_(sizeof(InterfaceSummary) == 8, "InterfaceSummary is 8 bytes");
XRUSB_STATIC_ASSERT_(offsetof(InterfaceSummary, NumberOfPipes) == 5, "NumberOfPipes at 5");
XRUSB_STATIC_ASSERT_(sizeof(PipeSummary) == 16, "PipeSummary is 16 bytes");
XRUSB_STATIC_ASSERT_(offsetof(PipeSummary, MaximumTransferSize) == 4, "MaximumTransferSize at 4");
XRUSB_STATIC_ASSERT_(offsetof(PipeSummary, MaximumPacketSize) == 8, "MaximumPacketSize at 8");
XRUSB_STATIC_ASSERT_(offsetof(PipeSummary, EndpointAddress) == 10, "EndpointAddress at 10");
XRUSB_STATIC_ASSERT_(offsetof(PipeSummary, Interval) == 11, "Interval at 11");
XRUSB_STATIC_ASSERT_(offsetof(PipeSummary, InterfaceNumber) == 12, "InterfaceNumber at 12");
XRUSB_STATIC_ASSERT_(sizeof(ConfigurationInfo) == 776, "ConfigurationInfo is 776 bytes");
XRUSB_STATIC_ASSERT_(offsetof(ConfigurationInfo, Interfaces) == 8, "Interfaces at 8");
XRUSB_STATIC_ASSERT_(offsetof(ConfigurationInfo, Pipes) == 264, "Pipes at 264");
XRUSB_STATIC_ASSERT_(sizeof(BindPipeRequest) == 1, "BindPipeRequest is 1 byte");
XRUSB_STATIC_ASSERT_(sizeof(PipeParameters) == 4, "PipeParameters is 4 bytes");
XRUSB_STATIC_ASSERT_(sizeof(IsoTransferHeader) == 16, "IsoTransferHeader is 16 bytes");
XRUSB_STATIC_ASSERT_(offsetof(IsoTransferHeader, StartFrame) == 8, "StartFrame at 8");
XRUSB_STATIC_ASSERT_(offsetof(IsoTransferHeader, ErrorCount) == 12, "ErrorCount at 12");
XRUSB_STATIC_ASSERT_(sizeof(IsoPacketDescriptor) == 12, "IsoPacketDescriptor is 12 bytes");
XRUSB_STATIC_ASSERT_(offsetof(IsoPacketDescriptor, Status) == 8, "Status at 8");
#undef XRUSB_STATIC_ASSERT_

#endif /* XRUSB_IOCTL_H */
