// Commands that move data on a pipe: read, write, and bench (throughput with several requests in
// flight, against the bus's limit).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <deque>

#include "ctl.h"

namespace xrusbctl {
namespace {

using Clock = std::chrono::steady_clock;

uint8_t Endpoint(const std::string &text) { return uint8_t(ParseNumber(text, 0xFF, "the endpoint")); }

xrusb::Milliseconds Timeout(Args &a) {
  std::optional<std::string> t = a.Option("--timeout");
  return t ? xrusb::Milliseconds(ParseNumber(*t, 0x7FFFFFFF, "--timeout")) : xrusb::Milliseconds(5000);
}

int Read(Context &c, Args &a) {
  const xrusb::Milliseconds timeout = Timeout(a);
  std::optional<std::string> length = a.Option("--length", "-l"), count = a.Option("--count", "-n"),
                             out = a.Option("--out", "-o");
  if (a.Count() != 1) throw UsageError("read needs an endpoint");
  xrusb::Pipe &p = c.OpenPipe(Endpoint(a.At(0)));
  const size_t size = length ? ParseNumber(*length, 1u << 24, "--length") : std::max<size_t>(p.Info().maxPacketSize, 1);
  const uint64_t times = count ? ParseNumber(*count, 1u << 30, "--count") : 1;
  std::FILE *file = nullptr;
  if (out) file = *out == "-" ? stdout : std::fopen(out->c_str(), "wb");
  if (out && !file) throw UsageError("cannot write " + *out);
  std::vector<uint8_t> buffer(size);
  uint64_t total = 0;
  Json reads = Json::Array();
  int result = kOk;
  try {
    for (uint64_t i = 0; i < times; ++i) {
      const size_t n = p.Read(buffer, timeout);
      total += n;
      if (file) {
        std::fwrite(buffer.data(), 1, n, file);
      } else {
        c.Text("%s", HexDump(std::span<const uint8_t>(buffer.data(), n)).c_str());
        reads.Push(Hex(std::span<const uint8_t>(buffer.data(), n)));
      }
    }
  } catch (...) {
    if (file && file != stdout) std::fclose(file);
    throw;
  }
  if (file && file != stdout && std::fclose(file) != 0) result = kFailed;
  c.result["bytes"] = total;
  c.result["reads"] = std::move(reads);
  if (file) std::fprintf(stderr, "%llu bytes read\n", (unsigned long long)total);
  return result;
}

int Write(Context &c, Args &a) {
  const xrusb::Milliseconds timeout = Timeout(a);
  std::optional<std::string> file = a.Option("--file"), count = a.Option("--count", "-n");
  if (a.Count() != 1 + (file ? 0 : 1)) throw UsageError("write needs an endpoint and HEX data or --file F");
  const std::vector<uint8_t> data = file ? ReadFileBytes(*file) : ParseHex(a.At(1));
  xrusb::Pipe &p = c.OpenPipe(Endpoint(a.At(0)));
  const uint64_t times = count ? ParseNumber(*count, 1u << 30, "--count") : 1;
  uint64_t total = 0;
  for (uint64_t i = 0; i < times; ++i) total += p.Write(data, timeout);
  c.result["bytes"] = total;
  c.Text("%llu bytes written\n", (unsigned long long)total);
  return kOk;
}

// --- bench ---------------------------------------------------------------------------------

// The pipe for 'endpoint' in force: the first configuration when there is none, and the
// alternate setting that has it when the one in force does not.
void EnsurePipe(xrusb::Device &d, uint8_t endpoint) {
  xrusb::ActiveConfiguration a = d.GetActiveConfiguration();
  if (!a.Configured()) {
    d.SetConfiguration();
    a = d.GetActiveConfiguration();
  }
  if (a.FindPipe(endpoint)) return;
  const uint8_t value = d.GetConfiguration();
  const xrusb::DeviceDescriptor dd = d.GetDeviceDescriptor();
  for (uint8_t i = 0; i < dd.numConfigurations; ++i) {
    const xrusb::ConfigurationDescriptor cfg = d.GetConfigurationDescriptor(i);
    if (cfg.configurationValue != value) continue;
    for (const xrusb::Interface &in : cfg.interfaces)
      for (const xrusb::AltSetting &alt : in.altSettings)
        if (alt.FindEndpoint(endpoint)) return d.SetInterface({alt.interfaceNumber, alt.alternateSetting});
  }
}

struct Meter {
  Clock::time_point start = Clock::now(), lastShown = start;
  uint64_t bytes = 0, requests = 0, errors = 0;
  bool live = false;

  double MBps(Clock::time_point now) const {
    const double s = std::chrono::duration<double>(now - start).count();
    return s > 0 ? double(bytes) / s / 1e6 : 0;
  }
  void Show(const char *what) {
    const Clock::time_point now = Clock::now();
    if (!live || now - lastShown < std::chrono::milliseconds(250)) return;
    lastShown = now;
    const double s = std::chrono::duration<double>(now - start).count();
    std::fprintf(stderr, "\r  %s: %8.2f MB/s  %8.0f requests/s  %llu errors ", what, MBps(now), double(requests) / s,
                 (unsigned long long)errors);
  }
};

// A ring of requests on one pipe, each resubmitted as soon as it is collected.
template <typename Req>
void Ring(xrusb::Pipe &p, std::deque<Req> &ring, Clock::time_point end, Meter &m, const char *what,
          void (*submit)(xrusb::Pipe &, Req &), uint64_t (*bytesOf)(Req &)) {
  for (Req &r : ring) submit(p, r);
  while (true) {
    Req &r = ring.front();
    r.Wait();
    if (r.Status()) ++m.errors;
    m.bytes += bytesOf(r);
    ++m.requests;
    m.Show(what);
    if (Clock::now() < end) submit(p, r);
    ring.push_back(std::move(ring.front()));
    ring.pop_front();
    bool any = false;
    for (Req &q : ring) any |= q.InFlight();
    if (!any) break;
  }
}

double BulkLimit(xrusb::Speed s) {
  switch (s) {
    case xrusb::Speed::Low: return 0.0008e6;  // 8-byte interrupt transfers, the only kind at low speed
    case xrusb::Speed::Full: return 19.0 * 64 * 1000;
    case xrusb::Speed::High: return 13.0 * 512 * 8000;
    case xrusb::Speed::Super: return 48.0 * 1024 * 8000;
    case xrusb::Speed::Unknown: break;
  }
  return 0;
}

int Bench(Context &c, Args &a) {
  const std::optional<std::string> secondsText = a.Option("--seconds"), sizeText = a.Option("--size"),
                                   depthText = a.Option("--depth"), inText = a.Option("--in"), outText = a.Option("--out");
  const std::string mode = a.Optional(0).value_or("in");
  if (a.Count() > 1 || (mode != "in" && mode != "out" && mode != "loopback" && mode != "iso"))
    throw UsageError("bench in | out | loopback | iso");
  const double seconds = double(ParseNumber(secondsText.value_or("2"), 3600, "--seconds"));
  const size_t size = ParseNumber(sizeText.value_or("65536"), 1u << 24, "--size");
  // An isochronous stream must never run dry: more in flight there.
  const size_t depth = ParseNumber(depthText.value_or(mode == "iso" ? "8" : "4"), 64, "--depth");
  if (size == 0 || depth == 0) throw UsageError("--size and --depth must not be 0");
  // The built-in test device's endpoints unless told otherwise.
  const uint8_t inEp = Endpoint(inText.value_or(mode == "loopback" ? "0x83" : mode == "iso" ? "0x86" : "0x81"));
  const uint8_t outEp = Endpoint(outText.value_or(mode == "loopback" ? "0x03" : "0x02"));

  xrusb::Device &d = c.Open();
  const xrusb::Speed speed = d.GetSpeed();
  if (mode != "out") EnsurePipe(d, inEp);
  if (mode == "out" || mode == "loopback") EnsurePipe(d, outEp);
  Meter m;
  m.live = !c.json && isatty(2);
  const Clock::time_point end = m.start + std::chrono::milliseconds(int64_t(seconds * 1000));
  double limit = BulkLimit(speed);
  const char *limitName = "bulk";

  if (mode == "iso") {
    xrusb::Pipe p = d.OpenPipe(inEp);
    const xrusb::ActivePipe &info = p.Info();
    const uint32_t packetLength = uint32_t(info.maxPacketSize);  // the driver gives the whole per-interval size
    const size_t packets = speed == xrusb::Speed::Full ? 32 : 64;
    std::deque<xrusb::IsoRequest> ring;
    for (size_t i = 0; i < depth; ++i) ring.emplace_back(packets, packetLength);
    Ring<xrusb::IsoRequest>(
        p, ring, end, m, "iso IN", [](xrusb::Pipe &pp, xrusb::IsoRequest &r) { pp.Submit(r); },
        [](xrusb::IsoRequest &r) {
          uint64_t n = 0;
          for (size_t k = 0; k < r.PacketCount(); ++k) n += r.Packet(k).length;
          return n;
        });
    // One packet per interval: 2^(bInterval-1) microframes at high speed and above, frames at full.
    const double unitsPerSecond = speed == xrusb::Speed::Full ? 1000.0 : 8000.0;
    const unsigned every = info.interval ? 1u << (std::min<unsigned>(info.interval, 16) - 1) : 1;
    limit = packetLength * unitsPerSecond / (speed == xrusb::Speed::Full ? 1 : every);
    limitName = "the endpoint's isochronous";
  } else if (mode == "loopback") {
    xrusb::Pipe in = d.OpenPipe(inEp), out = d.OpenPipe(outEp);
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = uint8_t(i * 7);
    std::deque<xrusb::Request> writes, reads;
    for (size_t i = 0; i < depth; ++i) writes.emplace_back(), reads.emplace_back(size);
    for (size_t i = 0; i < depth; ++i) {
      out.SubmitWrite(writes[i], data);
      in.SubmitRead(reads[i]);
    }
    // Each write is followed by a read of the same size: the device's FIFO passes them through.
    while (true) {
      xrusb::Request &w = writes.front(), &r = reads.front();
      w.Wait();
      r.Wait();
      m.errors += (w.Status() ? 1 : 0) + (r.Status() ? 1 : 0);
      m.bytes += r.Bytes();
      m.requests += 2;
      m.Show("loopback");
      if (Clock::now() < end && !w.Status() && !r.Status()) {
        out.SubmitWrite(w, data);
        in.SubmitRead(r);
      }
      writes.push_back(std::move(writes.front()));
      writes.pop_front();
      reads.push_back(std::move(reads.front()));
      reads.pop_front();
      bool any = false;
      for (xrusb::Request &q : writes) any |= q.InFlight();
      if (!any) break;
    }
    // The bus carries both directions in one budget.
    limit /= 2;
    limitName = "bulk (each way, loopback)";
  } else {
    const bool read = mode == "in";
    xrusb::Pipe p = d.OpenPipe(read ? inEp : outEp);
    std::deque<xrusb::Request> ring;
    for (size_t i = 0; i < depth; ++i) ring.emplace_back(size);
    Ring<xrusb::Request>(
        p, ring, end, m, read ? "bulk IN" : "bulk OUT",
        read ? +[](xrusb::Pipe &pp, xrusb::Request &r) { pp.SubmitRead(r); }
             : +[](xrusb::Pipe &pp, xrusb::Request &r) { pp.SubmitWrite(r, r.Buffer().size()); },
        [](xrusb::Request &r) { return uint64_t(r.Bytes()); });
  }
  const Clock::time_point now = Clock::now();
  if (m.live) std::fprintf(stderr, "\n");
  const double mbps = m.MBps(now);
  c.result["mode"] = mode;
  c.result["speed"] = SpeedName(speed);
  c.result["bytes"] = m.bytes;
  c.result["requests"] = m.requests;
  c.result["errors"] = m.errors;
  c.result["MBps"] = mbps;
  c.result["limitMBps"] = limit / 1e6;
  c.Text("%s at %s speed: %.2f MB/s, %llu requests, %llu errors; %s limit %.2f MB/s (%.0f%%)\n", mode.c_str(),
         SpeedName(speed), mbps, (unsigned long long)m.requests, (unsigned long long)m.errors, limitName, limit / 1e6,
         limit > 0 ? 100.0 * mbps * 1e6 / limit : 0.0);
  return m.errors ? kFailed : kOk;
}

}  // namespace

const Command kDataCommands[] = {
    {"read", "EP [--length N] [--count N] [--timeout MS] [--out FILE|-]", "read from a pipe (hex dump, or raw to a file)",
     Read},
    {"write", "EP HEX | EP --file F|- [--count N] [--timeout MS]", "write to a pipe", Write},
    {"bench", "in|out|loopback|iso [--seconds S] [--size N] [--depth N] [--in EP] [--out EP]",
     "throughput with several requests in flight, beside the bus's limit", Bench},
    {nullptr, nullptr, nullptr, nullptr},
};

}  // namespace xrusbctl
