// The data-rate statistic and the counters of the pipe a handle is bound to. The control codes
// run at PASSIVE_LEVEL with deviceMutex held; AddSample runs in transfer completion.
#pragma once
#include "driver/config/configuration.h"
#include "include/xrusb/ioctl.h"
#include "platform/platform.h"

struct DeviceExtension;

// IOCTL_SETUP_PIPE_STATISTICS: the running statistic and its ring go first, so a refused setup
// leaves the statistic off.
NTSTATUS SetupPipeStatistics(DeviceExtension *dx, PipeContext *pipe, const StatisticsSetup *request);
// Starts the statistic over 'interval' ms (not 0) with a fresh ring; the pipe has none.
NTSTATUS SetupStatistics(DeviceExtension *dx, PipeContext *pipe, ULONG interval);
// The StatisticsQuery in 'buffer' is replaced by the PipeStatistics result. Never fails.
NTSTATUS QueryStatistics(DeviceExtension *dx, PipeContext *pipe, PVOID buffer);

// One completed transfer's bytes, at the current tick. queueLock held. Constant time: every
// completion of the pipe comes through here.
inline VOID AddSample(PipeContext *pipe, ULONG bytes) {
  if (!pipe->statisticsEnabled) return;
  LARGE_INTEGER ticks;
  KeQueryTickCount(&ticks);
  PipeSample *sample = pipe->sampleWrite;
  sample->byteCount = bytes;
  sample->tickCount = ULONG(ticks.LowPart);
  if (++sample == pipe->sampleBufferEnd) {
    sample = pipe->sampleBuffer;
    pipe->sampleBufferWrapped = 1;
  }
  pipe->sampleWrite = sample;
}
