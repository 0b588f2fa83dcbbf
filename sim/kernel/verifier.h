// The verifier: each misuse of the kernel interface stops the run at once, naming it.
#pragma once
#include <cstdint>

namespace sim {

// Names of the checks, as they appear in the message (tests match on them).
namespace check {
inline constexpr const char *kIrpCompletedTwice = "IRP completed twice";
inline constexpr const char *kIrpNeverCompleted = "IRP never completed";
inline constexpr const char *kPendingNotMarked = "STATUS_PENDING returned without IoMarkIrpPending";
inline constexpr const char *kCompletedWithCancelRoutine = "IRP completed while its cancel routine is set";
inline constexpr const char *kStatusMismatch = "dispatch routine returned a status other than the one it completed the IRP with";
inline constexpr const char *kPnpPowerNotNotSupported = "Plug and Play or power IRP does not start as STATUS_NOT_SUPPORTED";
inline constexpr const char *kMutexNotOwner = "mutex released by a thread that does not own it";
inline constexpr const char *kWaitAboveApc = "wait above APC_LEVEL";
inline constexpr const char *kPagedAboveApc = "paged allocation above APC_LEVEL";
inline constexpr const char *kLockOrder = "lock taken against the established order";
inline constexpr const char *kZeroPoolAllocation = "pool allocation of zero bytes";
inline constexpr const char *kPoolDoubleFree = "pool freed twice or never allocated";
inline constexpr const char *kPoolLeakAtDelete = "pool still allocated when the device object is deleted";
inline constexpr const char *kDeleteWithRequests = "device object deleted while requests still reference it";
inline constexpr const char *kPoStartNextMissing = "PoStartNextPowerIrp missing";
inline constexpr const char *kIrqlMisuse = "IRQL misuse";
inline constexpr const char *kSpinLockMisuse = "spin lock misuse";
inline constexpr const char *kBadObject = "invalid kernel object";
inline constexpr const char *kLeakAtEnd = "resource still held when the world ends";
inline constexpr const char *kPendingMarkedNotReturned = "IoMarkIrpPending followed by a return other than STATUS_PENDING";
inline constexpr const char *kStalePartialMdl = "partial MDL used after its source MDL was released";
inline constexpr const char *kFreedLiveTimerOrDpc = "memory freed while a timer in it is set or a DPC in it is queued or running";
inline constexpr const char *kCompletedUnderSpinLock = "IoCompleteRequest called while holding a spin lock";
inline constexpr const char *kDeleteAttachedDevice = "device object deleted while still attached to a device stack";
inline constexpr const char *kInformationTooLarge = "IoStatus.Information larger than the caller's buffer";
}  // namespace check

// Prints "VERIFIER: <check>: <details>" to stderr and aborts.
[[noreturn]] void VerifierFail(const char *check, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));

}  // namespace sim
