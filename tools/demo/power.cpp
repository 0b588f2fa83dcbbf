// A system sleep and resume with an interrupt stream running: what the power-down ended, what the
// driver held while the device slept, and what reached the device after resume.
#include <array>
#include <atomic>
#include <thread>

#include "include/xrusb/status.h"
#include "report.h"
#include "sim/kernel/power.h"
#include "sim/usb/bus.h"

namespace demo {

namespace {

namespace td = sim::usb::test_device;

size_t BusTransfers(PDEVICE_OBJECT pdo) {
  size_t n = 0;
  for (const sim::usb::TraceEntry &e : sim::usb::Bus::Get().Trace(pdo)) n += e.endpoint == td::kInterruptIn;
  return n;
}

int StateNumber(PDEVICE_OBJECT pdo) { return int(sim::usb::Bus::Get().PowerState(pdo)) - 1; }

}  // namespace

void SleepWithStream(const Machine &m, xrusb::Device &device) {
  Section("system sleep and resume with a stream running");
  xrusb::Pipe reports = xrusb::Pipe::Open(m.path, td::kInterruptIn);
  std::atomic<uint32_t> received{0}, poweredDown{0}, cancelled{0}, other{0};
  std::atomic<bool> stop{false};
  // The system's side, on its own thread while the application streams on this one.
  uint32_t before = 0, ended = 0, queued = 0, asleep = 0;
  size_t busAsleep = 0;
  NTSTATUS slept = STATUS_UNSUCCESSFUL;
  int stateAsleep = -1;
  std::thread system([&] {
    auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(150)); };
    pause();
    before = received;
    slept = sim::power::Sleep(PowerSystemSleeping3);
    stateAsleep = StateNumber(m.pdo);
    sim::usb::Bus::Get().ClearTrace(m.pdo);
    pause();
    asleep = received - before;
    busAsleep = BusTransfers(m.pdo);
    sim::power::Resume();
    pause();
    stop = true;
  });
  std::array<xrusb::Request, 4> ring;
  std::array<std::array<uint8_t, td::kInterruptReportSize>, 4> buffers;
  for (size_t k = 0; k < ring.size(); ++k) reports.SubmitRead(ring[k], buffers[k]);
  for (size_t k = 0; !stop.load(); k = (k + 1) % ring.size()) {
    if (!ring[k].Wait(std::chrono::milliseconds(10))) continue;
    const int32_t status = xrusb::StatusOf(ring[k].Status());
    (status == 0                  ? received
     : status == ERR_POWER_DOWN   ? poweredDown
     : status == STATUS_CANCELLED ? cancelled
                                  : other) += 1;
    reports.SubmitRead(ring[k], buffers[k]);
  }
  system.join();
  reports.CancelAll();
  for (auto &r : ring) r.Wait();
  // Counted here, not at the sleep's return: the application sees those endings a little later.
  ended = poweredDown;
  queued = cancelled;

  std::printf("  %u reports from 0x%02X, then the system sleeps (S3): %s; the device is in D%d\n", before,
              td::kInterruptIn, slept == STATUS_SUCCESS ? "ok" : "refused", stateAsleep);
  std::printf("  the power-down ended the application's %zu reads: %u at the bus as ERR_POWER_DOWN, %u queued in the"
              " driver as STATUS_CANCELLED\n",
              ring.size(), ended, queued);
  std::printf("  asleep for 150 ms: %zu transfers on the bus (%u reports finished arriving); the reads issued"
              " meanwhile were held in the driver\n",
              busAsleep, asleep);
  std::printf("  resumed: the device is in D%d (the application reads D%u); the held reads went to the bus, and"
              " %u reports arrived in 150 ms; %u other failures in all\n",
              StateNumber(m.pdo), uint32_t(device.GetPowerState()), received - before - asleep, other.load());
}

}  // namespace demo
