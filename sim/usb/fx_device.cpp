#include "sim/usb/fx_device.h"

#include <algorithm>
#include <utility>

#include "sim/usb/bus.h"
#include "sim/usb/descriptors.h"

namespace sim::usb {

namespace {

struct Region {
  uint32_t begin, end;  // [begin, end)
};

std::vector<Region> OnChip(FxVariant v) {
  if (v == FxVariant::Fx) return {{0x0000, 0x2000}, {0x7B40, 0x8000}};
  return {{0x0000, 0x4000}, {0xE000, 0x10000}};
}

uint32_t RamEnd(FxVariant v) { return v == FxVariant::Fx ? 0x2000 : 0x4000; }
uint16_t Cpucs(FxVariant v) { return v == FxVariant::Fx ? kFxCpucs : kFx2Cpucs; }
uint16_t ForeignCpucs(FxVariant v) { return v == FxVariant::Fx ? kFx2Cpucs : kFxCpucs; }

bool Inside(const std::vector<Region> &regions, uint32_t address, uint32_t length) {
  return std::any_of(regions.begin(), regions.end(),
                     [&](const Region &r) { return address >= r.begin && address + length <= r.end; });
}

struct Image {
  std::vector<uint8_t> internal, external;
};

// A running firmware's vendor request: read back the image it started from.
Response ReadImage(const Image &image, const Setup &setup) {
  if ((setup.bmRequestType & 0x7F) != 0x40 || setup.bRequest != kFxReadImage || !setup.In() || setup.wIndex > 1)
    return Response::Stall();
  const auto &mem = setup.wIndex == 0 ? image.internal : image.external;
  if (size_t{setup.wValue} + setup.wLength > mem.size()) return Response::Stall();
  return Response::Ack({mem.begin() + setup.wValue, mem.begin() + setup.wValue + setup.wLength});
}

std::shared_ptr<DeviceModel> GenericFirmware(FxVariant variant) {
  auto m = std::make_shared<DeviceModel>();
  m->speed = variant == FxVariant::Fx ? Speed::Full : Speed::High;
  DeviceFields f;
  f.vendorId = kFxVendorId;
  f.productId = kFxLoadedProductId;
  f.bcdDevice = 0x0001;
  f.productString = 1;
  m->deviceDescriptor = DeviceDescriptor(f);
  m->configurations = {ConfigBuilder(1, 0x80, 50).Interface(0, 0).Build()};
  m->strings[0] = LanguageTable();
  m->strings[1] = StringDescriptor(u"FX firmware");
  return m;
}

// Reads the descriptor block; null when it is absent or does not fit in internal RAM.
std::shared_ptr<DeviceModel> DescribedFirmware(FxVariant variant, const std::vector<uint8_t> &mem) {
  const size_t end = RamEnd(variant);
  size_t p = kFxDescriptorAddress;
  auto fits = [&](size_t n) { return p + n <= end; };
  if (!fits(26) || !std::equal(mem.begin() + p, mem.begin() + p + 4, "XRFW")) return nullptr;
  auto m = std::make_shared<DeviceModel>();
  m->speed = variant == FxVariant::Fx2 && (mem[p + 4] & 1) ? Speed::High : Speed::Full;
  const unsigned configs = mem[p + 5], strings = mem[p + 6];
  p += 8;
  auto take = [&](size_t n) {
    std::vector<uint8_t> v(mem.begin() + static_cast<ptrdiff_t>(p), mem.begin() + static_cast<ptrdiff_t>(p + n));
    p += n;
    return v;
  };
  m->deviceDescriptor = take(18);
  for (unsigned i = 0; i < configs; ++i) {
    if (!fits(4)) return nullptr;
    const size_t total = mem[p + 2] | (mem[p + 3] << 8);
    if (total < 4 || !fits(total)) return nullptr;
    m->configurations.push_back(take(total));
  }
  for (unsigned i = 0; i < strings; ++i) {
    if (!fits(2)) return nullptr;
    const uint8_t index = mem[p++];
    const size_t length = mem[p];
    if (length < 2 || !fits(length)) return nullptr;
    m->strings[index] = take(length);
  }
  return m;
}

std::shared_ptr<FxFirmware> Start(FxVariant variant, const FxState &s) {
  auto fw = std::make_shared<FxFirmware>();
  fw->internal = s.internal;
  fw->external = s.external;
  fw->model = DescribedFirmware(variant, fw->internal);
  fw->described = fw->model != nullptr;
  if (!fw->model) fw->model = GenericFirmware(variant);
  // The model must not own its FxFirmware (which owns the model), so it keeps its own copy.
  auto image = std::make_shared<const Image>(Image{fw->internal, fw->external});
  fw->model->control = [image](const Setup &setup, std::span<const uint8_t>) { return ReadImage(*image, setup); };
  return fw;
}

// Answers one bootloader request with s.mutex held; 'released' is set when it let the CPU run.
Response Bootloader(FxState &s, const Setup &setup, std::span<const uint8_t> data, bool &released) {
  if ((setup.bmRequestType & 0x7F) != 0x40 ||
      (setup.bRequest != kFxInternalRequest && setup.bRequest != kFxExternalRequest))
    return Response::Stall();
  const bool in = setup.In();
  const uint32_t address = setup.wValue;
  const uint32_t length = in ? setup.wLength : static_cast<uint32_t>(data.size());
  FxRequest entry{setup.bRequest, in, setup.wValue, static_cast<uint16_t>(length),
                  in ? std::vector<uint8_t>{} : std::vector<uint8_t>(data.begin(), data.end()), false};
  auto refuse = [&] {
    s.log.push_back(std::move(entry));
    return Response::Stall();
  };
  const bool internal = setup.bRequest == kFxInternalRequest;
  const uint16_t cpucs = Cpucs(s.variant);
  auto &mem = internal ? s.internal : s.external;

  if (length == 0) {
    entry.accepted = true;
    s.log.push_back(std::move(entry));
    return Response::Ack();
  }
  if (internal && !in && address == ForeignCpucs(s.variant) && length == 1) {
    if (!s.options.foreignCpucs) return refuse();
    entry.accepted = true;
    s.log.push_back(std::move(entry));
    return Response::Ack();
  }
  const bool mapped = internal ? Inside(OnChip(s.variant), address, length)
                               : address >= s.options.extRamBase && address + length <= s.options.extRamEnd;
  if (!mapped) return refuse();
  if (in) {
    entry.accepted = true;
    s.log.push_back(std::move(entry));
    return Response::Ack({mem.begin() + address, mem.begin() + address + length});
  }
  const bool cpucsOnly = internal && address == cpucs && length == 1;
  if (!s.cpuHeld && !cpucsOnly) return refuse();
  std::copy(data.begin(), data.end(), mem.begin() + address);
  if (internal && address <= cpucs && cpucs < address + length) {
    const bool hold = mem[cpucs] & 1;
    if (s.cpuHeld && !hold) {
      ++s.releases;
      released = true;
    }
    s.cpuHeld = hold;
  }
  entry.accepted = true;
  s.log.push_back(std::move(entry));
  return Response::Ack();
}

}  // namespace

std::vector<uint8_t> FxState::Internal(uint16_t address, size_t length) const {
  std::lock_guard lock(mutex);
  const size_t end = std::min(internal.size(), size_t{address} + length);
  return {internal.begin() + address, internal.begin() + static_cast<ptrdiff_t>(end)};
}

std::vector<uint8_t> FxState::External(uint16_t address, size_t length) const {
  std::lock_guard lock(mutex);
  const size_t end = std::min(external.size(), size_t{address} + length);
  return {external.begin() + address, external.begin() + static_cast<ptrdiff_t>(end)};
}

bool FxState::CpuHeld() const {
  std::lock_guard lock(mutex);
  return cpuHeld;
}

unsigned FxState::Releases() const {
  std::lock_guard lock(mutex);
  return releases;
}

std::vector<FxRequest> FxState::Log() const {
  std::lock_guard lock(mutex);
  return log;
}

std::shared_ptr<FxFirmware> FxState::Firmware() const {
  std::lock_guard lock(mutex);
  return firmware;
}

FxDevice MakeFxBootloader(FxVariant variant, const FxOptions &options) {
  auto state = std::make_shared<FxState>();
  state->variant = variant;
  state->options = options;
  state->cpuHeld = !options.cpuRunning;
  state->internal[Cpucs(variant)] = state->cpuHeld ? 1 : 0;

  auto model = std::make_shared<DeviceModel>();
  const bool fx = variant == FxVariant::Fx;
  model->speed = fx ? Speed::Full : Speed::High;
  DeviceFields f;
  f.deviceClass = 0xFF;
  f.deviceSubClass = 0xFF;
  f.deviceProtocol = 0xFF;
  f.vendorId = kFxVendorId;
  f.productId = options.productId ? options.productId : fx ? kFxProductId : kFx2ProductId;
  f.bcdDevice = 0xA001;
  model->deviceDescriptor = DeviceDescriptor(f);
  const uint16_t bulk = fx ? 64 : 512;
  model->configurations = {ConfigBuilder(1, 0x80, 50)
                               .Interface(0, 0)
                               .Interface(0, 1)
                               .Endpoint(0x01, EndpointType::Bulk, bulk)
                               .Endpoint(0x81, EndpointType::Bulk, bulk)
                               .Build()};
  // The bootloader offers a language table with no language: what a loader checks for.
  model->strings[0] = {0x02, 0x03};

  std::weak_ptr<DeviceModel> weakModel = model;
  model->control = [state, weakModel](const Setup &setup, std::span<const uint8_t> data) {
    bool released = false;
    std::shared_ptr<FxFirmware> fw;
    Response r;
    {
      std::lock_guard lock(state->mutex);
      r = Bootloader(*state, setup, data, released);
      if (released) fw = state->firmware = Start(state->variant, *state);
    }
    if (fw) {
      std::function<void(std::shared_ptr<FxFirmware>)> hook;
      {
        std::lock_guard lock(state->mutex);
        hook = state->onRelease;
      }
      if (hook) hook(fw);
      auto self = weakModel.lock();
      if (self && self->bus && self->pdo) self->bus->Reenumerate(self->pdo, fw->model);
    }
    return r;
  };
  return {model, state};
}

std::vector<uint8_t> FxDescriptorBlock(const std::vector<uint8_t> &deviceDescriptor,
                                       const std::vector<std::vector<uint8_t>> &configurations,
                                       const std::map<uint8_t, std::vector<uint8_t>> &strings, bool highSpeed) {
  std::vector<uint8_t> b{'X', 'R', 'F', 'W', static_cast<uint8_t>(highSpeed ? 1 : 0),
                         static_cast<uint8_t>(configurations.size()), static_cast<uint8_t>(strings.size()), 0};
  std::vector<uint8_t> device = deviceDescriptor;
  device.resize(18);
  b.insert(b.end(), device.begin(), device.end());
  for (const auto &c : configurations) b.insert(b.end(), c.begin(), c.end());
  for (const auto &[index, s] : strings) {
    b.push_back(index);
    b.insert(b.end(), s.begin(), s.end());
  }
  return b;
}

}  // namespace sim::usb
