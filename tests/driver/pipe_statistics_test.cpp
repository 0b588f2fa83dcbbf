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
using xrtest::Result;

constexpr int64_t kTick = 156250;  // 100 ns units

class PipeStatisticsTest : public xrtest::PluggedDevice {
 protected:
  void SetUp() override {
    PluggedDevice::SetUp();
    sim::SetClockMode(sim::ClockMode::Manual);
    ASSERT_EQ(Configure(0, {{0, 0, 4096}}), STATUS_SUCCESS);
    ASSERT_EQ(BindPipe(h_, td::kSourceIn), STATUS_SUCCESS);
  }
  NTSTATUS Setup(ULONG interval) { return Send(IOCTL_SETUP_PIPE_STATISTICS, StatisticsSetup{interval, {}}).status; }
  // {window, rate, bytes, succeeded, failed}; the result is cleared first and nothing past it written.
  std::vector<uint64_t> Query(simwin::HANDLE h, ULONG flags = 0) {
    uint8_t b[sizeof(PipeStatistics) + 1];
    memset(b, 0xA5, sizeof b);
    memcpy(b, &flags, sizeof flags);
    EXPECT_EQ(Send(h, IOCTL_QUERY_PIPE_STATISTICS, b, sizeof flags, b, sizeof(PipeStatistics)),
              (Result{STATUS_SUCCESS, sizeof(PipeStatistics)}));
    PipeStatistics s;
    memcpy(&s, b, sizeof s);
    EXPECT_EQ(s.Reserved[0] | s.Reserved[1] | (b[sizeof s] ^ 0xA5u), 0u);
    return {s.ActualAveragingInterval, s.AverageRate, s.BytesTransferred, s.RequestsSucceeded, s.RequestsFailed};
  }
  void Read(int count, ULONG bytes = 512) {
    std::vector<uint8_t> b(bytes);
    for (int i = 0; i < count; ++i) ASSERT_EQ(Transfer(h_, true, b), (Result{STATUS_SUCCESS, bytes}));
  }
};

using Stats = std::vector<uint64_t>;

// Every setup first ends the running statistic and its ring, so a refused one leaves it off.
TEST_F(PipeStatisticsTest, SetupRingsWindowsAndRefusals) {
  const struct {
    ULONG interval;
    bool noMemory;
    NTSTATUS status;
    uint64_t window, ringBytes;
  } cases[] = {
      {3, false, STATUS_SUCCESS, 10, 2 * sizeof(PipeSample)},
      {5000, false, STATUS_SUCCESS, 5000, 1280 * sizeof(PipeSample)},
      {5001, false, ERR_USBD_INVALID_PARAMETER, 0, 0},
      {1000, true, ERR_USBD_NO_MEMORY, 0, 0},
      {0, false, STATUS_SUCCESS, 0, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.interval);
    ASSERT_EQ(Setup(100), STATUS_SUCCESS);
    if (c.noMemory) sim::FailNth(sim::AllocKind::Pool, 1, TAG_PIPE_STATISTICS);
    EXPECT_EQ(Setup(c.interval), c.status);
    EXPECT_EQ(sim::PoolUsage(TAG_PIPE_STATISTICS).bytesOutstanding, c.ringBytes);
    EXPECT_EQ(Query(h_), (Stats{c.window, 0, 0, 0, 0})) << "nothing moved yet: the whole window, no rate";
  }
  ASSERT_EQ(Setup(100), STATUS_SUCCESS);
  ASSERT_EQ(Send(IOCTL_UNCONFIGURE_DEVICE, nullptr, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(sim::PoolUsage(TAG_PIPE_STATISTICS).blocksOutstanding, 0u) << "the ring goes with its pipe";
}

// The rate counts the samples younger than the window. A ring that wrapped within it shortens the
// window to the age of its oldest sample, and a ring filled within one tick to that tick.
TEST_F(PipeStatisticsTest, RateOverTheWindowOrTheRingsAge) {
  ASSERT_EQ(Setup(1000), STATUS_SUCCESS);  // 256 samples over 64 ticks
  Read(4);
  EXPECT_EQ(Query(h_), (Stats{1000, 2048, 2048, 4, 0}));
  sim::Advance(64 * kTick);
  EXPECT_EQ(Query(h_), (Stats{1000, 0, 2048, 4, 0}));

  ASSERT_EQ(Setup(100), STATUS_SUCCESS);  // 25 samples over 6 ticks
  Read(13);
  sim::Advance(2 * kTick);
  Read(12);
  EXPECT_EQ(Query(h_, 7), (Stats{31, 25 * 512 * 1000 / 31, 2048 + 25 * 512, 29, 0}));

  ASSERT_EQ(Setup(10), STATUS_SUCCESS);  // 2 samples, less than a tick
  Read(3);
  EXPECT_EQ(Query(h_), (Stats{15, 2 * 512 * 1000 / 15, 3 * 512, 3, 0}));
}

// A query resets the counters its flags name once it has read them; unbinding ends the statistic
// and the counters, and a new binding starts from zero.
TEST_F(PipeStatisticsTest, CountersAcrossQueriesUnbindingAndBinding) {
  Read(2, 100);
  sim::usb::Bus::Get().FailEndpoint(pdo_, td::kSourceIn, {sim::usb::Response::Stall()});
  std::vector<uint8_t> b(100);
  ASSERT_NE(Transfer(h_, true, b).status, STATUS_SUCCESS);
  ASSERT_EQ(Send(IOCTL_RESET_PIPE, nullptr, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Query(h_, 0), (Stats{0, 0, 200, 2, 1})) << "off: no window, the counters all the same";
  EXPECT_EQ(Query(h_, STATISTICS_RESET_SUCCEEDED), (Stats{0, 0, 200, 2, 1}));
  EXPECT_EQ(Query(h_, STATISTICS_RESET_BYTES | STATISTICS_RESET_FAILED), (Stats{0, 0, 200, 0, 1}));
  EXPECT_EQ(Query(h_, 0), (Stats{0, 0, 0, 0, 0}));

  ASSERT_EQ(Setup(1000), STATUS_SUCCESS);
  Read(1, 100);
  ASSERT_EQ(Send(IOCTL_UNBIND_PIPE, nullptr, 0).status, STATUS_SUCCESS);
  const simwin::HANDLE h2 = Another();
  ASSERT_EQ(BindPipe(h2, td::kSourceIn), STATUS_SUCCESS);
  EXPECT_EQ(Query(h2), (Stats{0, 0, 0, 0, 0}));
}

}  // namespace
