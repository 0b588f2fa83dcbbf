// The driver's own instructions per request, for driver_cost.sh: batches of requests through
// the whole stack, one at a time, each batch between a zeroing and a dump of callgrind's
// counters, so that set-up and teardown fall outside every batch. Outside valgrind it simply
// runs the requests.
//
//   driver_cost [requests per batch]
//
// Batches (dump names): bulk-write (64 B to the sink 0x02), bulk-read (64 B from the source
// 0x81), bulk-read-stats (the same with the pipe's rate statistics on), iso-in-8, iso-in-1024, iso-out-8, iso-out-1024 (packets of 16 B on 0x86 / 0x06), and
// "empty", a batch of no requests that shows what a dump costs by itself.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/bench_world.h"
#include "sim/kernel/clock.h"

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(name) ((void)(name))
#endif

namespace {

using namespace bench::td;

constexpr ULONG kIsoPacketBytes = 16;

// The request, as an application makes it, waited for at once.
bool Transfer(simwin::HANDLE h, bool read, std::vector<uint8_t> &buffer) {
  simwin::OVERLAPPED o{};
  DWORD bytes = 0;
  const simwin::BOOL done = read ? simwin::ReadFile(h, buffer.data(), DWORD(buffer.size()), nullptr, &o)
                                 : simwin::WriteFile(h, buffer.data(), DWORD(buffer.size()), nullptr, &o);
  // A failure at once leaves the OVERLAPPED as it was: waiting on it would never end.
  if (!done && simwin::GetLastError() != ERROR_IO_PENDING) return false;
  return simwin::GetOverlappedResult(h, &o, &bytes, TRUE) != 0;
}

std::vector<uint8_t> IsoBuffer(ULONG packets) {
  const ULONG data = ULONG(sizeof(IsoTransferHeader) + packets * sizeof(IsoPacketDescriptor));
  std::vector<uint8_t> b(data + packets * kIsoPacketBytes, 0);
  const IsoTransferHeader h{packets, ISO_START_ASAP, 0, 0};
  std::memcpy(b.data(), &h, sizeof h);
  for (ULONG k = 0; k < packets; ++k) {
    const IsoPacketDescriptor d{data + k * kIsoPacketBytes, kIsoPacketBytes, 0};
    std::memcpy(b.data() + sizeof h + k * sizeof d, &d, sizeof d);
  }
  return b;
}

struct Batch {
  const char *name;
  simwin::HANDLE handle;
  bool read;
  std::vector<uint8_t> buffer;
  ULONG statisticsMs = 0;  // set up before the batch
};

}  // namespace

int main(int argc, char **argv) {
  const int requests = argc > 1 ? std::atoi(argv[1]) : 1000;
  bench::StackWorld world({{u"MaxIsoPackets", 1024}});
  // Interface 1 alt 1: isochronous endpoints of 256-byte packets.
  world.Configure({{0, 0, 1u << 20}, {1, 1, 1u << 20}, {2, 0, 64}});
  // The frame clock stands still, so that the isochronous streams, waited for one request at a
  // time, never fall behind it and run late.
  sim::SetClockMode(sim::ClockMode::Manual);
  const simwin::HANDLE sink = world.Bind(kSinkOut), source = world.Bind(kSourceIn);
  const simwin::HANDLE isoIn = world.Bind(kIsoIn), isoOut = world.Bind(kIsoOut);

  std::vector<Batch> batches;
  batches.push_back({"bulk-write", sink, false, std::vector<uint8_t>(64)});
  batches.push_back({"bulk-read", source, true, std::vector<uint8_t>(64)});
  batches.push_back({"bulk-read-stats", source, true, std::vector<uint8_t>(64), 1000});
  for (ULONG packets : {8u, 1024u}) {
    batches.push_back({packets == 8 ? "iso-in-8" : "iso-in-1024", isoIn, true, IsoBuffer(packets)});
    batches.push_back({packets == 8 ? "iso-out-8" : "iso-out-1024", isoOut, false, IsoBuffer(packets)});
  }
  // One of each first: the isochronous pool gets its first block, the caches their contents.
  for (Batch &b : batches) {
    if (!Transfer(b.handle, b.read, b.buffer)) {
      std::fprintf(stderr, "driver_cost: %s failed (0x%x)\n", b.name, unsigned(simwin::RtlGetLastNtStatus()));
      return 1;
    }
  }
  CALLGRIND_ZERO_STATS;
  CALLGRIND_DUMP_STATS_AT("empty");
  for (Batch &b : batches) {
    if (b.statisticsMs) world.SetupStatistics(b.handle, b.statisticsMs);
    CALLGRIND_ZERO_STATS;
    for (int i = 0; i < requests; ++i) {
      if (!Transfer(b.handle, b.read, b.buffer)) {
        std::fprintf(stderr, "driver_cost: %s failed (0x%x)\n", b.name, unsigned(simwin::RtlGetLastNtStatus()));
        return 1;
      }
    }
    CALLGRIND_DUMP_STATS_AT(b.name);
  }
  std::printf("driver_cost: %d requests in each of %zu batches\n", requests, batches.size());
  return 0;
}
