#include "driver/config/alternate_setting.h"

#include "driver/config/configuration.h"
#include "driver/control/sync_request.h"
#include "driver/core/device_extension.h"
#include "driver/core/kernel_utils.h"
#include "driver/core/pool_tags.h"
#include "include/xrusb/status.h"

namespace {

// The bus driver fills in as many entries as the setting has endpoints; more cannot be selected.
constexpr ULONG MAX_SETTING_PIPES = 32;
constexpr ULONG SELECT_URB_SIZE = GET_SELECT_INTERFACE_REQUEST_SIZE(MAX_SETTING_PIPES);
constexpr ULONG SELECT_INTERFACE_SIZE = GET_USBD_INTERFACE_SIZE(MAX_SETTING_PIPES);
static_assert(sizeof(PVOID) != 8 || (SELECT_URB_SIZE == 824 && SELECT_INTERFACE_SIZE == 792),
              "the bus driver's layout of a 32-pipe selection");

InterfaceContext *FindInterface(DeviceExtension *dx, USHORT number) {
  for (PLIST_ENTRY e = dx->interfaceList.Flink; e != &dx->interfaceList; e = e->Flink) {
    InterfaceContext *record = CONTAINING_RECORD(e, InterfaceContext, listEntry);
    if (record->interfaceInfo.InterfaceNumber == number) return record;
  }
  return NULL;
}

}  // namespace

NTSTATUS SetInterface(DeviceExtension *dx, PIRP irp, const InterfaceSetting *setting) {
  if (!dx->configured) return ERR_NOT_CONFIGURED;
  InterfaceContext *old = FindInterface(dx, setting->InterfaceNumber);
  if (!old) return ERR_INTERFACE_NOT_FOUND;

  // The selection closes the old pipe handles in the bus driver, so nothing may still use
  // them by the time it is asked.
  const USBD_CONFIGURATION_HANDLE configurationHandle = old->configurationHandle;
  FreeInterfaceRecords(dx, irp, old);

  PURB urb = static_cast<PURB>(AllocateNonPaged(SELECT_URB_SIZE, TAG_ALTERNATE_SETTING));
  if (!urb) return ERR_NO_MEMORY;
  RtlZeroMemory(urb, SELECT_URB_SIZE);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
  urb->UrbHeader.Length = USHORT(SELECT_URB_SIZE);
  urb->UrbSelectInterface.ConfigurationHandle = configurationHandle;
  PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectInterface.Interface;
  info->Length = USHORT(SELECT_INTERFACE_SIZE);
  info->InterfaceNumber = UCHAR(setting->InterfaceNumber);
  info->AlternateSetting = UCHAR(setting->AlternateSetting);
  PUSBD_PIPE_INFORMATION pipes = info->Pipes;
  for (ULONG i = 0; i < MAX_SETTING_PIPES; ++i) pipes[i].MaximumTransferSize = setting->MaximumTransferSize;
  urb->UrbHeader.Status = URB_STATUS_UNWRITTEN;

  NTSTATUS status;
  if (dx->requestsBlocked) {
    status = ERR_DEVICE_NOT_READY;
  } else {
    status = SubmitUrbSync(dx, irp, urb, dx->parameters.requestTimeout);
    if (NT_SUCCESS(status)) status = CreateInterfaceRecords(dx, irp, info, configurationHandle);
  }
  ExFreePoolWithTag(urb, 0);
  return status;
}
