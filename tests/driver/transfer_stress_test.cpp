// Every kind of transfer on several handles at once while other threads cancel, abort, unbind,
// reconfigure, close handles and finally unplug the device: each request must complete exactly
// once with a status that fits what happened to it, and nothing may remain afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "driver/core/device_extension.h"
#include "include/xrusb/ioctl.h"
#include "include/xrusb/status.h"
#include "plugged_device.h"
#include "sim/kernel/pnp.h"
#include "tests/support/await.h"

namespace {

using Clock = std::chrono::steady_clock;
using sim::usb::Bus;
using simwin::HANDLE;
namespace td = sim::usb::test_device;

constexpr NTSTATUS kDeviceGone = NTSTATUS(USBD_STATUS_DEVICE_GONE | 0xE0000000u);
constexpr NTSTATUS kStalled = NTSTATUS(USBD_STATUS_STALL_PID | 0xE0000000u);

// What may become of a request here: done, cancelled in the driver or at the bus, stalled, refused
// for a binding or a configuration that has just gone, or refused by a device that has left.
bool Sensible(NTSTATUS s) {
  switch (s) {
    case STATUS_SUCCESS:
    case STATUS_CANCELLED:
    case ERR_USBD_CANCELED:
    case ERR_NOT_BOUND:
    case ERR_DEVICE_NOT_PRESENT:
    case ERR_DEVICE_NOT_READY:
    case ERR_POWER_DOWN:
    case kDeviceGone:
    case kStalled:
    case NTSTATUS(USBD_STATUS_ISOCH_REQUEST_FAILED | 0xE0000000u):  // a stream stalled here runs late
      return true;
    default:
      return false;
  }
}

using Request = xrtest::Io;

class TransferStress : public xrtest::PluggedDevice {
 protected:
  // One handle bound to one endpoint, keeping a few requests in flight. A stream of an application
  // ('app', 'Reopening') also drains, closes and opens again whenever the device leaves it.
  struct Worker {
    uint8_t endpoint;
    bool iso;
    DWORD length;
    PEPROCESS app = nullptr;
    HANDLE h = simwin::INVALID_HANDLE_VALUE;
    std::deque<std::unique_ptr<Request>> inFlight;
    std::atomic<uint64_t> completed = 0, opened = 0;
    std::atomic<bool> idle = false;  // closed, as 'closing' asked
    const std::atomic<bool> *stop_ = nullptr, *closing_ = nullptr;
    std::atomic<int> step = 0;  // where it is, for a report: 1 opening, 2 issuing, 3 retiring, 4 closing

    bool Read() const { return endpoint & 0x80; }
    void Issue() {
      inFlight.push_back(Start(h, Read(), iso ? xrtest::IsoBuffer(std::vector<ULONG>(8, 256))
                                              : std::vector<uint8_t>(length, 0x5A)));
    }
    // The oldest request's end; a lost completion fails the test instead of hanging it. A loopback
    // read waits for data its writer may no longer send: a stream told to stop or close cancels.
    NTSTATUS Retire() {
      Request &r = *inFlight.front();
      DWORD bytes = 0;
      bool cancelled = false;
      for (int slice = 0; slice < 600 && !simwin::HasOverlappedIoCompleted(&r.o); ++slice) {
        if (!cancelled && stop_ && (stop_->load() || closing_->load())) {
          simwin::CancelIoEx(h, nullptr);
          cancelled = true;
        }
        simwin::GetOverlappedResultEx(h, &r.o, &bytes, 50, FALSE);
      }
      if (!simwin::HasOverlappedIoCompleted(&r.o)) {
        ADD_FAILURE() << "a request on endpoint " << std::hex << int(endpoint) << " never completed";
        std::abort();  // its buffer may still be written
      }
      const NTSTATUS s = NTSTATUS(uint32_t(r.o.Internal));
      EXPECT_TRUE(Sensible(s) || (app && s == STATUS_DELETE_PENDING))
          << std::hex << "endpoint " << int(endpoint) << " status " << s;
      EXPECT_LE(r.o.InternalHigh, r.buffer.size());
      if (!NT_SUCCESS(s)) {
        EXPECT_EQ(r.o.InternalHigh, 0u) << std::hex << s;
      }
      inFlight.pop_front();
      ++completed;
      return s;
    }
    void Run(const std::atomic<bool> &gone) {
      while (!gone.load()) {
        while (inFlight.size() < 3) Issue();
        const NTSTATUS s = Retire();
        if (s == ERR_NOT_BOUND) {
          if (BindPipe(h, endpoint) != STATUS_SUCCESS) std::this_thread::yield();  // the pipe comes back later
        }
      }
      while (!inFlight.empty()) Retire();
    }
    void Close() {
      if (h == simwin::INVALID_HANDLE_VALUE) return;
      step = 4;
      simwin::CancelIoEx(h, nullptr);
      while (!inFlight.empty()) Retire();
      EXPECT_TRUE(simwin::CloseHandle(h));
      h = simwin::INVALID_HANDLE_VALUE;
    }
    // 'closing' asks the stream to close and stay closed; 'idle' says it has.
    void Reopening(const std::atomic<bool> &stop, const std::atomic<bool> &closing) {
      stop_ = &stop;
      closing_ = &closing;
      simwin::ProcessScope in(app);
      while (!stop.load()) {
        if (closing.load()) {
          Close();
          idle = true;
          std::this_thread::yield();
          continue;
        }
        idle = false;
        if (h == simwin::INVALID_HANDLE_VALUE) {
          step = 1;
          h = Open();
          if (h != simwin::INVALID_HANDLE_VALUE && BindPipe(h, endpoint) != STATUS_SUCCESS) {
            EXPECT_TRUE(simwin::CloseHandle(h));
            h = simwin::INVALID_HANDLE_VALUE;
          }
          if (h == simwin::INVALID_HANDLE_VALUE) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
          }
          ++opened;
        }
        step = 2;
        while (inFlight.size() < 3) Issue();
        step = 3;
        const NTSTATUS s = Retire();
        // The device, the binding or the configuration went: start again with a fresh handle.
        if (s == ERR_NOT_BOUND || s == ERR_DEVICE_NOT_PRESENT || s == kDeviceGone || s == STATUS_DELETE_PENDING)
          Close();
      }
      Close();
    }
  };

  // Writes on the interrupt pipe of a fresh handle, which is closed with them in flight: cleanup
  // against them. False when there was nothing to write on.
  static bool CloseWithWritesInFlight(HANDLE h, int count, bool deletePendingFits = false) {
    std::vector<std::unique_ptr<Request>> writes;
    if (BindPipe(h, td::kInterruptOut) == STATUS_SUCCESS)
      for (int k = 0; k < count; ++k) writes.push_back(Start(h, false, std::vector<uint8_t>(8, uint8_t(k))));
    EXPECT_TRUE(simwin::CloseHandle(h));
    for (auto &w : writes) {
      if (!support::AwaitUntil([&] { return simwin::HasOverlappedIoCompleted(&w->o); }, "a write closed in flight"))
        std::abort();  // lost
      const NTSTATUS s = NTSTATUS(uint32_t(w->o.Internal));
      EXPECT_TRUE(Sensible(s) || (deletePendingFits && s == STATUS_DELETE_PENDING)) << std::hex << s;
    }
    return !writes.empty();
  }
};

TEST_F(TransferStress, ConcurrencyEverythingAtOnceThenUnplug) {
  const SetConfigurationRequest config = xrtest::ConfigRequest(0, {{0, 0, 65536}, {1, 1, 65536}, {2, 0, 64}});
  ASSERT_EQ(Send(IOCTL_SET_CONFIGURATION, config).status, STATUS_SUCCESS);

  const std::tuple<uint8_t, bool, DWORD> kinds[] = {
      {td::kLoopbackOut, false, 512}, {td::kLoopbackIn, false, 512},  {td::kSourceIn, false, 4096},
      {td::kSinkOut, false, 4096},    {td::kInterruptIn, false, 8},   {td::kIsoIn, true, 0},
      {td::kIsoOut, true, 0},
  };
  std::deque<Worker> workers;  // never moved: threads hold them
  for (auto [endpoint, iso, length] : kinds) workers.emplace_back(endpoint, iso, length);
  for (Worker &w : workers) {
    w.h = Open();
    handles_.push_back(w.h);
    ASSERT_EQ(BindPipe(w.h, w.endpoint), STATUS_SUCCESS);
  }

  std::atomic<bool> gone{false}, quiet{false};
  std::vector<std::thread> threads;
  for (Worker &w : workers) threads.emplace_back([&w, &gone] { w.Run(gone); });

  // Cancels whatever a handle has in flight, at random.
  threads.emplace_back([&] {
    std::minstd_rand random(7);
    while (!quiet.load()) {
      simwin::CancelIoEx(workers[random() % workers.size()].h, nullptr);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });

  // Opens a handle, writes on it and closes it with the writes in flight: cleanup against them.
  std::atomic<uint64_t> closedWithWrites{0};
  threads.emplace_back([&] {
    while (!quiet.load()) {
      const HANDLE h = Open();
      if (h == simwin::INVALID_HANDLE_VALUE) break;
      closedWithWrites += CloseWithWritesInFlight(h, 2);
    }
  });

  // Pipes aborted, stalled and reset, unbound, alternate settings and whole configurations changed,
  // on the workers' own handles and on another one; then the device leaves under all of it.
  std::minstd_rand random(11);
  const auto end = Clock::now() + std::chrono::milliseconds(1500);
  int rounds = 0;
  for (; Clock::now() < end && rounds < 400; ++rounds) {
    Worker &w = workers[random() % workers.size()];
    NTSTATUS s = STATUS_SUCCESS;
    switch (random() % 6) {
      case 0:
        s = Send(w.h, IOCTL_ABORT_PIPE).status;
        break;
      case 1:
        s = Send(w.h, IOCTL_UNBIND_PIPE).status;
        break;
      case 2: {
        const InterfaceSetting alternate{1, uint16_t(1 + rounds % 2), 65536};
        s = Send(IOCTL_SET_INTERFACE, alternate).status;
        break;
      }
      case 3:
        EXPECT_EQ(Send(h_, IOCTL_UNCONFIGURE_DEVICE).status, STATUS_SUCCESS);
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        s = Send(IOCTL_SET_CONFIGURATION, config).status;
        break;
      case 4:  // the halt holds the reads behind the stall until a reset ends them
        if (w.iso) break;
        sim::usb::Bus::Get().FailEndpoint(pdo_, w.endpoint, {sim::usb::Response::Stall()});
        // A read sent between the driver's abort and its reset leaves the reset refused as busy.
        if ((s = Send(w.h, IOCTL_RESET_PIPE).status) == NTSTATUS(USBD_STATUS_ERROR_BUSY | 0xE0000000u)) s = STATUS_SUCCESS;
        break;
      default:
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        break;
    }
    EXPECT_TRUE(s == STATUS_SUCCESS || s == ERR_NOT_BOUND) << std::hex << s << " in round " << std::dec << rounds;
  }
  Remove();
  gone = true;
  quiet = true;
  for (std::thread &t : threads) t.join();

  for (const Worker &w : workers) EXPECT_GT(w.completed, 3u) << "endpoint " << std::hex << int(w.endpoint);
  EXPECT_GT(closedWithWrites.load(), 0u);
  EXPECT_EQ(__atomic_load_n(&dx_->activeTransferCount, __ATOMIC_ACQUIRE), 0);
  // The removal finishes with the last close, in the tear-down; the world's end then finds
  // every IRP completed and no pool left.
}

// Streams on both devices while the system sleeps and resumes, remote wake-up is armed and
// disarmed under a device signalling it, handles open and close with writes in flight, and the
// second device is unplugged half-way: every request ends once, and after the last resume every
// stream of the first device moves again. XRUSB_SLEEP_CYCLES sets the number of cycles (10;
// `make sleep-stress` runs 1000 under ThreadSanitizer).
TEST_F(TransferStress, SleepAndResumeUnderStreams) {
  const char *cycles = std::getenv("XRUSB_SLEEP_CYCLES");
  const int total = cycles ? std::atoi(cycles) : 10;
  const SetConfigurationRequest config = xrtest::ConfigRequest(0, {{0, 0, 65536}, {1, 1, 65536}, {2, 0, 64}});
  ASSERT_EQ(Send(IOCTL_SET_CONFIGURATION, config).status, STATUS_SUCCESS);
  sim::registry::SetString(key_ + u"b", u"DriverDeviceBaseName", u"Dev");
  sim::usb::PlugOptions second;
  second.registryKey = key_ + u"b";
  PDEVICE_OBJECT pdo2 = sim::usb::Bus::Get().Plug(sim::usb::MakeTestDevice().model, driver_, second);
  auto open2 = [] {
    return simwin::CreateFileW(u"\\\\.\\Dev1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
  };
  handles_.push_back(open2());
  ASSERT_EQ(Send(handles_.back(), IOCTL_SET_CONFIGURATION, &config, sizeof config).status, STATUS_SUCCESS);

  std::deque<Worker> workers;
  for (auto [endpoint, iso, length] : {std::tuple<uint8_t, bool, DWORD>{td::kLoopbackOut, false, 512},
                                       {td::kLoopbackIn, false, 512}, {td::kInterruptIn, false, 8},
                                       {td::kIsoIn, true, 0}, {td::kLoopbackOut, false, 512},
                                       {td::kSourceIn, false, 4096}})
    workers.emplace_back(endpoint, iso, length);
  for (size_t k = 0; k < workers.size(); ++k) {
    workers[k].h = k < 4 ? Open() : open2();
    handles_.push_back(workers[k].h);
    ASSERT_EQ(BindPipe(workers[k].h, workers[k].endpoint), STATUS_SUCCESS);
  }
  std::atomic<bool> gone[2] = {false, false}, quiet{false};
  std::atomic<size_t> finished{0};
  std::vector<std::thread> threads;
  for (size_t k = 0; k < workers.size(); ++k)
    threads.emplace_back([&, k] {
      workers[k].Run(gone[k < 4 ? 0 : 1]);
      if (k < 4) ++finished;
    });
  threads.emplace_back([&] {
    for (uint32_t k = 0; !quiet.load(); ++k) {
      const DeviceParameters p{XRUSB_OPTION_UNCONFIGURE_ON_CLOSE | (k % 2 ? XRUSB_OPTION_REMOTE_WAKEUP : 0), 1000};
      EXPECT_EQ(Send(IOCTL_SET_DEVICE_PARAMETERS, p).status, STATUS_SUCCESS);
      (void)sim::usb::Bus::Get().SignalRemoteWakeup(pdo_);
      CloseWithWritesInFlight(Open(), 1);
    }
  });

  for (int cycle = 0; cycle < total; ++cycle) {
    EXPECT_EQ(sim::power::Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // A wake-up may have brought the system back already.
    const NTSTATUS resumed = sim::power::Resume();
    EXPECT_TRUE(resumed == STATUS_SUCCESS || resumed == STATUS_INVALID_DEVICE_STATE) << std::hex << resumed;
    sim::power::Settle();
    if (cycle == total / 2) {
      sim::usb::Bus::Get().Unplug(pdo2);
      gone[1] = true;
    }
  }
  quiet = true;
  std::vector<uint64_t> before;
  for (const Worker &w : workers) before.push_back(w.completed);
  for (size_t k = 0; k < 4; ++k)
    EXPECT_TRUE(support::AwaitUntil([&] { return workers[k].completed > before[k] + 2; }, "a stream moving again"));
  gone[0] = true;
  // The loopback writer stops too, and may stop before the reads it was feeding have had their
  // data: what is left is cancelled.
  while (finished < 4) {
    for (size_t k = 0; k < 4; ++k) simwin::CancelIoEx(workers[k].h, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (std::thread &t : threads) t.join();
}

using DeviceFundamentals = TransferStress;

// Device fundamentals, as a certification lab runs them: surprise removal and arrival, rebalance
// (query stop, stop, start), disable and enable, system sleep and resume, each with requests in
// flight from two applications of several threads (bulk, interrupt, isochronous streams; a thread
// that opens, asks, writes and closes). Every request ends once with a status that fits, a handle
// opened after each cycle moves data, and nothing remains at the end. XRUSB_STRESS_SEED picks the
// actions (printed), XRUSB_STRESS_CYCLES their number (12; `make stress-long` runs 500 under
// ThreadSanitizer).
TEST_F(DeviceFundamentals, CyclesWithRequestsInFlight) {
  const char *seedText = std::getenv("XRUSB_STRESS_SEED"), *cyclesText = std::getenv("XRUSB_STRESS_CYCLES");
  const uint32_t seed = seedText ? uint32_t(std::strtoul(seedText, nullptr, 0)) : std::random_device{}();
  const int cycles = cyclesText ? std::atoi(cyclesText) : 12;
  std::printf("[ stress ] XRUSB_STRESS_SEED=%u XRUSB_STRESS_CYCLES=%d\n", seed, cycles);
  std::fflush(stdout);
  std::minstd_rand random(seed);

  // Configured at each start (interface 1 in its isochronous setting), and kept when handles close.
  const Values values = {{u"ConfigIndex", 0}, {u"Interface", 1}, {u"AlternateSetting", 1}, {u"UnconfigureOnClose", 0}};
  Unplug();
  openOnPlug_ = false;
  Plug(values);
  ASSERT_NE(dx_, nullptr);

  PEPROCESS apps[2] = {sim::NewProcess("recorder"), sim::NewProcess("console")};
  std::deque<Worker> streams;
  for (auto [app, endpoint, iso, length] : {std::tuple<int, uint8_t, bool, DWORD>{0, td::kLoopbackOut, false, 512},
                                            {0, td::kLoopbackIn, false, 512},
                                            {0, td::kIsoIn, true, 0},
                                            {1, td::kSinkOut, false, 4096},
                                            {1, td::kInterruptIn, false, 8},
                                            {1, td::kIsoOut, true, 0}})
    streams.emplace_back(endpoint, iso, length, apps[app]);
  std::atomic<bool> stop{false}, closing{false};
  std::atomic<bool> openerIdle{false};
  std::vector<std::thread> threads;
  for (Worker &s : streams) threads.emplace_back([&] { s.Reopening(stop, closing); });
  // The console also opens, asks, writes on the interrupt pipe and closes with the writes in flight.
  threads.emplace_back([&] {
    simwin::ProcessScope in(apps[1]);
    while (!stop.load()) {
      if (closing.load()) {
        openerIdle = true;
        std::this_thread::yield();
        continue;
      }
      openerIdle = false;
      const HANDLE h = Open();
      if (h == simwin::INVALID_HANDLE_VALUE) {
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        continue;
      }
      ConfigurationInfo info;
      (void)Send(h, IOCTL_GET_CONFIGURATION_INFO, nullptr, 0, &info, sizeof info);
      CloseWithWritesInFlight(h, 2, true);
    }
  });
  auto allClosed = [&] {
    return openerIdle.load() &&
           std::all_of(streams.begin(), streams.end(), [](const Worker &s) { return s.idle.load(); });
  };
  // A handle of the test's own after each cycle: opens and reads the source, which no stream uses.
  auto expectWorking = [&](int cycle) {
    HANDLE h = simwin::INVALID_HANDLE_VALUE;
    ASSERT_TRUE(support::AwaitUntil([&] { return (h = Open()) != simwin::INVALID_HANDLE_VALUE; }, "an open"))
        << "cycle " << cycle;
    EXPECT_EQ(BindPipe(h, td::kSourceIn), STATUS_SUCCESS) << "cycle " << cycle;
    std::vector<uint8_t> data(512);
    EXPECT_EQ(Transfer(h, true, data), (xrtest::Result{STATUS_SUCCESS, 512})) << "cycle " << cycle;
    EXPECT_TRUE(simwin::CloseHandle(h));
  };
  auto streamsMoving = [&](const char *what) {
    std::vector<uint64_t> before;
    for (const Worker &s : streams) before.push_back(s.completed);
    for (size_t k = 0; k < streams.size(); ++k)
      EXPECT_TRUE(support::AwaitUntil([&] { return streams[k].completed > before[k] + 3; }, what))
          << "endpoint " << std::hex << int(streams[k].endpoint);
  };

  const char *names[] = {"surprise removal", "rebalance", "disable and enable", "sleep and resume"};
  int counts[4] = {};
  for (int cycle = 0; cycle < cycles && !HasFatalFailure(); ++cycle) {
    const int action = int(random() % 4);
    ++counts[action];
    SCOPED_TRACE(testing::Message() << "cycle " << cycle << ": " << names[action]);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
    switch (action) {
      case 0: {  // the device leaves with everything in flight, then arrives again
        Bus::Get().Unplug(pdo_);
        if (!support::AwaitUntil([] { return sim::LookupDeviceByName(u"\\Device\\Dev0") == nullptr; },
                                 "the removal, once the streams have closed"))
          std::abort();  // the threads cannot be stopped cleanly from here
        Bus::Get().Settle();
        sim::usb::PlugOptions options;
        options.registryKey = key_;
        device_ = sim::usb::MakeTestDevice();
        pdo_ = Bus::Get().Plug(device_.model, driver_, options);
        dx_ = xrtest::DeviceAbove(pdo_);
        break;
      }
      case 1:
        EXPECT_EQ(sim::pnp::Rebalance(pdo_), STATUS_SUCCESS);
        break;
      case 2: {  // refused while the applications hold it, done once they have closed
        const NTSTATUS first = sim::pnp::Disable(pdo_);
        if (first != STATUS_SUCCESS) {
          EXPECT_EQ(first, STATUS_PLUGPLAY_QUERY_VETOED);
          closing = true;
          if (!support::AwaitUntil(allClosed, "the applications closing")) {
            for (const Worker &s : streams)
              ADD_FAILURE() << "endpoint " << std::hex << int(s.endpoint) << " idle " << s.idle << " at step "
                            << s.step;
            ADD_FAILURE() << "opener idle " << openerIdle;
            std::abort();  // threads hold requests whose buffers may still be written
          }
          // A handle closed with writes in flight sends its close from a worker once they end.
          if (!support::AwaitUntil([&] { return sim::pnp::Disable(pdo_) == STATUS_SUCCESS; }, "a disable"))
            std::abort();
        }
        EXPECT_EQ(xrtest::DeviceAbove(pdo_), nullptr) << "disabled";
        EXPECT_EQ(sim::pnp::Plug(pdo_, driver_).start, STATUS_SUCCESS) << "enabled";
        dx_ = xrtest::DeviceAbove(pdo_);
        closing = false;
        break;
      }
      default:
        EXPECT_EQ(sim::power::Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 1000));
        EXPECT_EQ(sim::power::Resume(), STATUS_SUCCESS);
        sim::power::Settle();
        break;
    }
    expectWorking(cycle);
    streamsMoving("the streams moving again");
  }
  stop = true;
  for (std::thread &t : threads) t.join();
  std::printf("[ stress ] %d cycles: %d surprise removals, %d rebalances, %d disables, %d sleeps\n", cycles, counts[0],
              counts[1], counts[2], counts[3]);
  for (const Worker &s : streams) EXPECT_GT(s.opened, 0u);
  for (PEPROCESS app : apps) {
    EXPECT_EQ(simwin::OpenHandleCount(app), 0u);
    simwin::EndProcess(app);
  }
  UnplugExpectingNothingLeft();
}

}  // namespace
