// Shared state of the bus files: devices, their pipes, transfers in flight and the bus thread.
#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "platform/platform.h"
#include "sim/kernel/threads.h"
#include "sim/usb/bus.h"
#include "sim/usb/descriptors.h"

#ifndef USBD_HALTED
#define USBD_HALTED(Status) ((ULONG)(Status) >> 30 == 3)
#endif

namespace sim::usb::detail {

struct Device;

struct Pipe {
  USBD_PIPE_HANDLE handle = nullptr;
  uint8_t interfaceNumber = 0;
  EndpointInfo endpoint;
  bool halted = false;         // host side: stays until a pipe reset
  ULONG nextIsoFrame = 0;      // where an ASAP transfer starts when the pipe is streaming
  bool isoStreaming = false;   // a transfer has run since the pipe was opened or reset
  ULONG bandwidth = 0;         // reserved while open (periodic pipes)
};

struct Transfer {
  enum class State { Queued, Parked, InFlight, Cancelling };
  PIRP irp = nullptr;
  PURB urb = nullptr;
  Device *device = nullptr;
  Pipe *pipe = nullptr;  // null: the default pipe
  uint8_t endpoint = 0;
  Setup setup{};         // control transfers
  bool control = false;
  bool shortOk = false;
  ULONG length = 0;        // of the data stage
  bool hasBuffer = true;   // feature requests have none
  ULONG submitFrame = 0;   // isochronous: packets for earlier frames are late
  State state = State::Queued;
  bool heldForever = false;  // a Nak from a fault: never asked again
  int64_t due = 0;           // RealTime: interrupt time at which it finishes
  uint64_t traceSeq = 0;
};

// A completion to deliver at DISPATCH_LEVEL: the IRP, its status, its information.
struct Completion {
  PIRP irp;
  NTSTATUS status;
  ULONG_PTR information = 0;
  bool power = false;  // PoStartNextPowerIrp first
};

struct FaultRule {
  bool byRequest = false;
  uint8_t key = 0;
  Fault fault;
};

// An abort that waits for the transfer the bus is moving on its pipe, with the completions of
// the transfers it took off the pipe; all are delivered together once that one has finished.
struct WaitingAbort {
  PIRP irp;
  Pipe *pipe;
  uint64_t traceSeq = 0;
  std::vector<Completion> cancelled;
};

struct Device {
  PDEVICE_OBJECT pdo = nullptr;
  std::shared_ptr<DeviceModel> model;
  PDRIVER_OBJECT functionDriver = nullptr;
  PlugOptions options;
  ULONG port = 0;
  bool present = true;
  bool removed = false;  // the removal reached the PDO of a vanished device
  bool deleted = false;  // and the PDO is gone
  PDEVICE_OBJECT replacement = nullptr;
  bool reenumerating = false;  // a port cycle or renumeration under way: a port yields one device

  // What the device and the host think of the configuration.
  uint8_t configurationValue = 0;
  USBD_CONFIGURATION_HANDLE configurationHandle = nullptr;
  ParsedConfiguration configuration;
  std::map<uint8_t, uint8_t> alternates;                      // open interfaces
  std::map<uint8_t, USBD_INTERFACE_HANDLE> interfaceHandles;  // open interfaces
  std::map<USBD_PIPE_HANDLE, std::unique_ptr<Pipe>> pipes;
  std::vector<std::unique_ptr<Pipe>> closedPipes;  // transfers may still point at them
  std::set<uint8_t> deviceHalted;
  bool remoteWakeupEnabled = false;

  std::vector<FaultRule> faults;
  std::deque<TraceEntry> trace;
  uint64_t traceBase = 0;  // sequence number of trace.front()

  PIRP waitWake = nullptr;
  // The device power state its PDO was last set to (bus_power.cpp). Out of D0 the device is
  // suspended: nothing of it is scheduled, and requests that need it are refused.
  DEVICE_POWER_STATE power = PowerDeviceD0;
  struct PowerFault {
    UCHAR minor;
    POWER_STATE_TYPE type;
    NTSTATUS status;
    unsigned count;
  };
  std::vector<PowerFault> powerFaults;
  std::vector<WaitingAbort> waitingAborts;
  long interfaceReferences = 0;
  int specialFiles = 0;  // paging, hibernation and dump files placed on the device
};

class BusState {
 public:
  std::mutex lock;
  std::condition_variable wake;
  PDRIVER_OBJECT driver = nullptr;
  std::vector<std::unique_ptr<Device>> devices;
  std::map<PDEVICE_OBJECT, Device *> byPdo;
  std::list<Transfer *> queue;  // submission order
  std::map<PIRP, Transfer *> byIrp;
  std::deque<Completion> deferred;  // force-pending answers, delivered by the bus thread
  Pace pace = Pace::Fast;
  bool forcePending = false;
  bool traceData = false;
  // Test hook: the transfers an abort cancels wait here, after the abort has completed, until
  // the test releases them.
  bool holdAborted = false;
  std::vector<Completion> heldAborted;
  // Test hook: data transfers wait at the door while set.
  bool holdArrivals = false;
  size_t arrivalsHeld = 0;
  std::condition_variable arrivalsReleased;
  int64_t busFreeAt = 0;
  ULONG consumedBandwidth = 0;
  bool threadRunning = false;
  bool stop = false;
  size_t busy = 0;  // completions being delivered by the bus thread
  std::unique_ptr<SystemThread> thread;
  std::mutex reenumerationLock;
  std::vector<std::unique_ptr<SystemThread>> reenumerations;
  uint64_t nextHandle = 1;
  ULONG nextPort = 1;
};

BusState &State();

// What a URB left behind besides its own status, delivered once the bus lock is dropped.
struct Outcome {
  bool pending = false;  // the bus holds the IRP (a queued transfer, an abort waiting)
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  std::vector<Completion> others;
  std::vector<std::function<void()>> notes;  // calls into the device model
};
using Notes = std::vector<std::function<void()>>;

// bus.cpp
Device *DeviceOf(PDEVICE_OBJECT pdo);  // with the lock held
void *NewHandle();                     // with the lock held
NTSTATUS IrpStatusFor(USBD_STATUS status);
// Records a URB in the device's trace; returns its sequence number. Lock held.
uint64_t TraceUrb(Device &d, PURB urb, const Transfer *t);
// With SetTraceData on: the OUT data of a transfer the bus accepted. Lock held.
void TraceOutData(Device &d, uint64_t seq, PURB urb, const Transfer &t);
// 'urb', when given, is the ended transfer's: its IN data and packets go into the trace.
void TraceOutcome(Device &d, uint64_t seq, USBD_STATUS status, ULONG actualLength, PURB urb = nullptr);

// bus_power.cpp: IRP_MJ_POWER; and whether a URB function needs the device itself to answer,
// which a suspended one cannot (lock held).
NTSTATUS DispatchBusPower(PDEVICE_OBJECT pdo, PIRP irp);
bool RefusedWhileSuspended(const Device &d, USHORT function);

// bus_urb.cpp: IRP_MJ_INTERNAL_DEVICE_CONTROL.
NTSTATUS DispatchInternalControl(PDEVICE_OBJECT pdo, PIRP irp);
// The transfer buffer, through its MDL when it has one; and whether 'length' bytes are there.
uint8_t *BufferOf(PURB urb);
bool BufferValid(PURB urb, ULONG length);
Pipe *PipeOf(Device &d, USBD_PIPE_HANDLE handle);  // null when not open; lock held
// Executes one data or control transfer against the device (no lock held, bus thread).
// Returns false when the device did not answer (Nak).
bool ExecuteTransfer(Transfer &t);
ULONG CurrentFrame();
ULONG TotalBandwidthOf(Speed speed);

// bus_select.cpp (lock held): the device's configuration 'value' parsed into 'store', or null.
const ParsedConfiguration *FindConfiguration(Device &d, uint8_t value, std::vector<ParsedConfiguration> &store);
USBD_STATUS SelectConfiguration(Device &d, PURB urb, Outcome &out);
USBD_STATUS SelectInterface(Device &d, PURB urb, Outcome &out);

// bus_requests.cpp (lock held): the control transfer a formatted URB function stands for
// (nullopt: not such a function), a raw control transfer, and the standard requests the bus
// answers from the device's state (nullopt: the model answers).
std::optional<USBD_STATUS> BuildFormattedRequest(PURB urb, Transfer &t);
USBD_STATUS BuildControl(Device &d, PURB urb, Transfer &t);
std::optional<Response> StandardRequest(Device &d, const Setup &s, std::span<const uint8_t> out, Notes &notes);

// bus_iso.cpp: checks and schedules an isochronous URB (lock held); runs its packets against
// the device, or answers each with 'fault' (no lock held, bus thread).
USBD_STATUS BuildIso(Device &d, PURB urb, Transfer &t);
ULONG IsoPacketsPerFrame(const EndpointInfo &e, Speed speed);
void ExecuteIso(Transfer &t, uint8_t *buffer, std::optional<Response> fault);

// bus_thread.cpp
void EnsureThread();
void StopThread();
// Queues a transfer (lock held); the IRP is pending and cancellable afterwards, or completed as
// cancelled when its cancel came first (then false).
bool QueueTransfer(Transfer *t, std::unique_lock<std::mutex> &held);
// Completes at DISPATCH_LEVEL, as a host controller's DPC does. No lock held.
void Deliver(const std::vector<Completion> &completions);
// Answers an IRP: at once, or from the bus thread in force-pending mode. No lock held.
NTSTATUS Answer(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
// Takes every transfer of 'd' (of 'pipe' only when set) away from the bus, with 'status'
// written to their URBs. Lock held; the caller delivers the returned completions.
std::vector<Completion> TakeTransfers(Device &d, Pipe *pipe, USBD_STATUS status);
bool InFlightOn(Device &d, Pipe *pipe);
// Whether the bus still holds a transfer on 'pipe' (queued, waiting behind a halt, in flight).
bool PendingOn(Device &d, Pipe *pipe);
// Ends the aborts of 'pipe' once nothing is in flight on it: each, with the transfers it
// cancelled, goes to the bus thread in an order the schedule picks. Lock held.
void CompleteWaitingAborts(Device &d, Pipe *pipe);

}  // namespace sim::usb::detail
