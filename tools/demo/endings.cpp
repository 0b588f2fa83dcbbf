// Ways of ending transfers: cancelling one request, aborting a pipe, a stalled endpoint and its
// reset, and a device that leaves the bus with requests in flight.
#include <map>
#include <vector>

#include "report.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/pool.h"
#include "sim/usb/bus.h"

namespace demo {

namespace {

namespace td = sim::usb::test_device;

// "4 x STATUS_CANCELLED (...)" for each outcome.
void Tally(const char *what, std::vector<xrusb::Request> &requests) {
  std::map<std::string, size_t> outcomes;
  for (auto &r : requests) {
    r.Wait();
    ++outcomes[Outcome(r.Status())];
  }
  std::printf("  %s:", what);
  for (const auto &[text, n] : outcomes) std::printf(" %zu x %s;", n, text.c_str());
  std::printf("\n");
}

}  // namespace

void AbortAndCancel(const Machine &m) {
  // The loopback FIFO is empty, so reads on its IN endpoint wait at the bus.
  xrusb::Pipe held = xrusb::Pipe::Open(m.path, td::kLoopbackIn);
  std::vector<xrusb::Request> reads;
  for (int k = 0; k < 4; ++k) reads.emplace_back(512);
  for (auto &r : reads) held.SubmitRead(r);
  reads[1].Cancel();
  reads[1].Wait();
  std::printf("  4 reads waiting on 0x%02X; the second is cancelled: %s\n", td::kLoopbackIn,
              Outcome(reads[1].Status()).c_str());
  std::printf("  the others still in flight: %s\n",
              !reads[0].Done() && !reads[2].Done() && !reads[3].Done() ? "yes" : "NO");
  held.Abort();
  Tally("after an abort of the pipe", reads);

  xrusb::Pipe source = xrusb::Pipe::Open(m.path, td::kSourceIn);
  std::vector<uint8_t> buffer(4096);
  sim::usb::Bus::Get().FailEndpoint(m.pdo, td::kSourceIn, {sim::usb::Response::Stall(), 1});
  std::error_code first, third;
  source.Read(buffer, xrusb::kInfinite, first);
  // The halt holds the pipe's queue: a read made now waits until the reset, which ends it.
  xrusb::Request behind(4096);
  source.SubmitRead(behind);
  source.Reset();
  behind.Wait();
  const size_t n = source.Read(buffer, xrusb::kInfinite, third);
  std::printf("  0x%02X stalls once: %s\n", td::kSourceIn, Outcome(first).c_str());
  std::printf("  a read queued behind the halt, ended by the reset: %s\n", Outcome(behind.Status()).c_str());
  std::printf("  after a reset of the pipe: %s, %zu bytes\n", Outcome(third).c_str(), n);
}

void UnplugInFlight(const Machine &m, xrusb::Device &device) {
  xrusb::Pipe held = xrusb::Pipe::Open(m.path, td::kLoopbackIn);
  xrusb::Pipe source = xrusb::Pipe::Open(m.path, td::kSourceIn);
  xrusb::Pipe iso = xrusb::Pipe::Open(m.path, td::kIsoIn);
  std::vector<xrusb::Request> waiting(4), streaming;
  for (int k = 0; k < 4; ++k) streaming.emplace_back(1 << 20);
  std::vector<xrusb::IsoRequest> isoReads;
  for (int k = 0; k < 4; ++k) isoReads.emplace_back(64, iso.Info().maxPacketSize);
  std::vector<uint8_t> small(512);
  std::vector<std::vector<uint8_t>> smalls(waiting.size(), small);
  for (size_t k = 0; k < waiting.size(); ++k) held.SubmitRead(waiting[k], smalls[k]);
  for (auto &r : streaming) source.SubmitRead(r);
  for (auto &r : isoReads) iso.Submit(r);
  const size_t before = sim::PoolBlocksOutstanding();

  std::printf("  %zu bulk and %zu isochronous requests in flight; the device is pulled out\n",
              waiting.size() + streaming.size(), isoReads.size());
  m.machine->Unplug(m.id);
  Tally("waiting bulk reads", waiting);
  Tally("streaming bulk reads", streaming);
  std::map<std::string, size_t> isoOutcomes;
  for (auto &r : isoReads) {
    r.Wait();
    ++isoOutcomes[Outcome(r.Status())];
  }
  std::printf("  isochronous reads:");
  for (const auto &[text, n] : isoOutcomes) std::printf(" %zu x %s;", n, text.c_str());
  std::printf("\n");

  std::error_code ec;
  device.GetDeviceDescriptor(ec);
  std::printf("  a request on a handle still open: %s\n", Outcome(ec).c_str());
  held.Close();
  source.Close();
  iso.Close();
  device.Close();
  sim::pnp::Settle();
  sim::usb::Bus::Get().Settle();
  std::printf("  handles closed; driver pool blocks in use: %zu with requests in flight, %zu now\n", before,
              sim::PoolBlocksOutstanding());
  std::printf("  devices the application can find: %zu\n", xrusb::ListDevices().size());
}

}  // namespace demo
