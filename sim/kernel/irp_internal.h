// Bookkeeping shared by the IRP, cancel, MDL and power files of the I/O manager.
// Every IRP the substitute allocates is preceded, in the same allocation, by an IrpHeader that
// drivers never see; every MDL likewise by an MdlHeader.
#pragma once
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/platform.h"

#ifndef MDL_ALLOCATED_FIXED_SIZE
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#endif
#ifndef MDL_PARTIAL_HAS_BEEN_MAPPED
#define MDL_PARTIAL_HAS_BEEN_MAPPED 0x0020
#endif

namespace sim::io {

constexpr CSHORT kIoTypeIrp = 6;

// One call of a dispatch routine for an IRP. It outlives the call when the dispatch returned
// STATUS_PENDING before the completion passed its location (the pending mark is checked then).
struct DispatchFrame {
  PIRP irp = nullptr;
  int location = 0;  // the IRP's CurrentLocation while the routine runs
  PDEVICE_OBJECT device = nullptr;
  bool headerGone = false;  // the IRP was freed; 'header' is stale
  struct IrpHeader *header = nullptr;
  // Written under IrpLock():
  bool returned = false;
  NTSTATUS returnedStatus = 0;
  bool passed = false;  // the completion walked past 'location'
  bool pendingMarkedAtPass = false;
  // Written only by the dispatching thread:
  bool completedHere = false;
  NTSTATUS completedStatus = 0;
};

struct IrpHeader {
  PIRP irp = nullptr;
  size_t allocationSize = 0;
  uint64_t serial = 0;
  bool fromSendIrp = false;
  bool cancellable = false;  // SendIrp's setup is done: CancelSentIrps may look at it
  bool sent = false;         // IofCallDriver has been called once
  bool topPassed = false;    // the completion walked past the first location at least once
  bool finished = false;     // completed past every location (SendIrp's IRPs only)
  int pins = 0;              // IoCancelIrp calls in progress; the memory stays while > 0
  bool freeWhenUnpinned = false;
  std::function<void(PIRP)> done;
  // entered[i]: device that location i (1-based) was entered for, null once the walk passed it.
  std::vector<PDEVICE_OBJECT> entered;
  std::vector<std::shared_ptr<DispatchFrame>> frames;
  bool power = false;
  std::vector<PDEVICE_OBJECT> powerHandled, powerStarted;
};

// Guards every header, the registries of live and freed IRPs and MDLs, and dispatch frames.
// Never held while a driver routine runs.
std::mutex &IrpLock();

// With IrpLock held: the header of a live IRP; stops the run naming 'what' when the pointer is
// not an IRP or was freed (reported under 'checkWhenFreed', kBadObject by default).
IrpHeader *LiveHeaderLocked(PIRP irp, const char *what, const char *checkWhenFreed = nullptr);

// What the calling thread is doing with IRPs: dispatch routines (frame set) and completion or
// cancel routines (frame null), innermost last.
struct Activity {
  PIRP irp;
  PDEVICE_OBJECT device;
  DispatchFrame *frame;
};
std::vector<Activity> &ThreadActivities();
const Activity *InnermostActivity(PIRP irp);

class ActivityScope {
 public:
  ActivityScope(PIRP irp, PDEVICE_OBJECT device, DispatchFrame *frame) {
    ThreadActivities().push_back({irp, device, frame});
  }
  ~ActivityScope() { ThreadActivities().pop_back(); }
  ActivityScope(const ActivityScope &) = delete;
  ActivityScope &operator=(const ActivityScope &) = delete;
};

// Pins a live IRP so that its memory survives its final completion; Unpin frees it then.
IrpHeader *PinIrp(PIRP irp, const char *what);
void UnpinIrp(IrpHeader *header);

// io_power.cpp, with IrpLock held.
void NotePowerDispatchLocked(IrpHeader *h, PDEVICE_OBJECT device);
void CheckPowerStartedLocked(IrpHeader *h);

// io_mdl.cpp
void ReleaseMdlChain(PMDL mdl);  // as the I/O manager does at the end of a request
void CheckMdlsFreed();
void ResetMdlTracking();
// io_cancel.cpp
void ResetCancelLock();

}  // namespace sim::io
