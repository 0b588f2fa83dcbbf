#include "driver/config/configuration.h"

#include "driver/config/pipes.h"
#include "driver/control/sync_request.h"
#include "driver/core/device_extension.h"
#include "driver/core/driver.h"
#include "driver/core/kernel_utils.h"
#include "driver/core/open_handle.h"
#include "driver/core/pool_tags.h"
#include "driver/pnp_power/power.h"
#include "driver/transfer/request_queue.h"
#include "include/xrusb/status.h"

namespace {

constexpr ULONG CONFIG_DESCRIPTOR_HEAD = sizeof(USB_CONFIGURATION_DESCRIPTOR);
constexpr ULONG MAX_DESCRIPTOR_READS = 2;
constexpr UCHAR CONFIG_ATTRIBUTE_REMOTE_WAKEUP = 0x20;

PVOID AllocateZeroed(ULONG size, ULONG tag) {
  PVOID block = AllocateNonPaged(size, tag);
  if (block) RtlZeroMemory(block, size);
  return block;
}

NTSTATUS Submit(DeviceExtension *dx, PIRP irp, URB *urb) {
  urb->UrbHeader.Status = URB_STATUS_UNWRITTEN;
  if (dx->requestsBlocked) return ERR_DEVICE_NOT_READY;
  return SubmitUrbSync(dx, irp, urb, dx->parameters.requestTimeout);
}

USHORT TotalLength(const VOID *block) {
  USHORT total;
  RtlCopyMemory(&total, static_cast<const UCHAR *>(block) + 2, sizeof total);
  return total;
}

VOID UnlinkPipe(PipeContext *pipe) {
  RemoveEntryList(&pipe->listEntry);
  DereferencePipe(pipe);
}

}  // namespace

VOID DereferencePipe(PipeContext *pipe) {
  if (InterlockedDecrement(&pipe->referenceCount) != 0) return;
  if (pipe->sampleBuffer) ExFreePoolWithTag(pipe->sampleBuffer, TAG_PIPE_STATISTICS);
  ExFreePoolWithTag(pipe, TAG_PIPE_CONTEXT);
}

// The first read learns wTotalLength; a device whose second answer is longer still than the
// first announced is not trusted with a third.
NTSTATUS ReadConfigurationDescriptor(DeviceExtension *dx, PIRP irp, UCHAR index, ULONG *length,
                                     PUSB_CONFIGURATION_DESCRIPTOR *block) {
  *length = 0;
  *block = NULL;
  const ULONG minQuery = dx->parameters.configDescMinQuerySize;
  ULONG size = CONFIG_DESCRIPTOR_HEAD;
  ULONG expected = CONFIG_DESCRIPTOR_HEAD;
  for (ULONG attempts = 0;;) {
    PVOID buffer = AllocateZeroed(size, TAG_CONFIG_DESCRIPTOR_READ);
    if (!buffer) return ERR_NO_MEMORY;
    URB urb;
    RtlZeroMemory(&urb, sizeof urb);
    UsbBuildGetDescriptorRequest(&urb, USHORT(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, index, 0, buffer, NULL, size, NULL);
    const NTSTATUS status = Submit(dx, irp, &urb);
    if (!NT_SUCCESS(status)) {
      ExFreePoolWithTag(buffer, 0);
      return status;
    }
    const ULONG got = urb.UrbControlDescriptorRequest.TransferBufferLength;
    if (got != size && got != expected) {
      ExFreePoolWithTag(buffer, 0);
      return ERR_BAD_CONFIG_DESCRIPTOR;
    }
    const ULONG total = TotalLength(buffer);
    if (total <= size && size >= minQuery) {
      *length = got;
      *block = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer);
      return STATUS_SUCCESS;
    }
    expected = total;
    size = total > minQuery ? total : minQuery;
    ExFreePoolWithTag(buffer, 0);
    if (++attempts == MAX_DESCRIPTOR_READS) return ERR_BAD_CONFIG_DESCRIPTOR;
  }
}

NTSTATUS CreateInterfaceRecords(DeviceExtension *dx, PIRP irp, PUSBD_INTERFACE_INFORMATION info,
                                USBD_CONFIGURATION_HANDLE configurationHandle) {
  InterfaceContext *owner = static_cast<InterfaceContext *>(AllocateZeroed(sizeof(InterfaceContext), TAG_INTERFACE_CONTEXT));
  if (!owner) return ERR_NO_MEMORY;
  RtlCopyMemory(&owner->interfaceInfo, info, sizeof owner->interfaceInfo);
  owner->configurationHandle = configurationHandle;
  InsertTailList(&dx->interfaceList, &owner->listEntry);

  for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
    const USBD_PIPE_INFORMATION &answer = info->Pipes[i];
    if (!answer.PipeHandle) {
      FreeInterfaceRecords(dx, irp, owner);
      return ERR_NO_PIPE_HANDLE;
    }
    PipeContext *pipe = static_cast<PipeContext *>(AllocateZeroed(sizeof(PipeContext), TAG_PIPE_CONTEXT));
    if (!pipe) {
      FreeInterfaceRecords(dx, irp, owner);
      return ERR_NO_MEMORY;
    }
    pipe->shortTransferOk = dx->parameters.shortTransferOk;
    pipe->pipeInfo = answer;
    pipe->owningInterface = owner;
    InterlockedIncrement(&pipe->referenceCount);
    InsertTailList(&dx->pipeList, &pipe->listEntry);
  }
  return STATUS_SUCCESS;
}

VOID FreeInterfaceRecords(DeviceExtension *dx, PIRP irp, InterfaceContext *interfaceRecord) {
  for (PLIST_ENTRY e = dx->pipeList.Flink; e != &dx->pipeList;) {
    PipeContext *pipe = CONTAINING_RECORD(e, PipeContext, listEntry);
    e = e->Flink;
    if (pipe->owningInterface != interfaceRecord) continue;
    (VOID) SendAbortPipe(dx, irp, pipe);
    // By pipe, not by the bound handle: a handle that unbound may have left requests here, and
    // once the record goes no abort would reach them.
    CancelPipeRequests(dx, pipe);
    if (pipe->boundHandle) DissolveBinding(dx, pipe);
    UnlinkPipe(pipe);
  }
  RemoveEntryList(&interfaceRecord->listEntry);
  ExFreePoolWithTag(interfaceRecord, 0);
}

VOID FreeAllConfigurationRecords(DeviceExtension *dx) {
  while (!IsListEmpty(&dx->pipeList)) UnlinkPipe(CONTAINING_RECORD(dx->pipeList.Flink, PipeContext, listEntry));
  while (!IsListEmpty(&dx->interfaceList)) {
    PLIST_ENTRY e = RemoveHeadList(&dx->interfaceList);
    ExFreePoolWithTag(CONTAINING_RECORD(e, InterfaceContext, listEntry), 0);
  }
}

// Never stops half-way: the records go even when the device refuses the null configuration.
NTSTATUS Unconfigure(DeviceExtension *dx, PIRP irp, BOOLEAN selectNull) {
  for (PLIST_ENTRY e = dx->pipeList.Flink; e != &dx->pipeList; e = e->Flink) {
    PipeContext *pipe = CONTAINING_RECORD(e, PipeContext, listEntry);
    if (pipe->boundHandle) DissolveBinding(dx, pipe);
  }
  AbortAllPipes(dx, irp);

  NTSTATUS status = STATUS_SUCCESS;
  if (selectNull) {
    URB urb;
    RtlZeroMemory(&urb, sizeof urb);
    UsbBuildSelectConfigurationRequest(&urb, USHORT(sizeof(struct _URB_SELECT_CONFIGURATION)), NULL);
    status = Submit(dx, irp, &urb);
  }
  FreeAllConfigurationRecords(dx);
  if (dx->storedConfigDescriptor) {
    ExFreePoolWithTag(dx->storedConfigDescriptor, 0);
    dx->storedConfigDescriptor = NULL;
  }
  dx->configured = FALSE;
  // Wake-up was armed for the configuration that went.
  dx->remoteWakeupArmed = FALSE;
  CancelWaitWake(dx);
  dx->configuringProcess = NULL;
  return status;
}

namespace {

// Appends alternate setting 0 of each interface of the block that 'request' does not name.
VOID NameEveryInterface(PUSB_CONFIGURATION_DESCRIPTOR descriptor, SetConfigurationRequest *request) {
  PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, -1, 0, -1, -1, -1);
  while (found && request->NumberOfInterfaces < XRUSB_MAX_INTERFACES) {
    BOOLEAN named = FALSE;
    for (ULONG i = 0; i < request->NumberOfInterfaces; ++i)
      named |= request->InterfaceList[i].InterfaceNumber == found->bInterfaceNumber;
    if (!named) {
      InterfaceSetting &added = request->InterfaceList[request->NumberOfInterfaces++];
      added.InterfaceNumber = found->bInterfaceNumber;
      added.AlternateSetting = 0;
      added.MaximumTransferSize = request->InterfaceList[0].MaximumTransferSize;
    }
    found = USBD_ParseConfigurationDescriptorEx(descriptor, reinterpret_cast<PUCHAR>(found) + found->bLength, -1, 0,
                                                -1, -1, -1);
  }
}

NTSTATUS SelectConfigurationNamed(DeviceExtension *dx, PIRP irp, const SetConfigurationRequest *named,
                                  BOOLEAN nameEveryInterface) {
  const SetConfigurationRequest *request = named;
  SetConfigurationRequest completed;
  ULONG count = request->NumberOfInterfaces;
  if (count == 0 || count > XRUSB_MAX_INTERFACES) return ERR_INVALID_PARAMETER;
  if (dx->configured && dx->configurationIndex == request->ConfigurationIndex) return ERR_ALREADY_CONFIGURED;

  ULONG length;
  PUSB_CONFIGURATION_DESCRIPTOR descriptor;
  NTSTATUS status = ReadConfigurationDescriptor(dx, irp, UCHAR(request->ConfigurationIndex), &length, &descriptor);
  if (!NT_SUCCESS(status)) return status;
  if (nameEveryInterface) {
    completed = *named;
    NameEveryInterface(descriptor, &completed);
    request = &completed;
    count = request->NumberOfInterfaces;
  }

  PURB urb = NULL;
  // One entry more than asked for: the zero entry ends the list.
  PUSBD_INTERFACE_LIST_ENTRY list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
      AllocateZeroed((count + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY), TAG_INTERFACE_LIST));
  if (!list) {
    status = ERR_NO_MEMORY;
    goto done;
  }
  for (ULONG i = 0; i < count; ++i) {
    const InterfaceSetting &setting = request->InterfaceList[i];
    list[i].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
        descriptor, descriptor, setting.InterfaceNumber, setting.AlternateSetting, -1, -1, -1);
    if (!list[i].InterfaceDescriptor) {
      status = ERR_INTERFACE_NOT_FOUND;
      goto done;
    }
  }
  // USBD_CreateConfigurationRequestEx docs: the list names every interface of the configuration;
  // the bus refuses fewer. Refused here, before the current configuration is dropped.
  if (count != descriptor->bNumInterfaces) {
    status = ERR_INVALID_PARAMETER;
    goto done;
  }
  urb = USBD_CreateConfigurationRequestEx(descriptor, list);
  if (!urb) {
    status = ERR_NO_MEMORY;
    goto done;
  }
  for (ULONG i = 0; i < count; ++i) {
    PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
    if (!info) continue;
    for (ULONG p = 0; p < info->NumberOfPipes; ++p)
      info->Pipes[p].MaximumTransferSize = request->InterfaceList[i].MaximumTransferSize;
  }

  (VOID) Unconfigure(dx, irp, FALSE);
  status = Submit(dx, irp, urb);
  if (!NT_SUCCESS(status)) goto done;
  for (ULONG i = 0; i < count; ++i) {
    if (!list[i].Interface) continue;
    status = CreateInterfaceRecords(dx, irp, list[i].Interface, urb->UrbSelectConfiguration.ConfigurationHandle);
    if (!NT_SUCCESS(status)) goto done;
  }

  dx->configuringProcess = IoGetCurrentProcess();
  dx->configured = TRUE;
  dx->storedConfigDescriptor = descriptor;
  descriptor = NULL;
  dx->configurationIndex = request->ConfigurationIndex;
  dx->remoteWakeupArmed = (static_cast<const UCHAR *>(dx->storedConfigDescriptor)[7] & CONFIG_ATTRIBUTE_REMOTE_WAKEUP) &&
                          (dx->parameters.options & OPTION_REMOTE_WAKEUP);
  ArmWaitWake(dx);
  status = STATUS_SUCCESS;

done:
  if (list) ExFreePoolWithTag(list, 0);
  if (urb) ExFreePoolWithTag(urb, 0);
  if (descriptor) ExFreePoolWithTag(descriptor, 0);
  return status;
}

}  // namespace

NTSTATUS SetConfiguration(DeviceExtension *dx, PIRP irp, const SetConfigurationRequest *request) {
  return SelectConfigurationNamed(dx, irp, request, FALSE);
}

NTSTATUS SetConfigurationNamingEveryInterface(DeviceExtension *dx, PIRP irp, const SetConfigurationRequest *request) {
  return SelectConfigurationNamed(dx, irp, request, TRUE);
}

// Reports the lists as they stand, configured or not: records left by a selection that failed
// half-way are still bindable and so still shown.
NTSTATUS GetConfigurationInfo(DeviceExtension *dx, ConfigurationInfo *info) {
  RtlZeroMemory(info, sizeof *info);
  ULONG n = 0;
  for (PLIST_ENTRY e = dx->interfaceList.Flink; e != &dx->interfaceList && n < XRUSB_MAX_INTERFACES; e = e->Flink) {
    const InterfaceInformationHead &head = CONTAINING_RECORD(e, InterfaceContext, listEntry)->interfaceInfo;
    InterfaceSummary &s = info->Interfaces[n++];
    s.InterfaceNumber = head.InterfaceNumber;
    s.AlternateSetting = head.AlternateSetting;
    s.Class = head.Class;
    s.SubClass = head.SubClass;
    s.Protocol = head.Protocol;
    s.NumberOfPipes = UCHAR(head.NumberOfPipes);
  }
  info->NumberOfInterfaces = n;
  n = 0;
  for (PLIST_ENTRY e = dx->pipeList.Flink; e != &dx->pipeList && n < XRUSB_MAX_PIPES; e = e->Flink) {
    const PipeContext *pipe = CONTAINING_RECORD(e, PipeContext, listEntry);
    PipeSummary &s = info->Pipes[n++];
    s.PipeType = pipe->pipeInfo.PipeType;
    s.MaximumTransferSize = pipe->pipeInfo.MaximumTransferSize;
    s.MaximumPacketSize = pipe->pipeInfo.MaximumPacketSize;
    s.EndpointAddress = pipe->pipeInfo.EndpointAddress;
    s.Interval = pipe->pipeInfo.Interval;
    s.InterfaceNumber = pipe->owningInterface->interfaceInfo.InterfaceNumber;
  }
  info->NumberOfPipes = n;
  return STATUS_SUCCESS;
}

NTSTATUS StoreConfigDescriptor(DeviceExtension *dx, const VOID *buffer, ULONG length) {
  if (dx->storedConfigDescriptor) ExFreePoolWithTag(dx->storedConfigDescriptor, 0);
  dx->storedConfigDescriptor = AllocateNonPaged(length, TAG_STORED_CONFIG_DESCRIPTOR);
  if (!dx->storedConfigDescriptor) return ERR_NO_MEMORY;
  RtlCopyMemory(dx->storedConfigDescriptor, buffer, length);
  return STATUS_SUCCESS;
}
