// The USB bus driver: one physical device object per plugged device model, answering the URBs
// and port requests of the driver above as a host controller and hub would, completing data
// transfers from a bus thread against a frame clock, and able to misbehave on demand.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/usb/device.h"

namespace sim::usb {

enum class Pace {
  Fast,      // transfers move as fast as the host CPU allows (tests, benchmarks)
  RealTime,  // transfers take the time the bus's payload rate needs (the demo)
};

struct PlugOptions {
  std::u16string registryKey;  // the device's hardware key; empty: one is made up
  bool offerInterfaceV0 = true;
  bool offerInterfaceV1 = true;
  DEVICE_CAPABILITIES capabilities{};  // Size 0: sensible defaults (D0..D3 table, SystemWake S3, DeviceWake D2)
  PNP_DEVICE_STATE deviceState = 0;
};

// Faults on demand. An override answers instead of the model; 'count' is how many times (0: until
// cleared).
struct Fault {
  Response response;
  unsigned count = 1;
};

// One URB as it reached the bus, and what became of it.
struct TraceEntry {
  USHORT function = 0;
  USBD_PIPE_HANDLE pipe = nullptr;
  uint8_t endpoint = 0;  // address; 0 for endpoint 0
  ULONG flags = 0;       // TransferFlags
  ULONG requestedLength = 0;
  ULONG actualLength = 0;
  Setup setup{};  // control requests
  ULONG isoPackets = 0;
  USBD_STATUS status = 0;   // USBD_STATUS_PENDING while the bus holds it
  NTSTATUS irpStatus = 0;   // STATUS_PENDING while the bus holds it
  uint64_t id = 0;          // unique per device for the world's length (the URB's sequence number)
  int64_t submitted = 0;    // interrupt time (100 ns units) at which the bus took it
  int64_t completed = 0;    // and ended it; 0 while it holds it
  // Only while SetTraceData is on: the data stage as it crossed the bus (OUT as submitted, IN as
  // returned), and an isochronous transfer's packets as they ended.
  struct IsoPacket {
    ULONG offset = 0;
    ULONG length = 0;
    USBD_STATUS status = 0;
  };
  std::vector<uint8_t> data;
  std::vector<IsoPacket> packets;
  ULONG startFrame = 0;
};

class Bus {
 public:
  // The one bus of the current world.
  static Bus &Get();

  void SetPace(Pace pace);
  // Every request, even one the bus could answer at once, is answered STATUS_PENDING and
  // completed from the bus thread.
  void SetForcePending(bool on);
  // Whether the trace keeps each transfer's data (for captures; off by default, it costs a copy).
  void SetTraceData(bool on);

  // Creates the physical device object for 'model' and hands it to the Plug and Play manager
  // with 'functionDriver' above it. Returns the PDO.
  PDEVICE_OBJECT Plug(std::shared_ptr<DeviceModel> model, PDRIVER_OBJECT functionDriver,
                      const PlugOptions &options = {});
  // Unplugged: pending transfers fail as a vanished device's do, then surprise removal.
  void Unplug(PDEVICE_OBJECT pdo);
  // The device leaves the bus and comes back as 'replacement' (port cycle, firmware renumeration).
  // Runs asynchronously on a system thread; Settle waits for it.
  void Reenumerate(PDEVICE_OBJECT pdo, std::shared_ptr<DeviceModel> replacement);
  // The device signals remote wake-up: a pending wait-wake request completes. False when none
  // was pending (the host would not have noticed).
  bool SignalRemoteWakeup(PDEVICE_OBJECT pdo);
  bool WaitWakePending(PDEVICE_OBJECT pdo);
  // The device power state the PDO was last set to; out of D0 the device is suspended.
  DEVICE_POWER_STATE PowerState(PDEVICE_OBJECT pdo);
  // The next 'count' set-power or query-power requests (minor function) of this type fail with
  // 'status' at the PDO, which then changes nothing.
  void FailPowerRequests(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, NTSTATUS status,
                         unsigned count = 1);
  // Waits until every re-enumeration and pending bus work has finished.
  void Settle();
  // Nothing the bus could do now without time passing or the host acting: no transfer it could
  // run, none being moved or completed, no answer owed. AwaitIdle waits for that.
  bool Idle();
  void AwaitIdle();

  // Faults for one device: per endpoint address (0 for the default pipe) or per control request
  // (bRequest); the first that matches answers.
  void FailEndpoint(PDEVICE_OBJECT pdo, uint8_t endpoint, Fault fault);
  void FailRequest(PDEVICE_OBJECT pdo, uint8_t bRequest, Fault fault);
  void ClearFaults(PDEVICE_OBJECT pdo);

  std::vector<TraceEntry> Trace(PDEVICE_OBJECT pdo);
  // Transfers the bus holds for the device (queued, in flight, or held by a Nak).
  size_t PendingTransfers(PDEVICE_OBJECT pdo);
  // Of those, the ones the device did not answer (Nak): tests wait for these before cancelling.
  size_t HeldTransfers(PDEVICE_OBJECT pdo);
  // Test hook for the order Windows leaves open: while on, the transfers an abort cancels
  // complete only when released, after the abort itself. Release completes those held so far,
  // in their order, from the bus thread, and returns how many; AbortedHeld counts them.
  void HoldAbortedTransfers(bool on);
  size_t ReleaseAbortedTransfers();
  size_t AbortedHeld();
  // Test hook for the window between a driver's hand-over of a transfer and the bus taking it:
  // while on, bulk, interrupt and isochronous transfers wait at the bus's door, in the thread
  // that submits them, until it is turned off. ArrivalsHeld counts the threads waiting there.
  void HoldArrivingTransfers(bool on);
  size_t ArrivalsHeld();
  // The configuration value the device is in (0: unconfigured).
  uint8_t ConfigurationValue(PDEVICE_OBJECT pdo);
  // Whether the device has the endpoint halted (ENDPOINT_HALT feature).
  bool EndpointHalted(PDEVICE_OBJECT pdo, uint8_t endpoint);
  void ClearTrace(PDEVICE_OBJECT pdo);
  std::shared_ptr<DeviceModel> Model(PDEVICE_OBJECT pdo);
  // The device currently plugged in place of 'pdo' after re-enumerations (or pdo itself).
  PDEVICE_OBJECT Current(PDEVICE_OBJECT pdo);
  // Counters of the direct-call interface's references, so tests prove they balance.
  long InterfaceReferences(PDEVICE_OBJECT pdo);
  // Bandwidth of the bus in use by open isochronous and interrupt pipes, and in all.
  ULONG ConsumedBandwidth();
  ULONG TotalBandwidth();
};

}  // namespace sim::usb
