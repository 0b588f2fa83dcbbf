// The device-side fuzzer's input: decoding, encoding (for the seeds), and the device model that
// answers from it.
#include "device_input.h"

#include <stdexcept>

#include "sim/usb/descriptors.h"
#include "sim/usb/fx_device.h"
#include "sim/usb/intel_hex.h"

namespace xrusb_fuzz {
namespace {

using sim::usb::Response;
using sim::usb::Setup;

void Put16(std::vector<uint8_t> &v, uint16_t x) {
  v.push_back(uint8_t(x));
  v.push_back(uint8_t(x >> 8));
}

// Errors a host controller reports for a transaction; the last draws any error status.
constexpr USBD_STATUS kErrors[] = {
    USBD_STATUS_CRC,           USBD_STATUS_BTSTUFF,         USBD_STATUS_DATA_TOGGLE_MISMATCH,
    USBD_STATUS_DEV_NOT_RESPONDING, USBD_STATUS_DATA_OVERRUN, USBD_STATUS_DATA_UNDERRUN,
    USBD_STATUS_BUFFER_OVERRUN, USBD_STATUS_XACT_ERROR,     USBD_STATUS_BABBLE_DETECTED,
    USBD_STATUS_ENDPOINT_HALTED, USBD_STATUS_DEVICE_GONE,   USBD_STATUS_CANCELED,
    USBD_STATUS_TIMEOUT,       USBD_STATUS_ERROR_SHORT_TRANSFER, USBD_STATUS_INVALID_PARAMETER,
    USBD_STATUS_REQUEST_FAILED, USBD_STATUS_ISO_TD_ERROR,   0,
};
constexpr size_t kErrorCount = sizeof kErrors / sizeof kErrors[0];

USBD_STATUS DrawError(Reader &r) {
  const size_t k = r.U8() % kErrorCount;
  // Any status with the error bit: the bus reports what it likes.
  return k + 1 < kErrorCount ? kErrors[k] : USBD_STATUS(r.U32() | 0x80000000u);
}

std::vector<uint8_t> Filled(size_t n, uint8_t fill) { return std::vector<uint8_t>(n, fill); }

// One answer for a request that asks for 'length' bytes IN (or offers 'length' OUT); 'in' bytes
// come from 'truth' where the request has one (a descriptor), else are filled.
Response Draw(DeviceScript &s, bool in, size_t length, const std::vector<uint8_t> *truth = nullptr) {
  Reader &r = s.Answers();
  auto data = [&](size_t n) {
    std::vector<uint8_t> v = truth ? *truth : Filled(n, uint8_t(0xA5 ^ n));
    v.resize(n, 0x5A);
    return v;
  };
  switch (r.U8() % kAnswerCount) {
    case kAnswerNormal:
      return in ? Response::Ack(data(truth ? std::min(truth->size(), length) : length)) : Response::Ack();
    case kAnswerShort: {
      const size_t n = length ? r.U8() % length : 0;
      if (in) return Response::Ack(data(n));
      Response a = Response::Ack();
      a.accepted = n;
      return a;
    }
    case kAnswerLong:
      return in ? Response::Ack(data(length + 1 + r.U8())) : Response::Ack();
    case kAnswerStall:
      return Response::Stall();
    case kAnswerNak:
      return Response::Nak();
    case kAnswerError:
      return Response::Error(DrawError(r));
    case kAnswerVanish:
      s.vanish = true;
      return Response::Nak();
    default:
      return in ? Response::Ack() : [] {
        Response a = Response::Ack();
        a.accepted = 0;
        return a;
      }();
  }
}

// GET_DESCRIPTOR as a lying device answers it: mostly the truth, else the truth cut short,
// run long, with its length fields rewritten, or refused.
std::optional<Response> DrawDescriptor(DeviceScript &s, const Setup &setup, const std::vector<uint8_t> &dd,
                                       const std::vector<std::vector<uint8_t>> &configurations,
                                       const std::map<uint8_t, std::vector<uint8_t>> &strings) {
  Reader &r = s.Answers();
  const uint8_t type = uint8_t(setup.wValue >> 8), index = uint8_t(setup.wValue);
  std::vector<uint8_t> truth;
  if (type == USB_DEVICE_DESCRIPTOR_TYPE) {
    truth = dd;
  } else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index < configurations.size()) {
    truth = configurations[index];
  } else if (type == USB_STRING_DESCRIPTOR_TYPE && strings.count(index)) {
    truth = strings.at(index);
  }
  const uint8_t how = r.U8();
  switch (how % 8) {
    case 0:
    case 1:
      return std::nullopt;
    case 2:  // another block's head or body: what a device with a changing answer sends
      if (!configurations.empty()) truth = configurations[r.U8() % configurations.size()];
      break;
    case 3:  // wTotalLength (or bLength) rewritten
      if (truth.size() >= 4) {
        const uint16_t v = r.U16();
        truth[2] = uint8_t(v);
        truth[3] = uint8_t(v >> 8);
      } else if (!truth.empty()) {
        truth[0] = r.U8();
      }
      break;
    case 4:  // bNumInterfaces, bNumEndpoints or bLength of one descriptor in the block
      if (!truth.empty()) truth[r.U16() % truth.size()] = r.U8();
      break;
    default:
      return Draw(s, true, setup.wLength, &truth);
  }
  return Response::Ack(std::move(truth));
}

std::vector<uint8_t> DefaultDeviceDescriptor() {
  sim::usb::DeviceFields f;
  f.vendorId = 0x1209;
  f.productId = 0x7356;
  return sim::usb::DeviceDescriptor(f);
}

}  // namespace

DeviceInput DeviceInput::Decode(std::span<const uint8_t> bytes) {
  Reader r(bytes);
  DeviceInput in;
  in.flags = r.U8();
  for (uint8_t n = r.U8(); n; --n) {
    const uint8_t value = r.U8();
    in.registry.push_back({value, r.U32()});
  }
  in.deviceDescriptor = r.Take(r.U8());
  for (uint8_t n = r.U8() % 5; n; --n) in.configurations.push_back(r.Take(r.U16()));
  for (uint8_t n = r.U8() % 8; n; --n) {
    const uint8_t index = r.U8();
    in.strings.push_back({index, r.Take(r.U8())});
  }
  in.firmware = r.Take(r.U16());
  in.script = r.Take(r.U16());
  in.answers = r.Take(r.Left());
  return in;
}

std::vector<uint8_t> DeviceInput::Encode() const {
  std::vector<uint8_t> v{flags, uint8_t(registry.size())};
  for (auto [value, number] : registry) {
    v.push_back(value);
    Put16(v, uint16_t(number));
    Put16(v, uint16_t(number >> 16));
  }
  v.push_back(uint8_t(deviceDescriptor.size()));
  v.insert(v.end(), deviceDescriptor.begin(), deviceDescriptor.end());
  v.push_back(uint8_t(configurations.size()));
  for (const auto &c : configurations) {
    Put16(v, uint16_t(c.size()));
    v.insert(v.end(), c.begin(), c.end());
  }
  v.push_back(uint8_t(strings.size()));
  for (const auto &[index, s] : strings) {
    v.push_back(index);
    v.push_back(uint8_t(s.size()));
    v.insert(v.end(), s.begin(), s.end());
  }
  for (const std::vector<uint8_t> *part : {&firmware, &script}) {
    Put16(v, uint16_t(part->size()));
    v.insert(v.end(), part->begin(), part->end());
  }
  v.insert(v.end(), answers.begin(), answers.end());
  return v;
}

sim::usb::Speed DeviceInput::Speed() const {
  switch (flags & 3) {
    case 0: return sim::usb::Speed::Full;
    case 2: return sim::usb::Speed::Super;
    default: return sim::usb::Speed::High;
  }
}

std::string DeviceInput::FirmwareText() const {
  if (flags & kFlagRawFirmware) return std::string(firmware.begin(), firmware.end());
  std::vector<sim::usb::HexSegment> segments;
  Reader r(firmware);
  while (r.Left() >= 3) {
    const uint16_t address = r.U16();
    std::vector<uint8_t> data = r.Take(r.U8());
    // A segment past 0xFFFF is cut where the loader's 16-bit addresses end.
    data.resize(std::min<size_t>(data.size(), 0x10000 - size_t(address)));
    segments.push_back({address, std::move(data)});
  }
  return sim::usb::WriteIntelHex(segments);
}

std::shared_ptr<sim::usb::DeviceModel> MakeDevice(const DeviceInput &input, std::shared_ptr<DeviceScript> script) {
  if (input.Fx()) {
    // The bootloader's own model (it re-enumerates through it), its answers passed through the
    // script first: the loader's requests may stall, time out or come back short.
    sim::usb::FxDevice fx = sim::usb::MakeFxBootloader(sim::usb::FxVariant::Fx2);
    auto rom = fx.model->control;
    auto state = fx.state;  // the model holds its state only through the hooks
    fx.model->control = [rom, script, state](const Setup &setup, std::span<const uint8_t> out) {
      Reader &r = script->Answers();
      if (r.U8() % 4 != 3) return rom(setup, out);
      return Draw(*script, setup.In(), setup.In() ? setup.wLength : out.size());
    };
    return fx.model;
  }
  auto m = std::make_shared<sim::usb::DeviceModel>();
  m->speed = input.Speed();
  m->deviceDescriptor = input.deviceDescriptor.empty() ? DefaultDeviceDescriptor() : input.deviceDescriptor;
  m->configurations = input.configurations;
  for (const auto &[index, s] : input.strings) m->strings[index] = s;
  m->control = [script](const Setup &setup, std::span<const uint8_t> out) {
    return Draw(*script, setup.In(), setup.In() ? setup.wLength : out.size());
  };
  m->endpointControl = [script](uint8_t, const Setup &setup, std::span<const uint8_t> out) {
    return Draw(*script, setup.In(), setup.In() ? setup.wLength : out.size());
  };
  m->in = [script](uint8_t, size_t length) { return Draw(*script, true, length); };
  m->out = [script](uint8_t, std::span<const uint8_t> data) { return Draw(*script, false, data.size()); };
  m->descriptor = [script, dd = m->deviceDescriptor, configurations = m->configurations,
                   strings = m->strings](const Setup &setup) {
    return DrawDescriptor(*script, setup, dd, configurations, strings);
  };
  return m;
}

}  // namespace xrusb_fuzz
