#include "driver/control/pipe_control_transfer.h"

#include "driver/config/configuration.h"
#include "driver/control/sync_request.h"
#include "driver/core/device_extension.h"
#include "include/xrusb/status.h"

// The setup packet goes as the application wrote it: its direction and wLength are the
// device's business and the bus driver's, not checked against the code or the buffer here.
NTSTATUS PipeControlTransfer(DeviceRequestDirection direction, DeviceExtension *dx, PIRP irp, PipeContext *pipe,
                             const PipeControlTransferRequest *request, ULONG *resultLength, PMDL mdl) {
  URB urb;
  RtlZeroMemory(&urb, sizeof urb);
  struct _URB_CONTROL_TRANSFER &c = urb.UrbControlTransfer;
  c.Hdr.Length = USHORT(sizeof c);
  c.Hdr.Function = URB_FUNCTION_CONTROL_TRANSFER;
  c.Hdr.Status = URB_STATUS_UNWRITTEN;
  c.PipeHandle = pipe->pipeInfo.PipeHandle;
  c.TransferFlags = (direction == DEVICE_REQUEST_IN ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT) |
                    ((request->Flags & SHORT_TRANSFER_OK) ? USBD_SHORT_TRANSFER_OK : 0);
  // The bus driver maps the MDL itself.
  c.TransferBufferLength = mdl ? MmGetMdlByteCount(mdl) : 0;
  c.TransferBufferMDL = mdl;
  RtlCopyMemory(c.SetupPacket, request->SetupPacket, sizeof c.SetupPacket);
  if (dx->requestsBlocked) return ERR_DEVICE_NOT_READY;
  const NTSTATUS status = SubmitUrbSync(dx, irp, &urb, dx->parameters.requestTimeout);
  if (NT_SUCCESS(status)) *resultLength = c.TransferBufferLength;
  return status;
}
