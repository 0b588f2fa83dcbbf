// One bulk, interrupt or isochronous request between its set-up and its completion; the URB
// that goes to the bus driver lives inside it.
#pragma once
#include "platform/platform.h"

struct PipeContext;
struct IsoTransferHeader;

struct TransferContext {
  LIST_ENTRY listEntry;  // in one of the device's transfer queues, or a local list
  PipeContext *pipe;     // holds a reference on the pipe while set
  PIRP irp;
  PURB urb;              // points into urbBuffer
  PMDL partialMdl;       // isochronous: the data part of the caller's buffer
  IsoTransferHeader *isoHeader;  // isochronous: the caller's header, mapped
  ULONG packetCount;
  ULONG totalLength;
  ULONG dataOffset;
  LONG deferTicks;
  // An isochronous context extends this area to isoContextSize bytes.
  struct _URB_BULK_OR_INTERRUPT_TRANSFER urbBuffer;
};

// An isochronous context is this much plus isoContextSize.
constexpr ULONG TRANSFER_CONTEXT_HEADER_SIZE = ULONG(offsetof(TransferContext, urbBuffer));

static_assert(TRANSFER_CONTEXT_HEADER_SIZE == 72, "TransferContext header");
static_assert(sizeof(TransferContext) == 200, "TransferContext with a bulk URB");
