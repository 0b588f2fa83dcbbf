// The isochronous buffer: header, packet descriptors, then the packets' data back to back.
#include "xrusb/iso.hpp"

#include <cstring>
#include <stdexcept>

#include "xrusb/ioctl.h"

namespace xrusb {
namespace {

// Written into each descriptor's Status before submission: the driver writes every packet's
// outcome over it, so a packet still holding it was never reported on.
constexpr uint32_t kUnreported = 0xFFFFFFFFu;

constexpr size_t kHeader = sizeof(IsoTransferHeader);
constexpr size_t kDescriptor = sizeof(IsoPacketDescriptor);

}  // namespace

IsoRequest::IsoRequest(std::span<const uint32_t> packetLengths)
    : lengths_(packetLengths.begin(), packetLengths.end()), flags_(ISO_START_ASAP) {
  uint64_t offset = kHeader + uint64_t(kDescriptor) * lengths_.size();
  offsets_.reserve(lengths_.size());
  for (uint32_t length : lengths_) {
    offsets_.push_back(uint32_t(offset));
    offset += length;
    if (offset > UINT32_MAX) throw std::length_error("xrusb::IsoRequest: more than 4 GiB");
  }
  buffer_.assign(size_t(offset), 0);
  Prepare();
}

IsoRequest::IsoRequest(size_t packets, uint32_t packetLength)
    : IsoRequest(std::vector<uint32_t>(packets, packetLength)) {}

IsoRequest &IsoRequest::operator=(IsoRequest &&other) noexcept {
  if (this != &other) {
    request_ = std::move(other.request_);  // waits for ours first, while our buffer still lives
    buffer_ = std::move(other.buffer_);
    lengths_ = std::move(other.lengths_);
    offsets_ = std::move(other.offsets_);
    flags_ = other.flags_;
    startFrame_ = other.startFrame_;
  }
  return *this;
}

void IsoRequest::Prepare() noexcept {
  const IsoTransferHeader h{uint32_t(lengths_.size()), flags_, startFrame_, 0};
  std::memcpy(buffer_.data(), &h, kHeader);
  for (size_t k = 0; k < lengths_.size(); ++k) {
    const IsoPacketDescriptor d{offsets_[k], lengths_[k], kUnreported};
    std::memcpy(buffer_.data() + kHeader + k * kDescriptor, &d, kDescriptor);
  }
}

std::span<uint8_t> IsoRequest::PacketBuffer(size_t k) noexcept {
  return std::span<uint8_t>(buffer_.data() + offsets_[k], lengths_[k]);
}

IsoPacket IsoRequest::Packet(size_t k) const noexcept {
  IsoPacketDescriptor d;
  std::memcpy(&d, buffer_.data() + kHeader + k * kDescriptor, kDescriptor);
  IsoPacket p;
  if (d.Status == kUnreported) {
    p.status = Status() ? Status() : MakeStatusCode(status::kCancelled);
    return p;
  }
  if (int32_t(d.Status) < 0) p.status = MakeStatusCode(d.Status);
  // Our own layout says where the packet is; what came back only says how much of it.
  p.length = d.Length < lengths_[k] ? d.Length : lengths_[k];
  p.data = std::span<uint8_t>(const_cast<uint8_t *>(buffer_.data()) + offsets_[k], p.length);
  return p;
}

uint32_t IsoRequest::StartFrame() const noexcept {
  if (buffer_.size() < kHeader) return 0;  // moved from
  IsoTransferHeader h;
  std::memcpy(&h, buffer_.data(), kHeader);
  return h.StartFrame;
}

uint32_t IsoRequest::ErrorCount() const noexcept {
  if (buffer_.size() < kHeader) return 0;  // moved from
  IsoTransferHeader h;
  std::memcpy(&h, buffer_.data(), kHeader);
  return h.ErrorCount;
}

void IsoRequest::SetStartFrame(uint32_t frame) noexcept {
  startFrame_ = frame;
  flags_ &= ~ISO_START_ASAP;
}

void IsoRequest::SetStartAsap() noexcept { flags_ |= ISO_START_ASAP; }

void IsoRequest::SetShortTransferOk(bool allow) noexcept {
  flags_ = allow ? flags_ | SHORT_TRANSFER_OK : flags_ & ~SHORT_TRANSFER_OK;
}

}  // namespace xrusb
