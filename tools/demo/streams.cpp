// Data on the move: a bulk loopback with several requests in flight each way, an interrupt
// stream, and isochronous streams in both directions.
#include <array>
#include <cstring>
#include <deque>
#include <vector>

#include "report.h"
#include "sim/usb/bus.h"

namespace demo {

namespace {

namespace td = sim::usb::test_device;

// A pattern that a lost, doubled or shifted block cannot imitate.
uint8_t PatternAt(uint64_t offset) { return uint8_t((offset * 2654435761u) >> 13); }

void Fill(std::span<uint8_t> buffer, uint64_t offset) {
  for (size_t k = 0; k < buffer.size(); ++k) buffer[k] = PatternAt(offset + k);
}

bool Matches(std::span<const uint8_t> data, uint64_t offset) {
  for (size_t k = 0; k < data.size(); ++k)
    if (data[k] != PatternAt(offset + k)) return false;
  return true;
}

// High speed: 13 packets of 512 bytes in each 125 us microframe.
constexpr double kHighSpeedBulkBytesPerSecond = 13 * 512 * 8000.0;

}  // namespace

void BulkLoopback(const Machine &m, size_t totalBytes, size_t requestBytes, size_t inFlight) {
  xrusb::Pipe out = xrusb::Pipe::Open(m.path, td::kLoopbackOut);
  xrusb::Pipe in = xrusb::Pipe::Open(m.path, td::kLoopbackIn);
  in.SetShortTransferOk(true);  // the device sends what its FIFO holds

  std::vector<xrusb::Request> writes, reads;
  for (size_t k = 0; k < inFlight; ++k) {
    writes.emplace_back(requestBytes);
    reads.emplace_back(requestBytes);
  }
  std::deque<xrusb::Request *> writing, reading;  // in submission order, which is completion order
  uint64_t submitted = 0, written = 0, readBack = 0;
  bool intact = true;
  auto submitWrite = [&](xrusb::Request &r) {
    const size_t n = std::min<uint64_t>(requestBytes, totalBytes - submitted);
    Fill(r.Buffer().first(n), submitted);
    out.SubmitWrite(r, n);
    submitted += n;
    writing.push_back(&r);
  };

  const Clock::time_point start = Clock::now();
  for (auto &r : writes) submitWrite(r);
  for (auto &r : reads) {
    in.SubmitRead(r);
    reading.push_back(&r);
  }
  while (readBack < totalBytes) {
    bool progress = false;
    if (!writing.empty() && writing.front()->Done()) {
      xrusb::Request &r = *writing.front();
      writing.pop_front();
      written += r.Result();
      if (submitted < totalBytes) submitWrite(r);
      progress = true;
    }
    if (reading.front()->Done()) {
      xrusb::Request &r = *reading.front();
      reading.pop_front();
      intact = intact && Matches(r.Data(), readBack);
      readBack += r.Result();
      in.SubmitRead(r);
      reading.push_back(&r);
      progress = true;
    }
    if (!progress) reading.front()->Wait(std::chrono::milliseconds(1));
  }
  const double seconds = Seconds(Clock::now() - start);
  // The reads still out find an empty FIFO and wait; cancel them.
  in.CancelAll();
  size_t cancelled = 0;
  for (xrusb::Request *r : reading) {
    r->Wait();
    cancelled += r->Status() == xrusb::errc::cancelled;
  }

  const double mb = 1e6;
  std::printf("  %zu requests of %zu KiB in flight each way: %.1f MiB written to 0x%02X and read back from 0x%02X"
              " in %.2f s\n",
              inFlight, requestBytes / 1024, written / 1048576.0, td::kLoopbackOut, td::kLoopbackIn, seconds);
  std::printf("  %.1f MB/s each way (%.1f MB/s on the bus); the high-speed bus moves at most %.1f MB/s,"
              " shared by both directions\n",
              readBack / seconds / mb, 2 * readBack / seconds / mb, kHighSpeedBulkBytesPerSecond / mb);
  std::printf("  data read back %s; %zu idle reads cancelled at the end\n",
              intact ? "matches what was written, byte for byte" : "DIFFERS from what was written", cancelled);
}

void InterruptStream(const Machine &m, std::chrono::milliseconds duration) {
  xrusb::Pipe reports = xrusb::Pipe::Open(m.path, td::kInterruptIn);
  xrusb::Pipe commands = xrusb::Pipe::Open(m.path, td::kInterruptOut);
  std::vector<xrusb::Request> ring(4);
  std::vector<std::array<uint8_t, td::kInterruptReportSize>> buffers(ring.size());
  for (size_t k = 0; k < ring.size(); ++k) reports.SubmitRead(ring[k], buffers[k]);

  uint32_t received = 0, errors = 0, gaps = 0, last = 0, commandBytes = 0, deviceCounted = 0;
  const std::array<uint8_t, 4> command{1, 2, 3, 4};
  const Clock::time_point start = Clock::now();
  for (size_t k = 0; Clock::now() - start < duration; k = (k + 1) % ring.size()) {
    ring[k].Wait();
    if (!ring[k].Ok() || ring[k].Bytes() != td::kInterruptReportSize) {
      ++errors;
    } else {
      uint32_t number, outBytes;
      std::memcpy(&number, buffers[k].data(), 4);
      std::memcpy(&outBytes, buffers[k].data() + 4, 4);
      gaps += received && number != last + 1;
      last = number;
      deviceCounted = outBytes;
      ++received;
    }
    if (received % 16 == 0) commandBytes += uint32_t(commands.Write(command));
    reports.SubmitRead(ring[k], buffers[k]);
  }
  reports.CancelAll();
  for (auto &r : ring) r.Wait();
  const double seconds = Seconds(Clock::now() - start);
  std::printf("  %u reports from 0x%02X in %.2f s (%.0f per second), %u errors, %u gaps in their numbering\n",
              received, td::kInterruptIn, seconds, received / seconds, errors, gaps);
  std::printf("  %u command bytes written to 0x%02X; the last report counted %u of them\n", commandBytes,
              td::kInterruptOut, deviceCounted);
}

void IsoStream(const Machine &m, std::chrono::milliseconds duration) {
  xrusb::Pipe in = xrusb::Pipe::Open(m.path, td::kIsoIn);
  xrusb::Pipe out = xrusb::Pipe::Open(m.path, td::kIsoOut);
  const uint32_t inPacket = in.Info().maxPacketSize, outPacket = out.Info().maxPacketSize;
  constexpr size_t kPackets = 32, kDepth = 4;
  std::vector<xrusb::IsoRequest> reads, writes;
  for (size_t k = 0; k < kDepth; ++k) {
    reads.emplace_back(kPackets, inPacket);
    writes.emplace_back(kPackets, outPacket);
    for (size_t p = 0; p < kPackets; ++p) Fill(writes.back().PacketBuffer(p), p * outPacket);
  }
  for (auto &r : reads) in.Submit(r);
  for (auto &w : writes) out.Submit(w);

  // A burst of noise on the line: every IN packet of three requests arrives with a bad CRC.
  sim::usb::Bus::Get().FailEndpoint(m.pdo, td::kIsoIn, {sim::usb::Response::Error(USBD_STATUS_CRC), 3});

  uint64_t inPackets = 0, inBad = 0, inBytes = 0, outPackets = 0, requests = 0, failed = 0;
  const Clock::time_point start = Clock::now();
  for (size_t k = 0; Clock::now() - start < duration; k = (k + 1) % kDepth) {
    reads[k].Wait();
    writes[k].Wait();
    requests += 2;
    failed += bool(reads[k].Status()) + bool(writes[k].Status());
    for (size_t p = 0; p < kPackets; ++p) {
      const xrusb::IsoPacket packet = reads[k].Packet(p);
      ++inPackets;
      inBad += bool(packet.status);
      inBytes += packet.length;
    }
    outPackets += kPackets;
    in.Submit(reads[k]);
    out.Submit(writes[k]);
  }
  in.CancelAll();
  out.CancelAll();
  for (size_t k = 0; k < kDepth; ++k) {
    reads[k].Wait();
    writes[k].Wait();
  }
  const double seconds = Seconds(Clock::now() - start);
  const sim::usb::TestDeviceCounters seen = m.device.state->Snapshot();
  std::printf("  IN  0x%02X: %llu packets of up to %u bytes in %.2f s, %llu with errors, %.1f MB/s\n", td::kIsoIn,
              (unsigned long long)inPackets, inPacket, seconds, (unsigned long long)inBad, inBytes / seconds / 1e6);
  std::printf("  OUT 0x%02X: %llu packets of %u bytes sent; the device received %llu packets, %llu bytes\n",
              td::kIsoOut, (unsigned long long)outPackets, outPacket, (unsigned long long)seen.isoOutPackets,
              (unsigned long long)seen.isoOutBytes);
  std::printf("  %llu requests of %zu packets; %llu of them lost every packet and failed as a whole\n",
              (unsigned long long)requests, kPackets, (unsigned long long)failed);
}

}  // namespace demo
