// Kernel dispatcher objects, IRQL, spin locks, timers, DPCs, pool, interlocked operations.
#pragma once
#include "nt_types.h"
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

typedef LONG KPRIORITY;
#define IO_NO_INCREMENT 0

typedef enum _KWAIT_REASON {
  Executive = 0,
  FreePage,
  PageIn,
  PoolAllocation,
  DelayExecution,
  Suspended,
  UserRequest,
  MaximumWaitReason = 37
} KWAIT_REASON;

#define KernelMode 0
#define UserMode 1

typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;

typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  NonPagedPoolNx = 512,
} POOL_TYPE;

typedef struct _KTHREAD *PKTHREAD, *PETHREAD;
typedef struct _KPROCESS *PEPROCESS, *PKPROCESS;

// Layout sizes follow x64 Windows; the contents are the substitute's own.
typedef struct _DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Signalling;
  UCHAR Size;
  UCHAR Inserted;
  volatile LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KMUTANT {
  DISPATCHER_HEADER Header;
  LIST_ENTRY MutantListEntry;
  struct _KTHREAD *volatile OwnerThread;
  BOOLEAN Abandoned;
  UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

struct _KDPC;
typedef VOID KDEFERRED_ROUTINE(struct _KDPC *Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE *PKDEFERRED_ROUTINE;

typedef struct _KDPC {
  UCHAR Type;
  UCHAR Importance;
  volatile USHORT Number;
  LIST_ENTRY DpcListEntry;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  volatile PVOID DpcData;
} KDPC, *PKDPC, *PRKDPC;

typedef struct _KTIMER {
  DISPATCHER_HEADER Header;
  LARGE_INTEGER DueTime;
  LIST_ENTRY TimerListEntry;
  struct _KDPC *Dpc;
  ULONG Processor;
  LONG Period;
} KTIMER, *PKTIMER, *PRKTIMER;

// IRQL
KIRQL KeGetCurrentIrql(void);
VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
VOID KeLowerIrql(KIRQL NewIrql);
KIRQL KeRaiseIrqlToDpcLevel(void);

// Spin locks
VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
#define KeAcquireSpinLock(SpinLock, OldIrql) (*(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock))

// Dispatcher objects
VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
VOID KeClearEvent(PRKEVENT Event);
LONG KeResetEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);
VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
LONG KeReadStateMutex(PRKMUTEX Mutex);
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval);
PKTHREAD KeGetCurrentThread(void);

// Timers and DPCs
VOID KeInitializeTimer(PKTIMER Timer);
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
BOOLEAN KeCancelTimer(PKTIMER Timer);
BOOLEAN KeReadStateTimer(PKTIMER Timer);
VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);
VOID KeFlushQueuedDpcs(void);

// Time
VOID KeQueryTickCount(PLARGE_INTEGER CurrentCount);
ULONG KeQueryTimeIncrement(void);
ULONGLONG KeQueryInterruptTime(void);
VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);

// HAL
VOID KeStallExecutionProcessor(ULONG MicroSeconds);

// Pool
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
VOID ExFreePoolWithTag(PVOID P, ULONG Tag);
VOID ExFreePool(PVOID P);

#define RtlZeroMemory(d, n) memset((d), 0, (n))
#define RtlFillMemory(d, n, f) memset((d), (f), (n))
#define RtlCopyMemory(d, s, n) memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) memmove((d), (s), (n))
#define RtlEqualMemory(a, b, n) (memcmp((a), (b), (n)) == 0)

// Interlocked operations (full barriers, as on x64)
FORCEINLINE LONG InterlockedIncrement(volatile LONG *a) { return __atomic_add_fetch(a, 1, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG InterlockedDecrement(volatile LONG *a) { return __atomic_sub_fetch(a, 1, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG InterlockedExchange(volatile LONG *a, LONG v) { return __atomic_exchange_n(a, v, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG InterlockedExchangeAdd(volatile LONG *a, LONG v) { return __atomic_fetch_add(a, v, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG InterlockedOr(volatile LONG *a, LONG v) { return __atomic_fetch_or(a, v, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG InterlockedAnd(volatile LONG *a, LONG v) { return __atomic_fetch_and(a, v, __ATOMIC_SEQ_CST); }
FORCEINLINE LONG InterlockedCompareExchange(volatile LONG *a, LONG x, LONG c) {
  __atomic_compare_exchange_n(a, &c, x, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return c;
}
FORCEINLINE PVOID InterlockedExchangePointer(PVOID volatile *a, PVOID v) {
  return __atomic_exchange_n(a, v, __ATOMIC_SEQ_CST);
}
FORCEINLINE PVOID InterlockedCompareExchangePointer(PVOID volatile *a, PVOID x, PVOID c) {
  __atomic_compare_exchange_n(a, &c, x, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return c;
}

// Doubly linked lists
FORCEINLINE VOID InitializeListHead(PLIST_ENTRY h) { h->Flink = h->Blink = h; }
FORCEINLINE BOOLEAN IsListEmpty(const LIST_ENTRY *h) { return h->Flink == h; }
FORCEINLINE BOOLEAN RemoveEntryList(PLIST_ENTRY e) {
  PLIST_ENTRY f = e->Flink, b = e->Blink;
  b->Flink = f;
  f->Blink = b;
  return f == b;
}
FORCEINLINE PLIST_ENTRY RemoveHeadList(PLIST_ENTRY h) {
  PLIST_ENTRY e = h->Flink;
  RemoveEntryList(e);
  return e;
}
FORCEINLINE PLIST_ENTRY RemoveTailList(PLIST_ENTRY h) {
  PLIST_ENTRY e = h->Blink;
  RemoveEntryList(e);
  return e;
}
FORCEINLINE VOID InsertTailList(PLIST_ENTRY h, PLIST_ENTRY e) {
  PLIST_ENTRY b = h->Blink;
  e->Flink = h;
  e->Blink = b;
  b->Flink = e;
  h->Blink = e;
}
FORCEINLINE VOID InsertHeadList(PLIST_ENTRY h, PLIST_ENTRY e) {
  PLIST_ENTRY f = h->Flink;
  e->Flink = f;
  e->Blink = h;
  f->Blink = e;
  h->Flink = e;
}

#ifdef __cplusplus
}
#endif
