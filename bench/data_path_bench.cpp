// Bulk requests per second through the whole stack (library -> I/O manager -> driver -> bus in
// Fast pace -> the test device's sink, bulk OUT 0x02), the same made with the bare system calls,
// and the same requests sent straight to the bus's PDO without the driver. Arguments: bytes per request, requests kept in flight.
//
// The sink takes any amount at once, so the device never holds a request back (a loopback's FIFO
// would); both variants write to it.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench/bench_world.h"
#include "xrusb/pipe.hpp"

namespace {

using bench::td::kSinkOut;

// An application's side of one write, through the xrusb library.
struct LibraryChannel {
  using Request = xrusb::Request;
  xrusb::Pipe &pipe;

  void Submit(Request &r, uint8_t *data, DWORD length) { pipe.SubmitWrite(r, std::span<const uint8_t>(data, length)); }
  bool Wait(Request &r, DWORD length) { return r.Wait() && r.Ok() && r.Bytes() == length; }
};

// The same write made with the bare system calls, to show what the library adds.
struct SystemCallChannel {
  struct Request {
    simwin::OVERLAPPED o{};
    bool failed = false;  // at once: the OVERLAPPED is left as it was and never signalled
  };
  simwin::HANDLE pipe;

  void Submit(Request &r, uint8_t *data, DWORD length) {
    r.o = {};
    r.failed = !simwin::WriteFile(pipe, data, length, nullptr, &r.o) && simwin::GetLastError() != ERROR_IO_PENDING;
  }
  bool Wait(Request &r, DWORD length) {
    DWORD bytes = 0;
    return !r.failed && simwin::GetOverlappedResult(pipe, &r.o, &bytes, TRUE) && bytes == length;
  }
};

// A kernel client's side: a bulk URB on the sink's pipe handle.
struct BusChannel {
  struct Request {
    bench::BusRequest request;
    URB urb{};
  };
  USBD_PIPE_HANDLE pipe;

  void Submit(Request &r, uint8_t *data, DWORD length) {
    r.urb = {};
    UsbBuildInterruptOrBulkTransferRequest(&r.urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, data,
                                           nullptr, length, 0, nullptr);
    r.request.Send(&r.urb);
  }
  bool Wait(Request &r, DWORD length) {
    return r.request.Wait() == STATUS_SUCCESS && r.urb.UrbBulkOrInterruptTransfer.TransferBufferLength == length;
  }
};

// Keeps 'depth' requests in flight: each iteration waits for the oldest and sends it again, so
// an iteration is one completed request.
template <typename Channel>
void Pump(benchmark::State &state, Channel channel, PDEVICE_OBJECT pdo) {
  const DWORD length = DWORD(state.range(0));
  const size_t depth = size_t(state.range(1));
  std::vector<typename Channel::Request> slots(depth);
  std::vector<std::vector<uint8_t>> buffers(depth, std::vector<uint8_t>(length, 0));
  for (size_t k = 0; k < depth; ++k) channel.Submit(slots[k], buffers[k].data(), length);
  size_t next = 0;
  uint64_t sent = 0;
  for (auto _ : state) {
    if (!channel.Wait(slots[next], length)) {
      state.SkipWithError("a request failed");
      break;
    }
    channel.Submit(slots[next], buffers[next].data(), length);
    next = next + 1 == depth ? 0 : next + 1;
    // The bus keeps a trace of every URB; keep it short.
    if ((++sent & 0xFFF) == 0) sim::usb::Bus::Get().ClearTrace(pdo);
  }
  for (size_t k = 0; k < depth; ++k) channel.Wait(slots[(next + k) % depth], length);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * int64_t(length));
}

void WholeStack(benchmark::State &state) {
  bench::StackWorld world;
  world.Configure({{0, 0, 1u << 20}, {1, 0, 64}, {2, 0, 64}});
  xrusb::Pipe pipe = xrusb::Pipe::Open(u"\\\\.\\Bench0", kSinkOut);
  Pump(state, LibraryChannel{pipe}, world.Pdo());
}

void SystemCalls(benchmark::State &state) {
  bench::StackWorld world;
  world.Configure({{0, 0, 1u << 20}, {1, 0, 64}, {2, 0, 64}});
  Pump(state, SystemCallChannel{world.Bind(kSinkOut)}, world.Pdo());
}

void BusDirect(benchmark::State &state) {
  bench::BusWorld world;
  Pump(state, BusChannel{world.Pipe(kSinkOut)}, world.Pdo());
}

void Sizes(benchmark::internal::Benchmark *b) {
  b->ArgNames({"bytes", "depth"})->ArgsProduct({{64, 4096, 1 << 20}, {1, 16}})->UseRealTime();
}

}  // namespace

BENCHMARK(WholeStack)->Apply(Sizes);
BENCHMARK(SystemCalls)->Apply(Sizes);
BENCHMARK(BusDirect)->Apply(Sizes);
BENCHMARK_MAIN();
