// Data through pipes: asynchronous requests in flight, cancellation, time-outs, isochronous
// packets, and what an application sees when the device goes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <tuple>

#include "lib_fixture.h"
#include "tests/support/await.h"

namespace {

using namespace std::chrono_literals;
using namespace xrtest;

constexpr uint32_t kXactError = 0xC0000011;  // USBD_STATUS_XACT_ERROR

class Transfers : public Lib {
 protected:
  void SetUp() override {
    Lib::SetUp();
    path_ = Plug();
    dev_ = Configured(path_);
  }
  void TearDown() override {
    dev_.Close();
    Lib::TearDown();
  }
  // Until the bus holds 'n' transfers the device does not answer.
  void AwaitHeld(size_t n) {
    EXPECT_TRUE(support::AwaitUntil([&] { return HeldTransfers() >= n; }, "the transfers held"));
    ASSERT_EQ(HeldTransfers(), n);
  }

  std::u16string path_;
  xrusb::Device dev_;
};

TEST_F(Transfers, BulkLoopbackWithSeveralRequestsInFlight) {
  xrusb::Pipe out = dev_.OpenPipe(td::kLoopbackOut);
  xrusb::Pipe in = dev_.OpenPipe(td::kLoopbackIn);
  EXPECT_EQ(in.Info().type, xrusb::TransferType::Bulk);
  EXPECT_EQ(in.Info().maxPacketSize, 512);

  constexpr size_t kChunk = 1024, kDepth = 4, kTotal = 256 * 1024;
  std::vector<uint8_t> sent(kTotal);
  for (size_t i = 0; i < kTotal; ++i) sent[i] = uint8_t(i * 131 + (i >> 9));
  std::vector<xrusb::Request> writes(kDepth);
  std::vector<xrusb::Request> reads;
  for (size_t i = 0; i < kDepth; ++i) reads.emplace_back(kChunk);
  size_t offset = 0, writing = 0;
  for (xrusb::Request &w : writes) {
    out.SubmitWrite(w, std::span(sent).subspan(offset, kChunk));
    offset += kChunk;
    ++writing;
  }
  for (xrusb::Request &r : reads) in.SubmitRead(r);

  std::vector<uint8_t> received;
  size_t wi = 0, ri = 0;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (received.size() < kTotal && std::chrono::steady_clock::now() < deadline) {
    while (writing && writes[wi].Done()) {
      ASSERT_EQ(writes[wi].Result(), kChunk);
      --writing;
      if (offset < kTotal) {
        out.SubmitWrite(writes[wi], std::span(sent).subspan(offset, kChunk));
        offset += kChunk;
        ++writing;
      }
      wi = (wi + 1) % kDepth;
    }
    if (!reads[ri].Wait(5ms)) continue;
    ASSERT_TRUE(reads[ri].Ok()) << reads[ri].Status().message();
    received.insert(received.end(), reads[ri].Data().begin(), reads[ri].Data().end());
    in.SubmitRead(reads[ri]);
    ri = (ri + 1) % kDepth;
  }
  ASSERT_EQ(received.size(), kTotal);
  EXPECT_TRUE(received == sent) << "the stream came back changed";
  EXPECT_EQ(Counters().loopbackBytesIn, kTotal);
  // The reads still in flight go with the pipe.
}

TEST_F(Transfers, CancelAndTimeOutEndAHeldRead) {
  xrusb::Pipe in = dev_.OpenPipe(td::kLoopbackIn);  // its FIFO is empty: reads wait
  xrusb::Request r(64);
  in.SubmitRead(r);
  EXPECT_FALSE(r.Wait(20ms));
  EXPECT_TRUE(r.InFlight());
  r.Cancel();
  ASSERT_TRUE(r.Wait(5s));
  EXPECT_EQ(r.Status(), xrusb::errc::cancelled) << r.Status().message();
  EXPECT_EQ(r.Status(), std::errc::operation_canceled);
  EXPECT_NE(r.Status().message().find("CANCEL"), std::string::npos) << r.Status().message();
  EXPECT_EQ(r.Bytes(), 0u);
  EXPECT_THROW(r.Result(), xrusb::TransferError);

  uint8_t buffer[64];
  std::error_code ec;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(in.Read(buffer, 50ms, ec), 0u);
  EXPECT_EQ(ec, xrusb::errc::timeout) << ec.message();
  EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);

  // Nothing of the ended reads is left to swallow later data.
  xrusb::Pipe out = dev_.OpenPipe(td::kLoopbackOut);
  const std::vector<uint8_t> data{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  EXPECT_EQ(out.Write(data), data.size());
  ASSERT_EQ(in.Read(buffer, 5s), data.size());
  EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer));
}

TEST_F(Transfers, DestroyingAPipeOrRequestInFlightEndsIt) {
  std::vector<xrusb::Request> reads;
  for (int i = 0; i < 3; ++i) reads.emplace_back(64);
  {
    xrusb::Pipe in = dev_.OpenPipe(td::kLoopbackIn);
    for (xrusb::Request &r : reads) in.SubmitRead(r);
    AwaitHeld(1);
  }
  for (xrusb::Request &r : reads) {
    EXPECT_FALSE(r.InFlight());
    EXPECT_EQ(r.Status(), xrusb::errc::cancelled) << r.Status().message();
  }

  xrusb::Pipe in = ReopenPipe(dev_, td::kLoopbackIn);  // the closed handle's binding is gone
  {
    xrusb::Request dropped(64);
    in.SubmitRead(dropped);
    EXPECT_THROW(in.SubmitRead(dropped), std::logic_error);
    xrusb::Request moved = std::move(dropped);  // in flight: the state moves, not the system's record
    EXPECT_TRUE(moved.InFlight());
  }
  xrusb::Pipe out = dev_.OpenPipe(td::kLoopbackOut);
  const std::vector<uint8_t> data{7, 7, 7, 7, 7};
  out.Write(data);
  uint8_t buffer[64];
  EXPECT_EQ(in.Read(buffer, 5s), data.size());
}

TEST_F(Lib, IsoReadAndWriteReportEachPacket) {
  if (!kPartialMdls) GTEST_SKIP() << "the platform has no IoBuildPartialMdl";
  xrusb::Device dev = xrusb::Device::Open(Plug());
  dev.SetConfiguration(0, {{0, 0}, {1, 1}});  // 256-byte isochronous packets
  HoldFrameClock();
  xrusb::Pipe in = dev.OpenPipe(td::kIsoIn);
  xrusb::Pipe out = dev.OpenPipe(td::kIsoOut);
  EXPECT_EQ(in.Info().type, xrusb::TransferType::Isochronous);

  xrusb::IsoRequest r(8, 256);
  uint64_t stream = 0;
  for (int round = 0; round < 2; ++round) {  // submitting again lays the request out afresh
    if (round == 1) FailNthIn(td::kIsoIn, 3, kXactError);  // the device drops the third packet
    in.Submit(r);
    ASSERT_TRUE(r.Wait(5s));
    EXPECT_EQ(r.ErrorCount(), round == 1 ? 1u : 0u);
    for (size_t k = 0; k < r.PacketCount(); ++k) {
      const xrusb::IsoPacket p = r.Packet(k);
      if (round == 1 && k == 2) {
        EXPECT_EQ(xrusb::StatusOf(p.status), int32_t(kXactError | 0xE0000000u));
        EXPECT_NE(p.status.message().find("USBD_STATUS_XACT_ERROR"), std::string::npos) << p.status.message();
        EXPECT_EQ(p.length, 0u);
        continue;
      }
      ASSERT_FALSE(p.status) << k << " " << p.status.message();
      ASSERT_EQ(p.length, 256u) << k;
      for (size_t i = 0; i < p.length; ++i)
        ASSERT_EQ(p.data[i], PatternByte(stream + i)) << "round " << round << " packet " << k;
      stream += p.length;
    }
  }

  // Eight packets: a high-speed frame's worth at this interval.
  const uint32_t lengths[] = {100, 200, 256, 0, 0, 0, 0, 0};
  xrusb::IsoRequest w(lengths);
  for (size_t k = 0; k < w.PacketCount(); ++k) std::fill(w.PacketBuffer(k).begin(), w.PacketBuffer(k).end(), k + 1);
  out.Submit(w);
  ASSERT_TRUE(w.Wait(5s));
  ASSERT_FALSE(w.Status()) << w.Status().message();
  for (size_t k = 0; k < w.PacketCount(); ++k) EXPECT_FALSE(w.Packet(k).status) << k;
  EXPECT_EQ(Counters().isoOutBytes, 556u);
}

TEST_F(Transfers, StalledEndpointRecoversAfterReset) {
  xrusb::Pipe in = dev_.OpenPipe(td::kSourceIn);
  StallOnce(td::kSourceIn);
  uint8_t buffer[512];
  try {
    in.Read(buffer);
    ADD_FAILURE() << "a stalled endpoint read";
  } catch (const xrusb::TransferError &e) {
    EXPECT_EQ(e.code(), xrusb::errc::stall) << e.code().message();
  }
  in.Reset();
  EXPECT_EQ(in.Read(buffer, 5s), sizeof buffer);
}

// What an application does with a pipe's statistics, with the second control pipe both ways and
// with a reset of the device.
TEST_F(Transfers, StatisticsControlPipeAndDeviceReset) {
  xrusb::Pipe in = dev_.OpenPipe(td::kSourceIn);
  in.SetupStatistics(1000);
  uint8_t buffer[512];
  ASSERT_EQ(in.Read(buffer, 5s), sizeof buffer);
  const xrusb::PipeStats s = in.QueryStatistics(true);
  EXPECT_EQ(std::tuple(s.averagingIntervalMs, s.averageRate, s.bytesTransferred), std::tuple(1000u, 512u, 512u));
  EXPECT_EQ(in.QueryStatistics().bytesTransferred, 0u) << "reset by the query before";

  xrusb::Pipe control = dev_.OpenPipe(td::kControlPipe);
  EXPECT_EQ(control.ControlOut({0x40, td::kPipeWrite}, std::vector<uint8_t>{9, 8, 7}), 3u);
  EXPECT_EQ(control.ControlIn({0xC0, td::kPipeRead}, buffer), 3u);
  EXPECT_EQ(buffer[0] + buffer[2], 9 + 7);

  dev_.Reset();
  std::error_code ec;
  dev_.Reset(ec);
  EXPECT_EQ(ec, xrusb::errc::not_configured) << "the reset left the device unconfigured";
}

TEST_F(Transfers, UnplugEndsRequestsInFlightAndLaterCalls) {
  xrusb::Pipe in = dev_.OpenPipe(td::kLoopbackIn);
  xrusb::Request r(64);
  in.SubmitRead(r);
  AwaitHeld(1);
  Unplug(port_);
  ASSERT_TRUE(r.Wait(5s));
  EXPECT_EQ(r.Status(), xrusb::errc::not_connected) << r.Status().message();
  Settle();
  EXPECT_TRUE(xrusb::ListDevices().empty());

  if (!kRemovalWaitsForHandles) return;
  std::error_code ec;
  dev_.GetDeviceDescriptor(ec);
  EXPECT_EQ(xrusb::StatusOf(ec), ERR_DEVICE_NOT_PRESENT);
  EXPECT_EQ(ec, xrusb::errc::not_connected);
  EXPECT_NE(ec.message().find("ERR_DEVICE_NOT_PRESENT"), std::string::npos) << ec.message();
  in.SubmitRead(r);
  EXPECT_TRUE(r.Done()) << "refused at once";
  EXPECT_EQ(r.Status(), xrusb::errc::not_connected) << r.Status().message();
}

// Pipes streaming with several requests in flight while other threads cancel single requests,
// cancel and abort whole pipes and query the device. Each completion is counted once: the bytes
// the application saw moved, cancelled requests included, are the bytes the device moved.
TEST_F(Transfers, ConcurrencyStreamsWhileOthersCancelAbortAndQuery) {
  constexpr size_t kDepth = 4, kLength = 4096;
  struct Stream {
    xrusb::Pipe pipe;
    std::vector<xrusb::Request> ring;
    uint64_t submitted = 0, completed = 0, bytes = 0;
  };
  std::vector<Stream> streams;
  for (uint8_t endpoint : {td::kSourceIn, td::kSinkOut, td::kLoopbackOut, td::kLoopbackIn}) {
    Stream &s = streams.emplace_back();
    s.pipe = dev_.OpenPipe(endpoint);
    for (size_t i = 0; i < kDepth; ++i) s.ring.emplace_back(kLength);
  }
  xrusb::Pipe interrupt = dev_.OpenPipe(td::kInterruptIn);
  std::atomic<bool> stop{false};

  auto collect = [&](Stream &s, xrusb::Request &r) {
    if (!r.Wait(10s)) {
      ADD_FAILURE() << "a request never ended";
      return;
    }
    ++s.completed;
    EXPECT_TRUE(r.Ok() || r.Status() == xrusb::errc::cancelled) << r.Status().message();
    EXPECT_LE(r.Bytes(), kLength);
    s.bytes += r.Bytes();
  };
  auto stream = [&](Stream &s) {
    auto submit = [&](xrusb::Request &r) {
      s.pipe.IsIn() ? s.pipe.SubmitRead(r) : s.pipe.SubmitWrite(r, kLength);
      ++s.submitted;
    };
    for (xrusb::Request &r : s.ring) submit(r);
    for (size_t i = 0;; i = (i + 1) % kDepth) {
      while (!stop && !s.ring[i].Wait(1ms)) {
      }
      if (stop) break;
      collect(s, s.ring[i]);
      submit(s.ring[i]);
    }
    for (xrusb::Request &r : s.ring) r.Cancel();
    for (xrusb::Request &r : s.ring) collect(s, r);
  };
  std::vector<std::thread> threads;
  for (Stream &s : streams) threads.emplace_back(stream, std::ref(s));
  threads.emplace_back([&] {  // cancels single requests and whole pipes
    for (unsigned n = 0; !stop; ++n) {
      Stream &s = streams[n % streams.size()];
      s.ring[(n / streams.size()) % kDepth].Cancel();
      if (n % 16 == 0) s.pipe.CancelAll();
      if (n % 16 == 8) interrupt.CancelAll();
      std::this_thread::sleep_for(100us);
    }
  });
  threads.emplace_back([&] {  // aborts pipes
    for (unsigned n = 0; !stop; ++n) {
      std::error_code ec;
      streams[n % streams.size()].pipe.Abort(ec);
      EXPECT_FALSE(ec) << ec.message();
      std::this_thread::sleep_for(1ms);
    }
  });
  threads.emplace_back([&] {  // queries the device and reads the interrupt pipe synchronously
    while (!stop) {
      std::error_code ec;
      EXPECT_EQ(dev_.GetProperties(ec).openHandles, 6u) << ec.message();
      EXPECT_EQ(dev_.GetActiveConfiguration(ec).pipes.size(), 7u) << ec.message();
      EXPECT_EQ(dev_.GetDeviceDescriptor(ec).vendorId, 0x1209) << ec.message();
      uint8_t report[td::kInterruptReportSize];
      const size_t n = interrupt.Read(report, 20ms, ec);
      EXPECT_TRUE(!ec || ec == xrusb::errc::cancelled || ec == xrusb::errc::timeout) << ec.message();
      EXPECT_LE(n, sizeof report);
    }
  });
  std::this_thread::sleep_for(300ms);
  stop = true;
  for (std::thread &t : threads) t.join();

  for (Stream &s : streams) {
    EXPECT_EQ(s.completed, s.submitted);
    EXPECT_GT(s.completed, kDepth);
  }
  const auto moved = Counters();
  EXPECT_EQ(streams[0].bytes, moved.sourceBytes);
  EXPECT_EQ(streams[1].bytes, moved.sinkBytes);
  EXPECT_EQ(streams[2].bytes, moved.loopbackBytesIn);
  EXPECT_EQ(streams[3].bytes, moved.loopbackBytesOut);
}

}  // namespace
