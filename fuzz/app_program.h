// The byte language of the application-side fuzzer: an input is a header (bus options and
// registry values for the device) followed by operations, each an opcode byte and its arguments.
// A reader that runs out yields zeros and ends the program. The writer, used by the seed maker,
// emits exactly what the interpreter in app_fuzz.cpp reads, field by field.
#pragma once
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "include/xrusb/ioctl.h"

namespace app_fuzz {

enum Op : uint8_t {
  kOpen,          // slot, who (bit 0 process B, bits 1-2 access: both, read, write, none; bit 3 \\.\Dev1)
  kClose,         // slot
  kIoctl,         // slot, code (see CodeFrom), u16 in length, u16 out length, u16 n, n bytes, fill byte
  kRead,          // slot, buffer (see below)
  kWrite,         // slot, buffer
  kIsoRace,       // slot, read, iso buffer, 16-byte xor mask, rewrites/16: table rewritten while sent
  kCancel,        // which (< 0x80 one request, < 0xC0 CancelIoEx on a slot, else CancelIo on a slot)
  kWait,          // request
  kConfigure,     // slot, mode, then standard (mode bit 0 clear) or raw settings
  kSetInterface,  // slot, interface, alternate, transfer size
  kBind,          // slot, endpoint
  kPipeOp,        // slot, which, u32 argument
  kDevicePower,   // slot, state (0..5: 4 and 5 are invalid)
  kSleep,         // system state (S1, S2, S3, S4)
  kResume,
  kUnplug,        // surprise removal of the device as it is now
  kReplug,        // a fresh test device, once the last is unplugged
  kRebalance,     // query stop, stop, start
  kAdvance,       // u16 ms (0: to the next timer)
  kEndProcess,    // which
  kBusFault,      // target (< 0x80 endpoint, else a control request), kind, count, argument
  kClearFaults,
  kSettle,        // the bus's re-enumerations done (after a reset or port cycle)
  kOpCount
};

constexpr uint8_t kSlots = 4;

// Read and write buffers: a mode byte, then
//   mode 0: u16 length, fill byte                   plain
//   mode 1: iso                                      built table (IsoSpec)
//   mode 2: u16 length, u16 n, n bytes               raw bytes (header and table as given)
//   mode 3: u16 length << 3, fill byte               large plain
// IsoSpec: u8 packets, u32 flags, u32 start frame, u8 n, n u16 lengths (low 13 bits) used in
// turn, u8 slack.
constexpr uint32_t kCodes[] = {
#define XRUSB_FUZZ_CODE(c) c,
    XRUSB_CONTROL_CODES(XRUSB_FUZZ_CODE)
#undef XRUSB_FUZZ_CODE
};
constexpr size_t kCodeCount = sizeof kCodes / sizeof kCodes[0];

// Code selector: < 0xC0 a known code; < 0xE0 a known code (next byte) with the selector's low two
// bits as method and the next two as access; else a raw u32.
inline uint8_t KnownCode(uint32_t code) {
  for (size_t i = 0; i < kCodeCount; ++i)
    if (kCodes[i] == code) return uint8_t(i);
  return 0;
}

// Endpoints of the test device (both configurations) and one that is none of them.
constexpr uint8_t kEndpoints[] = {0x81, 0x02, 0x03, 0x83, 0x84, 0x05, 0x86, 0x06, 0x07, 0x01, 0x00, 0x8F};
constexpr uint32_t kTransferSizes[] = {4096, 64, 65536, 1u << 20, 0, 512, 0xFFFFFFFF, 1};

// Registry values a device may be plugged with (the header's rows).
inline const char16_t *const kRegistryValues[] = {
    u"RequestTimeout",     u"ShortTransferOk",     u"UnconfigureOnClose", u"ResetDeviceOnClose",
    u"EnableRemoteWakeup", u"MaxIsoPackets",       u"PowerStateOnOpen",   u"PowerStateOnClose",
    u"MinPowerStateUsed",  u"MinPowerStateUnused", u"AbortPipesOnPowerDown", u"DeferCancelledIrps",
    u"CheckPidOnUnconfig", u"ConfigIndex",         u"Interface",          u"AlternateSetting",
    u"MaxTransferSize",    u"ConfigDescMinQuerySize"};
constexpr size_t kRegistryCount = sizeof kRegistryValues / sizeof kRegistryValues[0];

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> in) : in_(in) {}
  bool Done() const { return pos_ >= in_.size(); }
  uint8_t U8() { return pos_ < in_.size() ? in_[pos_++] : 0; }
  uint16_t U16() { return uint16_t(U8() | U8() << 8); }
  uint32_t U32() { return uint32_t(U16()) | uint32_t(U16()) << 16; }
  // Up to n bytes into 'out' (zeros past the end of the input).
  void Bytes(uint8_t *out, size_t n) {
    if (!n) return;
    const size_t have = pos_ < in_.size() ? std::min(n, in_.size() - pos_) : 0;
    if (have) memcpy(out, in_.data() + pos_, have);
    memset(out + have, 0, n - have);
    pos_ += have;
  }

 private:
  std::span<const uint8_t> in_;
  size_t pos_ = 0;
};

class Writer {
 public:
  Writer &U8(uint8_t v) {
    out_.push_back(v);
    return *this;
  }
  Writer &U16(uint16_t v) { return U8(uint8_t(v)).U8(uint8_t(v >> 8)); }
  Writer &U32(uint32_t v) { return U16(uint16_t(v)).U16(uint16_t(v >> 16)); }
  Writer &Bytes(const void *p, size_t n) {
    const uint8_t *b = static_cast<const uint8_t *>(p);
    out_.insert(out_.end(), b, b + n);
    return *this;
  }
  const std::vector<uint8_t> &Data() const { return out_; }

  // Header: speed (full when set), bus answers always pending, then (row, value) pairs.
  Writer &Header(bool fullSpeed, bool forcePending, const std::vector<std::pair<uint8_t, uint32_t>> &values = {}) {
    U8(uint8_t(fullSpeed | forcePending << 1)).U8(uint8_t(values.size()));
    for (auto [row, value] : values) {
      U8(row);
      if (value < 0xFF)
        U8(uint8_t(value));
      else
        U8(0xFF).U32(value);
    }
    return *this;
  }
  Writer &Open(uint8_t slot, bool processB = false, uint8_t access = 0) {
    return U8(kOpen).U8(slot).U8(uint8_t(processB | access << 1));
  }
  Writer &Close(uint8_t slot) { return U8(kClose).U8(slot); }
  Writer &Ioctl(uint8_t slot, uint32_t code, const void *in, uint16_t inLength, uint16_t outLength) {
    U8(kIoctl).U8(slot).U8(KnownCode(code)).U16(inLength).U16(outLength).U16(inLength);
    return Bytes(in, inLength).U8(0);
  }
  template <typename T>
  Writer &Ioctl(uint8_t slot, uint32_t code, const T &request, uint16_t outLength = 0) {
    return Ioctl(slot, code, &request, uint16_t(sizeof request), outLength);
  }
  Writer &Plain(uint8_t slot, bool read, uint16_t length, uint8_t fill = 0x5A) {
    return U8(read ? kRead : kWrite).U8(slot).U8(0).U16(length).U8(fill);
  }
  Writer &Iso(uint8_t slot, bool read, uint8_t packets, const std::vector<uint16_t> &lengths,
              uint32_t flags = ISO_START_ASAP) {
    U8(read ? kRead : kWrite).U8(slot).U8(1);
    return IsoSpec(packets, lengths, flags);
  }
  Writer &IsoRace(uint8_t slot, bool read, uint8_t packets, const std::vector<uint16_t> &lengths,
                  const uint8_t (&mask)[16], uint8_t rewrites) {
    U8(kIsoRace).U8(slot).U8(read);
    IsoSpec(packets, lengths, ISO_START_ASAP);
    return Bytes(mask, 16).U8(rewrites);
  }
  Writer &Cancel(uint8_t request) { return U8(kCancel).U8(request); }
  Writer &CancelSlot(uint8_t slot) { return U8(kCancel).U8(uint8_t(0x80 | slot)); }
  Writer &Wait(uint8_t request) { return U8(kWait).U8(request); }
  // Configuration 1 with interface 1 in 'isoAlternate', or configuration 2.
  Writer &Configure(uint8_t slot, bool second = false, uint8_t isoAlternate = 0, uint8_t size = 0) {
    return U8(kConfigure).U8(slot).U8(uint8_t(second << 1 | isoAlternate << 2)).U8(size);
  }
  Writer &SetInterface(uint8_t slot, uint8_t number, uint8_t alternate, uint8_t size = 0) {
    return U8(kSetInterface).U8(slot).U8(number).U8(alternate).U8(size);
  }
  Writer &Bind(uint8_t slot, uint8_t endpoint) {
    uint8_t k = 0;
    while (k < sizeof kEndpoints && kEndpoints[k] != endpoint) ++k;
    return U8(kBind).U8(slot).U8(k);
  }
  Writer &PipeOp(uint8_t slot, uint8_t which, uint32_t argument = 0) {
    return U8(kPipeOp).U8(slot).U8(which).U32(argument);
  }
  Writer &DevicePower(uint8_t slot, uint8_t state) { return U8(kDevicePower).U8(slot).U8(state); }
  Writer &Sleep(uint8_t state = 2) { return U8(kSleep).U8(state); }
  Writer &Op(Op op) { return U8(op); }
  Writer &Advance(uint16_t ms) { return U8(kAdvance).U16(ms); }
  Writer &EndProcess(bool processB) { return U8(kEndProcess).U8(processB); }
  Writer &BusFault(uint8_t target, uint8_t kind, uint8_t count, uint8_t argument = 0) {
    return U8(kBusFault).U8(target).U8(kind).U8(count).U8(argument);
  }

 private:
  Writer &IsoSpec(uint8_t packets, const std::vector<uint16_t> &lengths, uint32_t flags) {
    U8(packets).U32(flags).U32(0).U8(uint8_t(lengths.size()));
    for (uint16_t l : lengths) U16(l);
    return U8(0);
  }
  std::vector<uint8_t> out_;
};

}  // namespace app_fuzz
