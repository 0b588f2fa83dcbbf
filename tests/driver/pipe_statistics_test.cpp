// Pipe statistics as an application reads them: the setup's ring and refusals, the rate over its
// window on the controlled clock, and the counters across queries, unbinding and binding.
#include <cstring>
#include <vector>

#include "driver/core/pool_tags.h"
#include "include/xrusb/status.h"
#include "plugged_device.h"
#include "sim/kernel/clock.h"

namespace {

namespace td = sim::usb::test_device;
using Stats = std::vector<uint64_t>;  // window, rate, bytes, succeeded, failed

class PipeStatisticsTest : public xrtest::PluggedDevice {
 protected:
  void SetUp() override {
    PluggedDevice::SetUp();
    sim::SetClockMode(sim::ClockMode::Manual);
    ASSERT_EQ(Configure(0, {{0, 0, 4096}}), STATUS_SUCCESS);
    ASSERT_EQ(BindPipe(h_, td::kSourceIn), STATUS_SUCCESS);
  }
  NTSTATUS Setup(ULONG interval) { return Send(IOCTL_SETUP_PIPE_STATISTICS, StatisticsSetup{interval, {}}).status; }
  // The result overwrites the flags; all of it is written, nothing past it.
  Stats Query(ULONG flags = 0, simwin::HANDLE h = nullptr) {
    uint32_t b[sizeof(PipeStatistics) / 4 + 1] = {flags, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(Send(h ? h : h_, IOCTL_QUERY_PIPE_STATISTICS, b, 4, b, sizeof(PipeStatistics)).information, 32u);
    EXPECT_EQ(b[6] | b[7] | (b[8] ^ 8), 0u);
    return {b[0], b[1], b[2] | uint64_t(b[3]) << 32, b[4], b[5]};
  }
  void Read(int count, ULONG bytes = 512) {
    std::vector<uint8_t> b(bytes);
    for (int i = 0; i < count; ++i) ASSERT_EQ(Transfer(h_, true, b).information, bytes);
  }
};

// Every setup first ends the running statistic and its ring, so a refused one leaves it off; right
// after a setup the window is whole and the rate 0. The counters run whether the statistic does
// or not; unbinding ends both and a new binding starts from zero. (A ring left behind stops the
// run when the device goes: the verifier's pool check.)
TEST_F(PipeStatisticsTest, SetupRingsWindowsRefusalsAndCounters) {
  Read(2, 100);
  const struct {
    ULONG interval;
    bool noMemory;
    NTSTATUS status;
    uint64_t window, ring;
  } cases[] = {{3, false, STATUS_SUCCESS, 10, 2 * sizeof(PipeSample)},
               {5001, false, ERR_USBD_INVALID_PARAMETER, 0, 0},
               {1000, true, ERR_USBD_NO_MEMORY, 0, 0},
               {0, false, STATUS_SUCCESS, 0, 0}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.interval);
    ASSERT_EQ(Setup(100), STATUS_SUCCESS);
    if (c.noMemory) sim::FailNth(sim::AllocKind::Pool, 1, TAG_PIPE_STATISTICS);
    EXPECT_EQ(Setup(c.interval), c.status);
    EXPECT_EQ(sim::PoolUsage(TAG_PIPE_STATISTICS).bytesOutstanding, c.ring);
    EXPECT_EQ(Query(), (Stats{c.window, 0, 200, 2, 0})) << "flags 0 reset nothing";
  }
  ASSERT_EQ(Setup(1000), STATUS_SUCCESS);
  ASSERT_EQ(Send(IOCTL_UNBIND_PIPE, nullptr, 0).status, STATUS_SUCCESS);
  const simwin::HANDLE h2 = Another();
  ASSERT_EQ(BindPipe(h2, td::kSourceIn), STATUS_SUCCESS);
  EXPECT_EQ(Query(0, h2), (Stats{0, 0, 0, 0, 0}));
}

// The rate counts the samples younger than the window. A ring that wrapped within it shortens the
// window to the age of its oldest sample, and a ring filled within one tick to that tick. A query
// resets the counters its flags name once it has read them.
TEST_F(PipeStatisticsTest, RateOverTheWindowOrTheRingsAge) {
  constexpr int64_t kTick = 156250;
  ASSERT_EQ(Setup(1000), STATUS_SUCCESS);  // 256 samples over 64 ticks
  sim::usb::Bus::Get().FailEndpoint(pdo_, td::kSourceIn, {sim::usb::Response::Stall()});
  std::vector<uint8_t> stalled(64);
  ASSERT_NE(Transfer(h_, true, stalled).status, STATUS_SUCCESS);
  ASSERT_EQ(Send(IOCTL_RESET_PIPE, nullptr, 0).status, STATUS_SUCCESS);
  Read(4);
  EXPECT_EQ(Query(STATISTICS_RESET_SUCCEEDED), (Stats{1000, 2048, 2048, 4, 1}));
  sim::Advance(64 * kTick);
  EXPECT_EQ(Query(STATISTICS_RESET_BYTES | STATISTICS_RESET_FAILED), (Stats{1000, 0, 2048, 0, 1}));

  ASSERT_EQ(Setup(100), STATUS_SUCCESS);  // 25 samples over 6 ticks
  Read(13);
  sim::Advance(2 * kTick);
  Read(12);
  EXPECT_EQ(Query(7), (Stats{31, 25 * 512 * 1000 / 31, 25 * 512, 25, 0}));

  ASSERT_EQ(Setup(10), STATUS_SUCCESS);  // 2 samples, less than a tick
  Read(3);
  EXPECT_EQ(Query(), (Stats{15, 2 * 512 * 1000 / 15, 3 * 512, 3, 0}));
}

}  // namespace
