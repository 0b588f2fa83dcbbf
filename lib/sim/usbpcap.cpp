// The USBPcap capture format (desowin.org/usbpcap/captureformat.html): a classic pcap file,
// each record a packed little-endian header followed by the data that crossed the bus.
#include "usbpcap.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace xrusb::sim::detail {
namespace {

constexpr uint32_t kLinkTypeUsbPcap = 249;
constexpr uint32_t kSnapLength = 1u << 18;
constexpr size_t kBaseHeader = 27;

// USBPCAP_TRANSFER_* and the control stages.
uint8_t TransferCode(TransferType type) {
  switch (type) {
    case TransferType::Isochronous: return 0;
    case TransferType::Interrupt: return 1;
    case TransferType::Control: return 2;
    case TransferType::Bulk: return 3;
  }
  return 0xFF;
}
enum Stage : uint8_t { kSetup = 0, kData = 1, kComplete = 3 };

class Writer {
 public:
  Writer(std::FILE *file, double epochMs) : file_(file), epochMs_(epochMs) {}

  bool Header() {
    uint8_t h[24] = {};
    Put32(h, 0xA1B2C3D4u);
    Put16(h + 4, 2);
    Put16(h + 6, 4);
    Put32(h + 16, kSnapLength);
    Put32(h + 20, kLinkTypeUsbPcap);
    return std::fwrite(h, sizeof h, 1, file_) == 1;
  }

  // One record: the header fields, the header's extension (control stage or isochronous
  // packets), then the data.
  bool Record(double ms, uint16_t address, const Transfer &t, bool completion, const std::vector<uint8_t> &extension,
              const uint8_t *data, size_t length) {
    std::vector<uint8_t> r(kBaseHeader + extension.size());
    Put16(&r[0], uint16_t(r.size()));
    Put64(&r[2], (uint64_t(address) << 48) | t.id);
    Put32(&r[10], completion ? t.usbdStatus : 0);
    Put16(&r[14], t.function);
    r[16] = completion ? 1 : 0;  // USBPCAP_INFO_PDO_TO_FDO
    Put16(&r[17], 1);            // bus
    Put16(&r[19], address);
    r[21] = t.type == TransferType::Control ? uint8_t((t.endpoint & 0x7F) | (t.in ? 0x80 : 0)) : t.endpoint;
    r[22] = TransferCode(t.type);
    Put32(&r[23], uint32_t(length));
    std::copy(extension.begin(), extension.end(), r.begin() + kBaseHeader);
    r.insert(r.end(), data, data + length);

    const double wall = epochMs_ + ms;
    const uint64_t us = uint64_t(std::llround(wall * 1000.0));
    const uint32_t kept = uint32_t(std::min<size_t>(r.size(), kSnapLength));
    uint8_t rh[16];
    Put32(rh, uint32_t(us / 1000000));
    Put32(rh + 4, uint32_t(us % 1000000));
    Put32(rh + 8, kept);
    Put32(rh + 12, uint32_t(r.size()));
    return std::fwrite(rh, sizeof rh, 1, file_) == 1 && std::fwrite(r.data(), 1, kept, file_) == kept;
  }

 private:
  static void Put16(uint8_t *p, uint16_t v) { p[0] = uint8_t(v), p[1] = uint8_t(v >> 8); }
  static void Put32(uint8_t *p, uint32_t v) { Put16(p, uint16_t(v)), Put16(p + 2, uint16_t(v >> 16)); }
  static void Put64(uint8_t *p, uint64_t v) { Put32(p, uint32_t(v)), Put32(p + 4, uint32_t(v >> 32)); }

  std::FILE *file_;
  double epochMs_;
};

void Append32(std::vector<uint8_t> &v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(uint8_t(x >> (8 * i)));
}

std::vector<uint8_t> IsoExtension(const Transfer &t, bool completion) {
  std::vector<uint8_t> x;
  uint32_t errors = 0;
  if (completion)
    for (const Transfer::IsoPacket &p : t.packets) errors += p.usbdStatus != 0;
  Append32(x, t.startFrame);
  Append32(x, uint32_t(t.packets.size()));
  Append32(x, errors);
  for (const Transfer::IsoPacket &p : t.packets) {
    Append32(x, p.offset);
    Append32(x, t.in && !completion ? 0 : p.length);
    Append32(x, completion ? p.usbdStatus : 0);
  }
  return x;
}

std::vector<uint8_t> SetupBytes(const Setup &s) {
  return {s.requestType,      s.request,           uint8_t(s.value), uint8_t(s.value >> 8),
          uint8_t(s.index),   uint8_t(s.index >> 8), uint8_t(s.length), uint8_t(s.length >> 8)};
}

struct Event {
  double ms;
  uint16_t address;
  const Transfer *t;
  bool completion;
};

bool WriteEvent(Writer &w, const Event &e) {
  const Transfer &t = *e.t;
  const bool dataHere = t.in == e.completion;  // OUT data goes with the submission, IN with the completion
  const uint8_t *data = dataHere ? t.data.data() : nullptr;
  const size_t length = dataHere ? t.data.size() : 0;
  if (t.type == TransferType::Control) {
    if (!e.completion) {
      std::vector<uint8_t> setup = SetupBytes(*t.setup);
      if (!w.Record(e.ms, e.address, t, false, {kSetup}, setup.data(), setup.size())) return false;
      return length == 0 || w.Record(e.ms, e.address, t, false, {kData}, data, length);
    }
    if (length && !w.Record(e.ms, e.address, t, true, {kData}, data, length)) return false;
    return w.Record(e.ms, e.address, t, true, {kComplete}, nullptr, 0);
  }
  if (t.type == TransferType::Isochronous)
    return w.Record(e.ms, e.address, t, e.completion, IsoExtension(t, e.completion), data, length);
  return w.Record(e.ms, e.address, t, e.completion, {}, data, length);
}

}  // namespace

bool WriteUsbPcap(std::FILE *file, const std::vector<CaptureDevice> &devices, double epochMs) {
  std::vector<Event> events;
  for (const CaptureDevice &d : devices)
    for (const Transfer &t : d.transfers) {
      // Only what carries a transfer: selections, aborts and resets have no packets on the wire.
      if (t.type == TransferType::Control && !t.setup) continue;
      events.push_back({t.submittedMs, d.address, &t, false});
      if (!t.pending) events.push_back({t.completedMs, d.address, &t, true});
    }
  std::stable_sort(events.begin(), events.end(), [](const Event &a, const Event &b) { return a.ms < b.ms; });
  Writer w(file, epochMs);
  if (!w.Header()) return false;
  for (const Event &e : events)
    if (!WriteEvent(w, e)) return false;
  return std::fflush(file) == 0;
}

}  // namespace xrusb::sim::detail
