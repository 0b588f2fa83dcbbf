// Writes the seeds of app_fuzz: the sequences the driver tests perform, in the fuzzer's byte
// language, so that fuzzing starts from configured devices, bound pipes and requests in flight.
// Usage: app_fuzz_seeds <directory>
#include <string>
#include <vector>

#include "fuzz/app_program.h"
#include "fuzz/seed_files.h"
#include "sim/usb/test_device.h"

using app_fuzz::Writer;
namespace td = sim::usb::test_device;

namespace {

// Registry rows of the header (index into kRegistryValues).
constexpr uint8_t kMaxIsoPacketsRow = 5, kDeferRow = 11, kCheckPidRow = 12, kConfigIndexRow = 13,
                  kPowerOnOpenRow = 6, kAbortOnPowerDownRow = 10, kRemoteWakeupRow = 4;

// Configured, slot 0 bound to 'in' and slot 1 to 'out'.
Writer Bound(uint8_t in, uint8_t out, Writer w = Writer().Header(false, false)) {
  w.Open(0).Open(1).Configure(0, false, 0, 0).Bind(0, in).Bind(1, out);
  return w;
}

Writer IsoBound(uint8_t alternate, Writer w = Writer().Header(false, false, {{kMaxIsoPacketsRow, 64}})) {
  w.Open(0).Open(1).Configure(0, false, alternate, 2).Bind(0, td::kIsoIn).Bind(1, td::kIsoOut);
  return w;
}

std::vector<std::vector<uint8_t>> Seeds() {
  std::vector<Writer> s;
  // Every known code, with no buffers and then with ample ones.
  {
    Writer w = Writer().Header(false, false);
    w.Open(0);
    for (uint32_t code : app_fuzz::kCodes) w.Ioctl(0, code, nullptr, 0, 0);
    s.push_back(w);
    Writer v = Writer().Header(false, false);
    v.Open(0).Configure(0).Bind(0, td::kSourceIn);
    const std::vector<uint8_t> zeros(260, 0);
    for (uint32_t code : app_fuzz::kCodes)
      if (code != IOCTL_CYCLE_PORT && code != IOCTL_RESET_DEVICE) v.Ioctl(0, code, zeros.data(), 24, 1024);
    s.push_back(v);
  }
  // Bulk loopback: a write, then a read of what it wrote; the source and the sink.
  s.push_back(Bound(td::kLoopbackIn, td::kLoopbackOut).Plain(1, false, 64).Plain(0, true, 64).Wait(0).Wait(1));
  s.push_back(Bound(td::kSourceIn, td::kSinkOut)
                  .Plain(0, true, 4096)
                  .U8(app_fuzz::kRead).U8(0).U8(3).U16(0x2000).U8(0)  // 64 KiB
                  .Plain(1, false, 512)
                  .Wait(0).Wait(1).Wait(2));
  // Interrupt pipes.
  s.push_back(Bound(td::kInterruptIn, td::kInterruptOut).Plain(0, true, 8).Plain(1, false, 8).Wait(0));
  // Isochronous reads and writes, one well-formed and one with a gap in the table.
  s.push_back(IsoBound(1).Iso(0, true, 8, {256}).Iso(1, false, 8, {256, 0, 100, 37}).Wait(0).Wait(1));
  s.push_back(IsoBound(3).Iso(0, true, 24, {1024, 3072}).Iso(0, true, 1, {0}).Wait(0));
  {
    // Packet 0's length flips between its value and one past it.
    const uint8_t mask[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01};
    s.push_back(IsoBound(1).IsoRace(0, true, 8, {256}, mask, 8).IsoRace(1, false, 16, {64, 128}, mask, 8));
  }
  // A held read (the loopback FIFO is empty) aborted, then reset; cancelled; cancelled with the
  // defer timer running.
  s.push_back(Bound(td::kLoopbackIn, td::kLoopbackOut).Plain(0, true, 64).PipeOp(0, 0).PipeOp(0, 1).Wait(0));
  s.push_back(Bound(td::kLoopbackIn, td::kLoopbackOut).Plain(0, true, 64).Cancel(0).Wait(0));
  s.push_back(Bound(td::kLoopbackIn, td::kLoopbackOut, Writer().Header(false, false, {{kDeferRow, 1}}))
                  .Plain(0, true, 64).Cancel(0).Advance(0).Advance(0).Advance(0).Wait(0));
  // Reset and port cycle with requests in flight.
  s.push_back(Bound(td::kLoopbackIn, td::kSourceIn)
                  .Plain(0, true, 64).Ioctl(1, IOCTL_RESET_DEVICE, nullptr, 0, 0).Op(app_fuzz::kSettle)
                  .Open(2).Ioctl(2, IOCTL_CYCLE_PORT, nullptr, 0, 0).Op(app_fuzz::kSettle).Open(3));
  // The port cycled twice in a row (the bus once made two devices of it), a reset between.
  s.push_back(Writer().Header(false, false).Open(0).Ioctl(0, IOCTL_CYCLE_PORT, nullptr, 0, 0)
                  .Ioctl(0, IOCTL_CYCLE_PORT, nullptr, 0, 0).Ioctl(0, IOCTL_RESET_DEVICE, nullptr, 0, 0).Open(1));
  // Device power: a write held in D3, released in D0; the system asleep with requests in flight.
  s.push_back(Bound(td::kLoopbackIn, td::kLoopbackOut).DevicePower(0, 3).Plain(1, false, 16).DevicePower(0, 0).Wait(0));
  s.push_back(Bound(td::kLoopbackIn, td::kSourceIn, Writer().Header(false, false, {{kAbortOnPowerDownRow, 0}}))
                  .Plain(0, true, 64).Plain(1, true, 4096).Sleep(2).Op(app_fuzz::kResume).Wait(1));
  s.push_back(Writer().Header(false, false, {{kPowerOnOpenRow, 4}, {kRemoteWakeupRow, 1}})
                  .Open(0).Configure(0).Sleep(3).Op(app_fuzz::kResume).Open(1).Close(0));
  // Unplugged with requests in flight, then plugged again and opened.
  s.push_back(Bound(td::kLoopbackIn, td::kSourceIn)
                  .Plain(0, true, 64).Plain(1, true, 1024).Op(app_fuzz::kUnplug).Plain(1, true, 8).Close(1)
                  .Op(app_fuzz::kReplug).Open(2).Configure(2).Close(0));
  // Rebalance with requests in flight.
  s.push_back(Bound(td::kLoopbackIn, td::kLoopbackOut).Plain(0, true, 64).Op(app_fuzz::kRebalance).Plain(1, false, 8));
  // Two processes: exclusive acquisition, unconfigure by the other, the other's end.
  s.push_back(Writer().Header(false, false, {{kCheckPidRow, 1}})
                  .Open(0).Configure(0).Open(1, true).Ioctl(0, IOCTL_ACQUIRE_DEVICE, nullptr, 0, 0)
                  .Ioctl(1, IOCTL_UNCONFIGURE_DEVICE, nullptr, 0, 0).Bind(1, td::kLoopbackIn).Plain(1, true, 32)
                  .EndProcess(true).Ioctl(0, IOCTL_RELEASE_DEVICE, nullptr, 0, 0).Close(0));
  // Alternate settings and configuration 2.
  s.push_back(Bound(td::kIsoIn, td::kLoopbackOut).SetInterface(2, 1, 2).SetInterface(0, 1, 2).SetInterface(0, 1, 0)
                  .Configure(0, true).Bind(2, td::kConfig2LoopbackIn));
  // Start-time configuration from the registry.
  s.push_back(Writer().Header(true, false, {{kConfigIndexRow, 0}}).Open(0).Bind(0, td::kSourceIn).Plain(0, true, 64));
  // Device requests: descriptors, vendor memory, the second control endpoint, statistics.
  {
    Writer w = Writer().Header(false, true);
    w.Open(0).Configure(0);
    const DescriptorRequest device{XRUSB_RECIPIENT_DEVICE, 1, 0, 0}, config{XRUSB_RECIPIENT_DEVICE, 2, 0, 0},
        string{XRUSB_RECIPIENT_DEVICE, 3, 2, 0x0409};
    w.Ioctl(0, IOCTL_GET_DESCRIPTOR, device, 18).Ioctl(0, IOCTL_GET_DESCRIPTOR, config, 255)
        .Ioctl(0, IOCTL_GET_DESCRIPTOR, string, 64);
    const ClassOrVendorRequest write{0, XRUSB_REQUEST_TYPE_VENDOR, XRUSB_RECIPIENT_DEVICE, 0, td::kWriteMemory, 16, 0},
        read{SHORT_TRANSFER_OK, XRUSB_REQUEST_TYPE_VENDOR, XRUSB_RECIPIENT_DEVICE, 0, td::kReadMemory, 16, 0};
    w.Ioctl(0, IOCTL_CLASS_OR_VENDOR_OUT_REQUEST, write, 32).Ioctl(0, IOCTL_CLASS_OR_VENDOR_IN_REQUEST, read, 32);
    const FeatureRequest halt{XRUSB_RECIPIENT_ENDPOINT, 0, td::kSourceIn};
    const StatusRequest status{XRUSB_RECIPIENT_ENDPOINT, td::kSourceIn};
    w.Ioctl(0, IOCTL_SET_FEATURE, halt).Ioctl(0, IOCTL_GET_STATUS, status, 2).Ioctl(0, IOCTL_CLEAR_FEATURE, halt);
    w.Open(1).Bind(1, td::kControlPipe);
    PipeControlTransferRequest pipeWrite{0, {0x40, td::kPipeWrite, 0, 0, 0, 0, 8, 0}},
        pipeRead{0, {0xC0, td::kPipeRead, 0, 0, 0, 0, 8, 0}};
    w.Ioctl(1, IOCTL_PIPE_CONTROL_TRANSFER_OUT, pipeWrite, 8).Ioctl(1, IOCTL_PIPE_CONTROL_TRANSFER_IN, pipeRead, 8);
    w.Bind(0, td::kSourceIn).PipeOp(0, 5, 100).Plain(0, true, 512).Wait(0).Advance(200).PipeOp(0, 6, 7);
    s.push_back(w);
  }
  // Bus faults: a stalled source reset; a short loopback answer; a failing default pipe.
  s.push_back(Bound(td::kSourceIn, td::kSinkOut).BusFault(0, 0, 1).Plain(0, true, 512).Wait(0).PipeOp(0, 1)
                  .BusFault(0x80 | td::kGetRegister, 1, 1, 3).BusFault(10, 1, 0, 2).Configure(1));
  // A stored configuration descriptor.
  {
    Writer w = Writer().Header(false, false);
    const uint8_t config[] = {9, 2, 25, 0, 1, 1, 0, 0xA0, 50, 9, 4, 0, 0, 1, 0xFF, 0, 0, 0, 7, 5, 0x81, 2, 0, 2, 0};
    w.Open(0).Ioctl(0, IOCTL_STORE_CONFIG_DESCRIPTOR, config, sizeof config, 0).Configure(0);
    s.push_back(w);
  }
  std::vector<std::vector<uint8_t>> out;
  for (const Writer &w : s) out.push_back(w.Data());
  return out;
}

}  // namespace

int main(int argc, char **argv) { return WriteSeedFiles(argc, argv, Seeds()); }
