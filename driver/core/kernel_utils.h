// Small kernel utilities the whole driver uses.
#pragma once
#include "platform/platform.h"

struct DeviceExtension;
struct TimerRecord;

// Called at DISPATCH_LEVEL each time the timer fires; re-arms the timer itself if it wants
// another period.
typedef VOID TimerCallback(TimerRecord *record, PVOID context, PVOID systemArgument1, PVOID systemArgument2);

struct TimerRecord {
  TimerCallback *callback;
  PVOID context;
  LONGLONG dueTime;  // 100 ns units; negative: relative
  KTIMER timer;
  KDPC dpc;
};

// The system version, recorded once by DriverEntry.
extern RTL_OSVERSIONINFOW OsVersion;

// Non-paged, no-execute pool from Windows 8 on. Not zeroed.
PVOID AllocateNonPaged(ULONG size, ULONG tag);
// Waits without end, in one-second slices so that no single wait is unbounded.
VOID WaitForObject(PVOID object, KWAIT_REASON waitReason);
VOID ReleaseBusInterface(DeviceExtension *dx);
KDEFERRED_ROUTINE TimerDpcTrampoline;
VOID InitializeTimerRecord(TimerRecord *record, TimerCallback *callback, PVOID context, LONGLONG dueTime);
