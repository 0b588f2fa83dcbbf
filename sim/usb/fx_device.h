// An EZ-USB FX-class controller that runs its bootloader: it answers the firmware-load vendor
// requests, holds and releases its CPU through CPUCS, and on release leaves the bus and comes
// back as the device its loaded image describes.
//
// Memory reached by the requests (wValue = address, wIndex ignored, data stage = bytes):
//   0xA0  on-chip memory.  FX:  RAM 0x0000-0x1FFF, registers 0x7B40-0x7FFF, CPUCS 0x7F92.
//                          FX2: RAM 0x0000-0x3FFF, on-chip area 0xE000-0xFFFF, CPUCS 0xE600.
//   0xA3  external memory, [extRamBase, extRamEnd).  On real parts a small helper firmware
//         serves 0xA3; this model answers it from the bootloader, CPU held or not.
// Refusals (stall, nothing stored):
//   - a transfer not wholly inside one region of the request's memory;
//   - a write other than to CPUCS alone while the CPU runs (real silicon takes it and corrupts
//     the running program; refusing catches a loader that forgot to hold the CPU);
//   - any other request, or a vendor request not addressed to the device.
// Exceptions: a zero-length transfer is accepted anywhere; a one-byte 0xA0 write to the other
// generation's CPUCS address (0xE600 on the FX, 0x7F92 on the FX2) is accepted and ignored,
// as a loader that writes the reset byte to both needs (FxOptions::foreignCpucs turns it off).
// CPUCS bit 0 holds the CPU in reset; going from 1 to 0 releases it.
//
// The loaded image describes its device with a block at internal address kFxDescriptorAddress
// (build one with FxDescriptorBlock):
//   +0  'X' 'R' 'F' 'W'
//   +4  flags: bit 0 high speed (FX2 only; the FX is full speed)
//   +5  number of configuration blocks, +6 number of strings, +7 zero
//   +8  the device descriptor (18 bytes)
//   then each configuration block, whole (its wTotalLength), then each string as its index
//   byte followed by the descriptor (its bLength).
// Without a block that fits wholly in internal RAM, the device comes back as a generic
// "loaded firmware" device (kFxLoadedProductId, one vendor interface without endpoints, a
// normal language table). Either way it answers kFxReadImage: IN, wValue = address, wIndex 0
// internal / 1 external, from the memory image it was started from; its data endpoints are
// the bus defaults (IN NAKs, OUT takes everything). It does not answer 0xA0.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/usb/device.h"

namespace sim::usb {

enum class FxVariant { Fx, Fx2 };

constexpr uint16_t kFxVendorId = 0x04B4;
constexpr uint16_t kFxProductId = 0x2131;
constexpr uint16_t kFx2ProductId = 0x8613;
constexpr uint16_t kFxLoadedProductId = 0x1004;
constexpr uint8_t kFxInternalRequest = 0xA0;
constexpr uint8_t kFxExternalRequest = 0xA3;
constexpr uint8_t kFxReadImage = 0xB0;
constexpr uint16_t kFxCpucs = 0x7F92;
constexpr uint16_t kFx2Cpucs = 0xE600;
constexpr uint16_t kFxDescriptorAddress = 0x1000;

struct FxOptions {
  uint16_t productId = 0;  // 0: the variant's own
  uint32_t extRamBase = 0x2000;
  uint32_t extRamEnd = 0x10000;  // exclusive
  bool cpuRunning = false;       // start with the CPU released, as after a boot from EEPROM
  bool foreignCpucs = true;      // accept the other generation's CPUCS write
};

// One memory request as the bootloader saw it.
struct FxRequest {
  uint8_t request = 0;
  bool in = false;
  uint16_t address = 0;
  uint16_t length = 0;
  std::vector<uint8_t> data;  // OUT: what was sent
  bool accepted = false;
};

// What a release started: the memory at that moment and the device it became.
struct FxFirmware {
  std::vector<uint8_t> internal;  // 64 KiB, indexed by address
  std::vector<uint8_t> external;  // 64 KiB, indexed by address
  bool described = false;         // the descriptor block was found
  std::shared_ptr<DeviceModel> model;
};

struct FxState {
  mutable std::mutex mutex;
  FxVariant variant = FxVariant::Fx2;
  FxOptions options;
  // Everything below under 'mutex'.
  std::vector<uint8_t> internal = std::vector<uint8_t>(0x10000);
  std::vector<uint8_t> external = std::vector<uint8_t>(0x10000);
  bool cpuHeld = true;
  unsigned releases = 0;  // CPUCS bit 0 going from 1 to 0
  std::vector<FxRequest> log;
  std::shared_ptr<FxFirmware> firmware;  // of the last release
  // Called (without the mutex) on each release, before the bus is asked to re-enumerate. The
  // model owns this state: a hook that holds the model must hold it weakly.
  std::function<void(std::shared_ptr<FxFirmware>)> onRelease;

  std::vector<uint8_t> Internal(uint16_t address, size_t length) const;
  std::vector<uint8_t> External(uint16_t address, size_t length) const;
  bool CpuHeld() const;
  unsigned Releases() const;
  std::vector<FxRequest> Log() const;
  std::shared_ptr<FxFirmware> Firmware() const;
};

struct FxDevice {
  std::shared_ptr<DeviceModel> model;
  std::shared_ptr<FxState> state;
};

FxDevice MakeFxBootloader(FxVariant variant, const FxOptions &options = {});

// The descriptor block a firmware image carries at kFxDescriptorAddress.
std::vector<uint8_t> FxDescriptorBlock(const std::vector<uint8_t> &deviceDescriptor,
                                       const std::vector<std::vector<uint8_t>> &configurations,
                                       const std::map<uint8_t, std::vector<uint8_t>> &strings,
                                       bool highSpeed = false);

}  // namespace sim::usb
