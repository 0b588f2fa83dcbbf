// The device-side fuzzer's input: a device (its descriptors, or an FX2 bootloader with a
// firmware file), the registry values the driver reads when it adds the device, a script of
// what an application does, and the stream from which the device draws each answer. Host only.
//
// Layout, each part read in turn (a part cut short by the end of the input reads as zeros):
//   u8 flags                 kFlag* bits; bits 0-1 the speed (0 full, 1 high, 2 super, 3 high)
//   u8 n, n x (u8 value, u32 number)    registry values, by index into kRegistryNumbers
//   u8 n, n bytes            the device descriptor as enumerated (empty: a default one)
//   u8 n, n x (u16 n, n bytes)          configuration blocks, by index
//   u8 n, n x (u8 index, u8 n, n bytes) string descriptors
//   u16 n, n bytes           FX firmware: segments (u16 address, u8 n, n bytes)..., or HEX text
//   u16 n, n bytes           the application's script (Op codes and their operands)
//   the rest                 the device's answers, one or a few bytes per request it sees
#pragma once
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "sim/usb/device.h"

namespace xrusb_fuzz {

// Reads little-endian fields; past the end every read gives zeros.
class Reader {
 public:
  Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  explicit Reader(std::span<const uint8_t> bytes) : Reader(bytes.data(), bytes.size()) {}
  uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t U16() { return uint16_t(U8() | U8() << 8); }
  uint32_t U32() { return uint32_t(U16() | uint32_t(U16()) << 16); }
  std::vector<uint8_t> Take(size_t n) {
    n = std::min(n, size_ - pos_);
    std::vector<uint8_t> v(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return v;
  }
  size_t Left() const { return size_ - pos_; }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t pos_ = 0;
};

constexpr uint8_t kFlagFx = 0x04;         // an FX2 bootloader (04B4:8613) with FxFwFile and a file
constexpr uint8_t kFlagNoV1 = 0x08;       // the bus offers no version 1 direct-call interface
constexpr uint8_t kFlagNoV0 = 0x10;       // nor version 0
constexpr uint8_t kFlagRawFirmware = 0x20;  // the firmware bytes are the file's text as they are

// The numeric values of the device's hardware key the driver reads.
inline constexpr const char16_t *kRegistryNumbers[] = {
    u"RequestTimeout",       u"ShortTransferOk",     u"UnconfigureOnClose",   u"ResetDeviceOnClose",
    u"EnableRemoteWakeup",   u"MaxIsoPackets",       u"ConfigDescMinQuerySize", u"PowerStateOnOpen",
    u"PowerStateOnClose",    u"MinPowerStateUsed",   u"MinPowerStateUnused",  u"AbortPipesOnPowerDown",
    u"SuppressPnPRemoveDlg", u"DeferCancelledIrps",  u"CheckPidOnUnconfig",   u"ConfigIndex",
    u"Interface",            u"AlternateSetting",    u"MaxTransferSize",      u"DisableDefaultInterface",
    u"FxBootloaderCheck",    u"FxExtRamBase",        u"HideDevNodeWhenStarted",
};
constexpr size_t kRegistryCount = sizeof kRegistryNumbers / sizeof kRegistryNumbers[0];

// What the application does; each code is followed by the operands its comment names (bytes).
enum Op : uint8_t {
  kOpOpen,              //
  kOpClose,             // handle
  kOpSetConfiguration,  // index, count, count x (interface, alternate, size)
  kOpSetInterface,      // handle, interface, alternate, size
  kOpUnconfigure,       // handle
  kOpBind,              // handle, pipe (an index into the pipes the driver reports, or an address)
  kOpUnbind,            // handle
  kOpRead,              // handle, length
  kOpWrite,             // handle, length
  kOpIso,               // handle, packets, packet length, flags
  kOpResetPipe,         // handle
  kOpAbortPipe,         // handle
  kOpPipeControl,       // handle, in, 8 setup bytes, length
  kOpGetDescriptor,     // type, index, length (u16)
  kOpVendor,            // in, type, recipient, request, value (u16), index (u16), length (u16), fill
  kOpFeature,           // set, recipient, selector, index
  kOpGetStatus,         // recipient, index
  kOpResetDevice,       //
  kOpCyclePort,         //
  kOpQuery,             // which
  kOpAdvance,           // milliseconds / 4
  kOpUnplug,            //
  kOpReap,              //
  kOpParameters,        // options, timeout (u16)
  kOpStatistics,        // handle, interval, flags
  kOpStoreDescriptor,   // length
  kOpCount
};

// The answer kinds a request draws (the first byte of its answer, modulo kAnswerCount).
enum Answer : uint8_t {
  kAnswerNormal,    // what a good device sends: all asked for, all taken
  kAnswerShort,     // u8: IN sends fewer bytes; OUT takes fewer
  kAnswerLong,      // u8: IN sends more than asked
  kAnswerStall,
  kAnswerNak,       // no answer until the host gives up
  kAnswerError,     // u8 (and a u32 for the last of the table): a USBD error status
  kAnswerVanish,    // no answer, and the device is unplugged while the host waits
  kAnswerEmpty,     // a zero-length answer
  kAnswerCount
};

// The device's side while it runs: the answer stream, read only on the bus thread.
struct DeviceScript {
  explicit DeviceScript(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)), answers_(bytes_) {}
  Reader &Answers() { return answers_; }
  std::atomic<bool> vanish{false};  // a kAnswerVanish was drawn

 private:
  std::vector<uint8_t> bytes_;
  Reader answers_;
};

struct DeviceInput {
  uint8_t flags = 0x01;
  std::vector<std::pair<uint8_t, uint32_t>> registry;
  std::vector<uint8_t> deviceDescriptor;
  std::vector<std::vector<uint8_t>> configurations;
  std::vector<std::pair<uint8_t, std::vector<uint8_t>>> strings;
  std::vector<uint8_t> firmware;
  std::vector<uint8_t> script;
  std::vector<uint8_t> answers;

  static DeviceInput Decode(std::span<const uint8_t> bytes);
  std::vector<uint8_t> Encode() const;

  sim::usb::Speed Speed() const;
  bool Fx() const { return flags & kFlagFx; }
  // The FX firmware file's text.
  std::string FirmwareText() const;
};

// The device model the input describes, answering from 'script'. For an FX2 it is the
// bootloader: each control request first draws a byte, and only 3 (mod 4) answers from the
// script instead of the bootloader.
std::shared_ptr<sim::usb::DeviceModel> MakeDevice(const DeviceInput &input, std::shared_ptr<DeviceScript> script);

}  // namespace xrusb_fuzz
