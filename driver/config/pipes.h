// Binding a handle to a pipe of the current configuration, its parameter, and stopping the
// traffic on pipes. Every routine runs at PASSIVE_LEVEL with deviceMutex held; an IRP argument
// carries the bus requests in its next stack location and is neither completed nor freed. A
// PipeContext argument of a control code is the calling handle's bound pipe.
#pragma once
#include "include/xrusb/ioctl.h"
#include "platform/platform.h"

struct DeviceExtension;
struct PipeContext;

// The handle is the one of the IRP's file object.
NTSTATUS BindPipe(DeviceExtension *dx, PIRP irp, const BindPipeRequest *request);
NTSTATUS UnbindPipe(DeviceExtension *dx, PipeContext *pipe);
NTSTATUS ResetPipe(DeviceExtension *dx, PIRP irp, PipeContext *pipe);
NTSTATUS AbortPipe(DeviceExtension *dx, PIRP irp, PipeContext *pipe);
NTSTATUS GetPipeParameters(const PipeContext *pipe, PipeParameters *result);
NTSTATUS SetPipeParameters(PipeContext *pipe, const PipeParameters *request);

// Clears both sides of a pipe's binding and its per-binding state; the pipe must be bound.
VOID DissolveBinding(DeviceExtension *dx, PipeContext *pipe);
// Sends an abort only when a transfer has gone down on the pipe since the last one. The caller
// also holds transferMutex, unless no transfer can be on its way down: the queue marks the pipe
// before it hands the transfer over, and an abort between the two would clear the mark first.
NTSTATUS SendAbortPipe(DeviceExtension *dx, PIRP irp, PipeContext *pipe);
VOID AbortAllPipes(DeviceExtension *dx, PIRP irp);
