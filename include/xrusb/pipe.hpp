// Pipes (a handle bound to one endpoint) and the requests that move data on them.
//
//   xrusb::Pipe in = dev.OpenPipe(0x81);
//   size_t n = in.Read(buffer, 500ms);               // synchronous, with a time-out
//
//   std::vector<xrusb::Request> ring(8);              // several in flight
//   for (auto &r : ring) in.SubmitRead(r, next());     // buffers stay the caller's
//   for (size_t i = 0;; i = (i + 1) % ring.size()) {
//     ring[i].Wait();                                  // completions come in submission order
//     consume(ring[i].Data());                         // or ring[i].Status()
//     in.SubmitRead(ring[i], next());
//   }
//
// Requests on one pipe are carried out, and complete, in the order they were submitted (a
// cancelled one ends early). A Request owns the system's record of one transfer; resubmitting it
// costs no allocation. It cannot be forgotten in flight: destroying it (or its Pipe) cancels what
// is in flight and waits until the system has let go of the buffer. A buffer given to a Submit
// call must stay valid until the request is done. A request that the system refuses at once is
// done at once with that status: Submit itself throws only for misuse (a request still in
// flight, a pipe that is not open).
//
// Threads: a Request is used by one thread at a time (Cancel may come from any). Pipe calls may
// be made from several threads at once, except that closing or destroying a Pipe must not race
// with another thread's call on it (Read, Write, ...) or Submit or Wait on its requests: to end
// another thread's transfers, use CancelAll or Abort.
#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <system_error>

#include "device.hpp"
#include "error.hpp"

namespace xrusb {

namespace detail {
struct RequestState;
struct PipeState;
}  // namespace detail

class IsoRequest;

class Request {
 public:
  Request();
  // With a buffer of its own of 'bufferSize' bytes, for SubmitRead(r) / SubmitWrite(r, n).
  explicit Request(size_t bufferSize);
  ~Request();  // cancels and waits when in flight
  Request(Request &&other) noexcept;
  Request &operator=(Request &&other) noexcept;  // the target is cancelled and waited for first
  Request(const Request &) = delete;
  Request &operator=(const Request &) = delete;

  // The request's own buffer (empty when it has none).
  std::span<uint8_t> Buffer() const noexcept;

  // Submitted, and its completion not yet seen.
  bool InFlight() const noexcept;
  // Without waiting: true when not in flight (a completion is collected).
  bool Done();
  // True when done within the time; false leaves it in flight.
  bool Wait(Milliseconds timeout = kInfinite);
  // Asks for the end of the request; it is still in flight until Done or Wait says so.
  void Cancel() noexcept;

  // Once done, the outcome of the last submission (success and no bytes while in flight).
  std::error_code Status() const noexcept;
  bool Ok() const noexcept { return !Status(); }
  size_t Bytes() const noexcept;             // moved, also when it failed
  std::span<uint8_t> Data() const noexcept;  // the first Bytes() bytes of the buffer it used
  // Bytes(), or throws TransferError.
  size_t Result() const;

 private:
  friend class Pipe;
  friend class IsoRequest;
  std::unique_ptr<detail::RequestState> s_;
};

// The standard USB setup packet of a control transfer on a control pipe other than endpoint 0.
// wLength is taken from the buffer given with it.
struct SetupPacket {
  uint8_t requestType = 0;  // bmRequestType
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
};

struct PipeStats {
  uint32_t averagingIntervalMs = 0;  // the window of averageRate; 0 when not measured
  uint32_t averageRate = 0;          // bytes per second
  uint64_t bytesTransferred = 0;
  uint32_t requestsSucceeded = 0;
  uint32_t requestsFailed = 0;
};

class Pipe {
 public:
  Pipe() noexcept;
  ~Pipe();  // cancels and waits for its requests in flight, then closes (which unbinds)
  Pipe(Pipe &&other) noexcept;
  Pipe &operator=(Pipe &&other) noexcept;
  Pipe(const Pipe &) = delete;
  Pipe &operator=(const Pipe &) = delete;

  // A new handle on the device at 'devicePath', bound to 'endpoint' (bit 7 set for IN).
  static Pipe Open(std::u16string_view devicePath, uint8_t endpoint);
  static Pipe Open(std::u16string_view devicePath, uint8_t endpoint, std::error_code &ec);

  bool IsOpen() const noexcept;
  explicit operator bool() const noexcept { return IsOpen(); }
  void Close() noexcept;
  NativeHandle Handle() const noexcept;

  uint8_t Endpoint() const noexcept;
  bool IsIn() const noexcept { return Endpoint() & 0x80; }
  // As the driver described the pipe when it was bound.
  const ActivePipe &Info() const noexcept;

  // Synchronous transfers; the bytes moved. At the time-out the transfer is cancelled and the
  // call fails with errc::timeout (TransferError::Bytes says what had moved).
  size_t Read(std::span<uint8_t> buffer, Milliseconds timeout = kInfinite);
  size_t Read(std::span<uint8_t> buffer, Milliseconds timeout, std::error_code &ec);
  size_t Write(std::span<const uint8_t> data, Milliseconds timeout = kInfinite);
  size_t Write(std::span<const uint8_t> data, Milliseconds timeout, std::error_code &ec);

  // Asynchronous transfers.
  void SubmitRead(Request &request, std::span<uint8_t> buffer);
  void SubmitRead(Request &request);  // into its own buffer, whole
  void SubmitWrite(Request &request, std::span<const uint8_t> data);
  void SubmitWrite(Request &request, size_t length);  // the first 'length' bytes of its own buffer
  void Submit(IsoRequest &request);                   // read on an IN pipe, write on an OUT pipe
  // Cancels every request of this pipe in flight; each still has to be waited for.
  void CancelAll() noexcept;

  // Ends every transfer of this handle (at the bus and still queued); they complete cancelled.
  void Abort();
  void Abort(std::error_code &ec);
  // Clears a halt (stall) of the endpoint, on the host and on the device. Transfers of this
  // handle still at the bus (a halt holds those behind the stall) end first, cancelled.
  void Reset();
  void Reset(std::error_code &ec);
  // Whether a read that ends with a short packet succeeds (with fewer bytes).
  bool ShortTransferOk();
  bool ShortTransferOk(std::error_code &ec);
  void SetShortTransferOk(bool allow);
  void SetShortTransferOk(bool allow, std::error_code &ec);

  // Rate statistics (0 stops them) and the pipe's counters.
  void SetupStatistics(uint32_t averagingIntervalMs);
  void SetupStatistics(uint32_t averagingIntervalMs, std::error_code &ec);
  PipeStats QueryStatistics(bool resetCounters = false);
  PipeStats QueryStatistics(bool resetCounters, std::error_code &ec);

  // Control transfers on a bound control pipe; the bytes moved.
  size_t ControlIn(const SetupPacket &setup, std::span<uint8_t> data, bool allowShort = true);
  size_t ControlIn(const SetupPacket &setup, std::span<uint8_t> data, bool allowShort, std::error_code &ec);
  size_t ControlOut(const SetupPacket &setup, std::span<const uint8_t> data);
  size_t ControlOut(const SetupPacket &setup, std::span<const uint8_t> data, std::error_code &ec);

 private:
  void Issue(Request &request, uint8_t *buffer, size_t length, bool read);

  std::unique_ptr<detail::PipeState> s_;
};

}  // namespace xrusb
