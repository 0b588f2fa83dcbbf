// Isochronous requests. One IsoRequest is one read or write of N packets: a single buffer that
// holds the header, N packet descriptors and the packets' data, laid out as the driver wants
// it. After completion each packet has its own status and length.
//
//   xrusb::IsoRequest r(8, 256);          // 8 packets of 256 bytes
//   iso.Submit(r);  r.Wait();
//   for (size_t k = 0; k < r.PacketCount(); ++k) {
//     xrusb::IsoPacket p = r.Packet(k);   // p.status, p.data (p.length bytes)
//   }
//
// For a write, fill PacketBuffer(k) before Submit. Submitting again lays the header and the
// descriptors out afresh (the driver wrote its results over them); no allocation.
//
// Packets lie back to back, as Windows wants them: the USB stack takes each packet's size from
// where the next one begins. At full speed a request holds at most 255 packets; at high speed
// at most 1024, and a whole number of frames' worth (8 for an endpoint whose bInterval is 1, 4
// for 2, 2 for 3, 1 for 4 and above); the bus refuses other counts. Requests started as soon as
// possible follow one another; a stream not kept fed gets late packets, which fail.
#pragma once
#include <cstdint>
#include <span>
#include <system_error>
#include <vector>

#include "pipe.hpp"

namespace xrusb {

struct IsoPacket {
  std::error_code status;   // the packet's own outcome
  uint32_t length = 0;      // bytes transferred
  std::span<uint8_t> data;  // the packet's bytes (length of them)
};

class IsoRequest {
 public:
  explicit IsoRequest(std::span<const uint32_t> packetLengths);
  IsoRequest(size_t packets, uint32_t packetLength);
  ~IsoRequest() = default;  // the request (declared last) goes first: the buffer outlives it
  IsoRequest(IsoRequest &&other) noexcept = default;
  IsoRequest &operator=(IsoRequest &&other) noexcept;

  size_t PacketCount() const noexcept { return lengths_.size(); }
  uint32_t PacketLength(size_t k) const noexcept { return lengths_[k]; }
  // The area of packet k, its full requested length: what a write sends.
  std::span<uint8_t> PacketBuffer(size_t k) noexcept;
  // After completion.
  IsoPacket Packet(size_t k) const noexcept;
  uint32_t StartFrame() const noexcept;  // the frame the transfer started in
  uint32_t ErrorCount() const noexcept;  // packets that failed, as the bus counted them

  // Start at this bus frame instead of as soon as possible.
  void SetStartFrame(uint32_t frame) noexcept;
  void SetStartAsap() noexcept;
  // Passed to the bus as USBD_SHORT_TRANSFER_OK, which Windows ignores for isochronous
  // transfers: a short packet is never an error.
  void SetShortTransferOk(bool allow) noexcept;

  bool InFlight() const noexcept { return request_.InFlight(); }
  bool Done() { return request_.Done(); }
  bool Wait(Milliseconds timeout = kInfinite) { return request_.Wait(timeout); }
  void Cancel() noexcept { request_.Cancel(); }
  std::error_code Status() const noexcept { return request_.Status(); }
  size_t Bytes() const noexcept { return request_.Bytes(); }

  // The whole buffer, as the driver sees it.
  std::span<const uint8_t> Raw() const noexcept { return buffer_; }

 private:
  friend class Pipe;
  void Prepare() noexcept;
  size_t Offset(size_t k) const noexcept { return offsets_[k]; }

  std::vector<uint8_t> buffer_;
  std::vector<uint32_t> lengths_;
  std::vector<uint32_t> offsets_;
  uint32_t flags_;
  uint32_t startFrame_ = 0;
  Request request_;
};

}  // namespace xrusb
