#include "driver/control/pipe_statistics.h"

#include "driver/core/device_extension.h"
#include "driver/core/kernel_utils.h"
#include "driver/core/pool_tags.h"
#include "include/xrusb/status.h"

namespace {

constexpr ULONG MIN_AVERAGING_INTERVAL = 10;  // ms
constexpr ULONG SAMPLES_PER_SECOND = 256;     // ring length per second of interval
constexpr ULONG HUNDRED_NS_PER_MS = 10000;
constexpr ULONGLONG MAX_RATE = 0xFFFFFFFF;  // saturates rather than wraps

// The bytes of the samples younger than the interval, over the interval. A ring that wrapped
// within the interval has lost the older ones: then the window is the age of its oldest sample.
// queueLock held.
VOID MeasureRate(const PipeContext *pipe, PipeStatistics *result) {
  LARGE_INTEGER now;
  KeQueryTickCount(&now);
  const ULONG nowTicks = ULONG(now.LowPart);
  ULONG window = pipe->averagingInterval;
  ULONGLONG bytes = 0;
  const PipeSample *p = pipe->sampleWrite;
  for (;;) {
    if (p == pipe->sampleBuffer) {
      if (!pipe->sampleBufferWrapped) break;
      p = pipe->sampleBufferEnd;
    }
    --p;
    ULONG age = nowTicks - p->tickCount;
    if (age >= pipe->averagingTicks) break;
    bytes += p->byteCount;
    if (p == pipe->sampleWrite) {
      // A ring filled within one tick is as old as one tick can tell; a window of 0 would show
      // no rate at all under the heaviest traffic.
      if (age == 0) age = 1;
      window = pipe->timeIncrement * age / HUNDRED_NS_PER_MS;
      break;
    }
  }
  const ULONGLONG rate = window ? bytes * 1000 / window : 0;
  result->ActualAveragingInterval = window;
  result->AverageRate = ULONG(rate > MAX_RATE ? MAX_RATE : rate);
}

}  // namespace

NTSTATUS SetupStatistics(DeviceExtension *dx, PipeContext *pipe, ULONG interval) {
  if (interval > XRUSB_MAX_AVERAGING_INTERVAL) return ERR_USBD_INVALID_PARAMETER;
  if (interval < MIN_AVERAGING_INTERVAL) interval = MIN_AVERAGING_INTERVAL;
  const ULONG count = interval * SAMPLES_PER_SECOND / 1000;
  const ULONG size = count * ULONG(sizeof(PipeSample));
  PipeSample *ring = static_cast<PipeSample *>(AllocateNonPaged(size, TAG_PIPE_STATISTICS));
  if (!ring) return ERR_USBD_NO_MEMORY;
  RtlZeroMemory(ring, size);
  const ULONG increment = KeQueryTimeIncrement();
  // At least one tick: over a window shorter than the clock's tick no sample would ever count.
  ULONG ticks = interval * HUNDRED_NS_PER_MS / increment;
  if (ticks == 0) ticks = 1;

  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&dx->queueLock);
  pipe->averagingInterval = interval;
  pipe->averagingTicks = ticks;
  pipe->timeIncrement = increment;
  pipe->sampleBuffer = ring;
  pipe->sampleBufferEnd = ring + count;
  pipe->sampleWrite = ring;
  pipe->sampleBufferWrapped = 0;
  pipe->statisticsEnabled = TRUE;
  KeReleaseSpinLock(&dx->queueLock, irql);
  return STATUS_SUCCESS;
}

NTSTATUS SetupPipeStatistics(DeviceExtension *dx, PipeContext *pipe, const StatisticsSetup *request) {
  const ULONG interval = request->AveragingInterval;
  // Off before the ring goes: completions write samples only while it is on.
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&dx->queueLock);
  pipe->statisticsEnabled = FALSE;
  PipeSample *old = pipe->sampleBuffer;
  pipe->sampleBuffer = NULL;
  KeReleaseSpinLock(&dx->queueLock, irql);
  if (old) ExFreePoolWithTag(old, TAG_PIPE_STATISTICS);
  if (interval == 0) return STATUS_SUCCESS;
  return SetupStatistics(dx, pipe, interval);
}

NTSTATUS QueryStatistics(DeviceExtension *dx, PipeContext *pipe, PVOID buffer) {
  // Request and result share the buffer: the flags are read before anything is written.
  StatisticsQuery query;
  RtlCopyMemory(&query, buffer, sizeof query);
  PipeStatistics result;
  RtlZeroMemory(&result, sizeof result);

  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&dx->queueLock);
  if (pipe->statisticsEnabled) MeasureRate(pipe, &result);
  result.BytesTransferred = pipe->bytesTransferred;
  result.RequestsSucceeded = pipe->requestsSucceeded;
  result.RequestsFailed = pipe->requestsFailed;
  if (query.Flags & STATISTICS_RESET_BYTES) pipe->bytesTransferred = 0;
  if (query.Flags & STATISTICS_RESET_SUCCEEDED) pipe->requestsSucceeded = 0;
  if (query.Flags & STATISTICS_RESET_FAILED) pipe->requestsFailed = 0;
  KeReleaseSpinLock(&dx->queueLock, irql);

  RtlCopyMemory(buffer, &result, sizeof result);
  return STATUS_SUCCESS;
}
