// The current configuration: its interface and pipe records, its selection and release, the
// configuration descriptor. Every routine runs at PASSIVE_LEVEL with deviceMutex held; an IRP
// argument carries the bus requests in its next stack location and is neither completed nor
// freed.
#pragma once
#include "include/xrusb/ioctl.h"
#include "platform/platform.h"

struct DeviceExtension;
struct OpenHandle;

// The fixed part of USBD_INTERFACE_INFORMATION, before its pipe array.
struct InterfaceInformationHead {
  USHORT Length;
  UCHAR InterfaceNumber;
  UCHAR AlternateSetting;
  UCHAR Class;
  UCHAR SubClass;
  UCHAR Protocol;
  UCHAR Reserved;
  USBD_INTERFACE_HANDLE InterfaceHandle;
  ULONG NumberOfPipes;
};

struct InterfaceContext {
  LIST_ENTRY listEntry;  // in interfaceList
  USBD_CONFIGURATION_HANDLE configurationHandle;
  InterfaceInformationHead interfaceInfo;
};

// One rate-statistics sample.
struct PipeSample {
  ULONG byteCount;
  ULONG tickCount;  // low 32 bits
};

struct PipeContext {
  LIST_ENTRY listEntry;  // in pipeList
  // 1 while listed, +1 per transfer referring to it; changed only atomically.
  volatile LONG referenceCount;
  OpenHandle *boundHandle;
  InterfaceContext *owningInterface;
  USBD_PIPE_INFORMATION pipeInfo;
  ULONGLONG bytesTransferred;
  ULONG requestsSucceeded;
  ULONG requestsFailed;
  ULONG averagingInterval;  // ms
  ULONG averagingTicks;
  ULONG timeIncrement;  // 100 ns per tick
  PipeSample *sampleBuffer;
  PipeSample *sampleBufferEnd;
  PipeSample *sampleWrite;
  ULONG sampleBufferWrapped;
  BOOLEAN shortTransferOk;
  BOOLEAN statisticsEnabled;  // only while sampleBuffer is set
  BOOLEAN abortNeeded;
};

static_assert(offsetof(InterfaceInformationHead, InterfaceHandle) == offsetof(USBD_INTERFACE_INFORMATION, InterfaceHandle),
              "InterfaceHandle where the bus driver puts it");
static_assert(offsetof(InterfaceInformationHead, NumberOfPipes) == offsetof(USBD_INTERFACE_INFORMATION, NumberOfPipes),
              "NumberOfPipes where the bus driver puts it");
static_assert(sizeof(InterfaceInformationHead) <= offsetof(USBD_INTERFACE_INFORMATION, Pipes), "head only");

// The request must name every interface of the configuration (ERR_INVALID_PARAMETER otherwise).
NTSTATUS SetConfiguration(DeviceExtension *dx, PIRP irp, const SetConfigurationRequest *request);
// Interfaces the request does not name are selected in alternate setting 0, with the first
// entry's MaximumTransferSize: the start-time configuration names one.
NTSTATUS SetConfigurationNamingEveryInterface(DeviceExtension *dx, PIRP irp, const SetConfigurationRequest *request);
// On success *block is a freshly allocated non-paged buffer the caller owns; on failure *length is 0 and
// *block null.
NTSTATUS ReadConfigurationDescriptor(DeviceExtension *dx, PIRP irp, UCHAR index, ULONG *length,
                                     PUSB_CONFIGURATION_DESCRIPTOR *block);
NTSTATUS CreateInterfaceRecords(DeviceExtension *dx, PIRP irp, PUSBD_INTERFACE_INFORMATION info,
                                USBD_CONFIGURATION_HANDLE configurationHandle);
VOID FreeInterfaceRecords(DeviceExtension *dx, PIRP irp, InterfaceContext *interfaceRecord);
// Without a word to the bus; also teardown's release of the records.
VOID FreeAllConfigurationRecords(DeviceExtension *dx);
// selectNull: also tell the device (the null configuration). Returns that request's status.
NTSTATUS Unconfigure(DeviceExtension *dx, PIRP irp, BOOLEAN selectNull);
NTSTATUS GetConfigurationInfo(DeviceExtension *dx, ConfigurationInfo *info);
NTSTATUS StoreConfigDescriptor(DeviceExtension *dx, const VOID *buffer, ULONG length);
// Drops one reference; the last frees the samples and the record. Up to DISPATCH_LEVEL.
VOID DereferencePipe(PipeContext *pipe);
