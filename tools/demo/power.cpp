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

struct StreamCounts {
  std::atomic<uint32_t> reports{0}, poweredDown{0}, other{0}, inFlight{0};
};

size_t BusTransfers(PDEVICE_OBJECT pdo) {
  size_t n = 0;
  for (const sim::usb::TraceEntry &e : sim::usb::Bus::Get().Trace(pdo)) n += e.endpoint == td::kInterruptIn;
  return n;
}

const char *StateName(xrusb::PowerState s) {
  static const char *const names[] = {"D0", "D1", "D2", "D3"};
  return names[uint32_t(s) & 3];
}

}  // namespace

void SleepWithStream(const Machine &m, xrusb::Device &device) {
  Section("system sleep and resume with a stream running");
  xrusb::Pipe reports = xrusb::Pipe::Open(m.path, td::kInterruptIn);
  StreamCounts counts;
  std::atomic<bool> stop{false};
  std::thread stream([&] {
    std::array<xrusb::Request, 4> ring;
    std::array<std::array<uint8_t, td::kInterruptReportSize>, 4> buffers;
    for (size_t k = 0; k < ring.size(); ++k) reports.SubmitRead(ring[k], buffers[k]);
    counts.inFlight = uint32_t(ring.size());
    for (size_t k = 0; !stop.load(); k = (k + 1) % ring.size()) {
      if (!ring[k].Wait(std::chrono::milliseconds(10))) continue;
      const int32_t status = xrusb::StatusOf(ring[k].Status());
      (status == 0 ? counts.reports : status == ERR_POWER_DOWN ? counts.poweredDown : counts.other) += 1;
      reports.SubmitRead(ring[k], buffers[k]);
    }
    reports.CancelAll();
    for (auto &r : ring) r.Wait();
  });
  auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(150)); };

  pause();
  const uint32_t before = counts.reports;
  const NTSTATUS slept = sim::power::Sleep(PowerSystemSleeping3);
  const uint32_t ended = counts.poweredDown;
  std::printf("  %u reports from 0x%02X, then the system sleeps (S3): %s; the device is in %s\n", before,
              td::kInterruptIn, slept == STATUS_SUCCESS ? "ok" : "refused", StateName(device.GetPowerState()));
  std::printf("  the power-down aborted the reads at the bus: %u ended as ERR_POWER_DOWN, %u otherwise\n", ended,
              counts.other.load());
  sim::usb::Bus::Get().ClearTrace(m.pdo);
  pause();
  const uint32_t asleep = counts.reports - before;
  std::printf("  asleep for 150 ms: %u reports, %zu transfers on the bus; the reads issued meanwhile are held"
              " by the driver\n",
              asleep, BusTransfers(m.pdo));
  sim::power::Resume();
  sim::power::Settle();
  pause();
  stop = true;
  stream.join();
  std::printf("  resumed: the device is in %s; the held reads went to the bus, %zu transfers in all, and %u"
              " reports arrived in 150 ms\n",
              StateName(device.GetPowerState()), BusTransfers(m.pdo), counts.reports - before - asleep);
}

}  // namespace demo
