// Pipes and requests. A request in flight is linked into its pipe, so that the pipe can end and
// collect it before its handle goes; everything else about it lives in its OVERLAPPED.
#include "xrusb/pipe.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "xrusb/ioctl.h"
#include "xrusb/iso.hpp"

namespace xrusb {

using detail::Control;
using detail::OrThrow;
using detail::Phase;
using detail::PipeState;
using detail::RequestState;
using detail::SetError;

namespace {

constexpr int32_t kInvalidHandle = int32_t(0xC0000008u);

int32_t StatusFrom(const os::Overlapped &o) {
  const int32_t s = int32_t(uint32_t(o.Internal));
  return s < 0 ? s : 0;
}

void Unlink(PipeState &p, RequestState &r) {
  if (r.prev)
    r.prev->next = r.next;
  else
    p.head = r.next;
  if (r.next) r.next->prev = r.prev;
  r.prev = r.next = nullptr;
  r.pipe = nullptr;
}

void Finish(RequestState &r) {
  auto record = [&r] {
    r.status = StatusFrom(r.overlapped);
    r.bytes = uint32_t(r.overlapped.InternalHigh);
    r.phase.store(Phase::Completed, std::memory_order_release);
  };
  if (PipeState *p = r.pipe) {
    detail::Locked guard(p->lock);
    if (r.pipe == p) Unlink(*p, r);
    if (r.phase.load(std::memory_order_relaxed) == Phase::InFlight) record();
  } else if (r.phase.load(std::memory_order_relaxed) == Phase::InFlight) {
    record();
  }
}

}  // namespace

namespace detail {

bool Collect(RequestState &r, uint32_t milliseconds) {
  if (r.phase.load(std::memory_order_acquire) != Phase::InFlight) return true;
  const os::Handle h = r.handle.load(std::memory_order_relaxed);
  const auto start = std::chrono::steady_clock::now();
  // Only the status block says that the system is done with the request: a wait can also end on
  // a signal left over from the request's previous submission, completed by another thread.
  while (!os::Completed(&r.overlapped)) {
    uint32_t left = milliseconds;
    if (milliseconds != os::kInfinite) {
      const auto spent = std::chrono::duration_cast<Milliseconds>(std::chrono::steady_clock::now() - start).count();
      if (spent >= milliseconds) return false;
      left = milliseconds - uint32_t(spent);
    }
    if (os::Result(h, &r.overlapped, left)) {
      if (!os::Completed(&r.overlapped)) os::ResetEvent(r.event);
      continue;
    }
    if (os::Completed(&r.overlapped)) break;
    const uint32_t error = os::LastError();
    if (error == os::kWaitTimeout || error == os::kErrorIoIncomplete) continue;
    detail::AwaitRelease(h, &r.overlapped);
  }
  Finish(r);
  return true;
}

void Drain(RequestState &r) noexcept {
  if (r.phase.load(std::memory_order_acquire) != Phase::InFlight) return;
  os::Cancel(r.handle.load(std::memory_order_relaxed), &r.overlapped);
  Collect(r, os::kInfinite);
}

}  // namespace detail

// --- Request -------------------------------------------------------------------------------

Request::Request() : s_(std::make_unique<RequestState>()) {}
Request::Request(size_t bufferSize) : Request() { s_->own.resize(bufferSize); }
Request::~Request() {
  if (s_) detail::Drain(*s_);
}
Request::Request(Request &&other) noexcept = default;
Request &Request::operator=(Request &&other) noexcept {
  if (this != &other) {
    if (s_) detail::Drain(*s_);
    s_ = std::move(other.s_);
  }
  return *this;
}

std::span<uint8_t> Request::Buffer() const noexcept { return s_ ? std::span<uint8_t>(s_->own) : std::span<uint8_t>(); }

bool Request::InFlight() const noexcept { return s_ && s_->phase.load(std::memory_order_acquire) == Phase::InFlight; }

bool Request::Done() { return !s_ || detail::Collect(*s_, 0); }

bool Request::Wait(Milliseconds timeout) {
  if (!s_) return true;
  return detail::Collect(*s_, detail::ToMilliseconds(timeout));
}

void Request::Cancel() noexcept {
  if (InFlight()) os::Cancel(s_->handle.load(std::memory_order_relaxed), &s_->overlapped);
}

std::error_code Request::Status() const noexcept {
  if (!s_ || s_->phase.load(std::memory_order_acquire) != Phase::Completed || s_->status >= 0) return {};
  return MakeStatusCode(s_->status);
}

size_t Request::Bytes() const noexcept {
  return s_ && s_->phase.load(std::memory_order_acquire) == Phase::Completed ? s_->bytes : 0;
}

std::span<uint8_t> Request::Data() const noexcept {
  if (!s_ || !s_->buffer) return {};
  return std::span<uint8_t>(s_->buffer, std::min<size_t>(Bytes(), s_->length));
}

size_t Request::Result() const {
  if (std::error_code ec = Status()) throw TransferError(ec, Bytes(), "xrusb::Request");
  return Bytes();
}

// --- Pipe ----------------------------------------------------------------------------------

Pipe::Pipe() noexcept = default;
Pipe::~Pipe() { Close(); }
Pipe::Pipe(Pipe &&other) noexcept = default;
Pipe &Pipe::operator=(Pipe &&other) noexcept {
  if (this != &other) {
    Close();
    s_ = std::move(other.s_);
  }
  return *this;
}

Pipe Pipe::Open(std::u16string_view devicePath, uint8_t endpoint, std::error_code &ec) {
  const std::u16string path(devicePath);
  os::Handle h = os::OpenFile(path.c_str());
  if (h == os::InvalidHandle()) {
    ec = MakeStatusCode(os::LastStatus());
    return Pipe();
  }
  const BindPipeRequest bind{endpoint};
  uint32_t bytes;
  if (!SetError(ec, Control(h, IOCTL_BIND_PIPE, &bind, sizeof bind, nullptr, 0, &bytes))) {
    os::CloseFile(h);
    return Pipe();
  }
  Pipe pipe;
  pipe.s_ = std::make_unique<PipeState>();
  pipe.s_->handle = h;
  pipe.s_->endpoint = endpoint;
  pipe.s_->info.endpoint = endpoint;
  // What the pipe is; a failure here leaves only the endpoint known.
  ConfigurationInfo info{};
  if (Control(h, IOCTL_GET_CONFIGURATION_INFO, nullptr, 0, &info, sizeof info, &bytes) == 0) {
    for (uint32_t i = 0; i < std::min<uint32_t>(info.NumberOfPipes, XRUSB_MAX_PIPES); ++i) {
      const PipeSummary &s = info.Pipes[i];
      if (s.EndpointAddress != endpoint) continue;
      pipe.s_->info = {s.EndpointAddress,   TransferType(s.PipeType & 3),
                       s.MaximumPacketSize, s.MaximumTransferSize,
                       s.Interval,          s.InterfaceNumber};
      break;
    }
  }
  return pipe;
}

Pipe Pipe::Open(std::u16string_view devicePath, uint8_t endpoint) {
  std::error_code ec;
  Pipe p = Open(devicePath, endpoint, ec);
  if (ec) {
    char what[64];
    std::snprintf(what, sizeof what, "xrusb::Pipe::Open endpoint 0x%02X", endpoint);
    throw std::system_error(ec, what);
  }
  return p;
}

bool Pipe::IsOpen() const noexcept { return s_ && s_->handle; }
NativeHandle Pipe::Handle() const noexcept { return s_ ? s_->handle : nullptr; }
uint8_t Pipe::Endpoint() const noexcept { return s_ ? s_->endpoint : 0; }

const ActivePipe &Pipe::Info() const noexcept {
  static const ActivePipe none;
  return s_ ? s_->info : none;
}

void Pipe::Close() noexcept {
  if (!s_) return;
  PipeState &p = *s_;
  if (p.handle) {
    bool any;
    {
      detail::Locked guard(p.lock);
      any = p.head != nullptr;
    }
    if (any) {
      os::Cancel(p.handle, nullptr);
      for (;;) {
        RequestState *r;
        {
          detail::Locked guard(p.lock);
          r = p.head;
        }
        if (!r) break;
        detail::Collect(*r, os::kInfinite);
      }
    }
    os::CloseFile(p.handle);
    p.handle = nullptr;
  }
  s_.reset();
}

void Pipe::Issue(Request &request, uint8_t *buffer, size_t length, bool read) {
  if (!IsOpen()) throw std::logic_error("xrusb::Pipe: submit on a pipe that is not open");
  if (!request.s_) request.s_ = std::make_unique<RequestState>();
  RequestState &r = *request.s_;
  if (r.phase.load(std::memory_order_acquire) == Phase::InFlight)
    throw std::logic_error("xrusb::Request: submitted while still in flight");
  r.buffer = buffer;
  r.length = length;
  r.bytes = 0;
  if (length > UINT32_MAX) {
    r.status = status::kInvalidParameter;
    r.phase.store(Phase::Completed, std::memory_order_release);
    return;
  }
  r.overlapped = {};
  r.overlapped.hEvent = r.event;
  r.handle.store(s_->handle, std::memory_order_relaxed);
  const bool done = read ? os::Read(s_->handle, buffer, uint32_t(length), &r.overlapped)
                         : os::Write(s_->handle, buffer, uint32_t(length), &r.overlapped);
  if (done) {
    r.status = StatusFrom(r.overlapped);
    r.bytes = uint32_t(r.overlapped.InternalHigh);
    r.phase.store(Phase::Completed, std::memory_order_release);
    return;
  }
  if (os::LastError() != os::kErrorIoPending) {
    r.status = os::LastStatus();
    r.phase.store(Phase::Completed, std::memory_order_release);
    return;
  }
  PipeState &p = *s_;
  detail::Locked guard(p.lock);
  r.phase.store(Phase::InFlight, std::memory_order_release);
  r.pipe = &p;
  r.prev = nullptr;
  r.next = p.head;
  if (p.head) p.head->prev = &r;
  p.head = &r;
}

void Pipe::SubmitRead(Request &request, std::span<uint8_t> buffer) {
  Issue(request, buffer.data(), buffer.size(), true);
}
void Pipe::SubmitRead(Request &request) {
  std::span<uint8_t> own = request.Buffer();
  Issue(request, own.data(), own.size(), true);
}
void Pipe::SubmitWrite(Request &request, std::span<const uint8_t> data) {
  Issue(request, const_cast<uint8_t *>(data.data()), data.size(), false);
}
void Pipe::SubmitWrite(Request &request, size_t length) {
  std::span<uint8_t> own = request.Buffer();
  if (length > own.size()) throw std::logic_error("xrusb::Pipe::SubmitWrite: longer than the request's buffer");
  Issue(request, own.data(), length, false);
}
void Pipe::Submit(IsoRequest &request) {
  if (request.buffer_.empty()) throw std::logic_error("xrusb::IsoRequest: submitted after it was moved from");
  if (request.request_.InFlight()) throw std::logic_error("xrusb::IsoRequest: submitted while still in flight");
  request.Prepare();
  Issue(request.request_, request.buffer_.data(), request.buffer_.size(), IsIn());
}

void Pipe::CancelAll() noexcept {
  if (IsOpen()) os::Cancel(s_->handle, nullptr);
}

namespace {

// A synchronous transfer: its status (a time-out turned into kIoTimeout) and bytes.
int32_t Transfer(os::Handle h, uint8_t *buffer, size_t length, bool read, Milliseconds timeout, uint32_t *bytes) {
  *bytes = 0;
  if (!h) return kInvalidHandle;
  if (length > UINT32_MAX) return status::kInvalidParameter;
  os::Overlapped o{};
  o.hEvent = os::SyncEvent();
  const bool done = read ? os::Read(h, buffer, uint32_t(length), &o) : os::Write(h, buffer, uint32_t(length), &o);
  bool timedOut = false;
  if (!done) {
    if (os::LastError() != os::kErrorIoPending) return os::LastStatus();
    if (!os::Result(h, &o, detail::ToMilliseconds(timeout)) && !os::Completed(&o)) {
      timedOut = true;
      os::Cancel(h, &o);
      if (!os::Result(h, &o, os::kInfinite) && !os::Completed(&o)) detail::AwaitRelease(h, &o);
    }
  }
  *bytes = uint32_t(o.InternalHigh);
  const int32_t status = StatusFrom(o);
  // Our cancel ended it: a time-out. A failure of its own (a stall, the device gone) stays that.
  return timedOut && MakeStatusCode(status) == errc::cancelled ? status::kIoTimeout : status;
}

}  // namespace

size_t Pipe::Read(std::span<uint8_t> buffer, Milliseconds timeout, std::error_code &ec) {
  uint32_t bytes;
  SetError(ec, Transfer(Handle(), buffer.data(), buffer.size(), true, timeout, &bytes));
  return bytes;
}

size_t Pipe::Read(std::span<uint8_t> buffer, Milliseconds timeout) {
  std::error_code ec;
  const size_t n = Read(buffer, timeout, ec);
  if (ec) throw TransferError(ec, n, "xrusb::Pipe::Read");
  return n;
}

size_t Pipe::Write(std::span<const uint8_t> data, Milliseconds timeout, std::error_code &ec) {
  uint32_t bytes;
  SetError(ec, Transfer(Handle(), const_cast<uint8_t *>(data.data()), data.size(), false, timeout, &bytes));
  return bytes;
}

size_t Pipe::Write(std::span<const uint8_t> data, Milliseconds timeout) {
  std::error_code ec;
  const size_t n = Write(data, timeout, ec);
  if (ec) throw TransferError(ec, n, "xrusb::Pipe::Write");
  return n;
}

void Pipe::Abort(std::error_code &ec) {
  uint32_t bytes;
  SetError(ec, Control(Handle(), IOCTL_ABORT_PIPE, nullptr, 0, nullptr, 0, &bytes));
}
void Pipe::Abort() {
  OrThrow("xrusb::Pipe::Abort", [&](std::error_code &ec) { Abort(ec); });
}

void Pipe::Reset(std::error_code &ec) {
  uint32_t bytes;
  SetError(ec, Control(Handle(), IOCTL_RESET_PIPE, nullptr, 0, nullptr, 0, &bytes));
}
void Pipe::Reset() {
  OrThrow("xrusb::Pipe::Reset", [&](std::error_code &ec) { Reset(ec); });
}

bool Pipe::ShortTransferOk(std::error_code &ec) {
  PipeParameters p{};
  uint32_t bytes;
  if (!SetError(ec, Control(Handle(), IOCTL_GET_PIPE_PARAMETERS, nullptr, 0, &p, sizeof p, &bytes))) return false;
  return p.Flags & SHORT_TRANSFER_OK;
}
bool Pipe::ShortTransferOk() {
  return OrThrow("xrusb::Pipe::ShortTransferOk", [&](std::error_code &ec) { return ShortTransferOk(ec); });
}

void Pipe::SetShortTransferOk(bool allow, std::error_code &ec) {
  const PipeParameters p{allow ? SHORT_TRANSFER_OK : 0u};
  uint32_t bytes;
  SetError(ec, Control(Handle(), IOCTL_SET_PIPE_PARAMETERS, &p, sizeof p, nullptr, 0, &bytes));
}
void Pipe::SetShortTransferOk(bool allow) {
  OrThrow("xrusb::Pipe::SetShortTransferOk", [&](std::error_code &ec) { SetShortTransferOk(allow, ec); });
}

void Pipe::SetupStatistics(uint32_t averagingIntervalMs, std::error_code &ec) {
  const StatisticsSetup r{averagingIntervalMs, {}};
  uint32_t bytes;
  SetError(ec, Control(Handle(), IOCTL_SETUP_PIPE_STATISTICS, &r, sizeof r, nullptr, 0, &bytes));
}
void Pipe::SetupStatistics(uint32_t averagingIntervalMs) {
  OrThrow("xrusb::Pipe::SetupStatistics", [&](std::error_code &ec) { SetupStatistics(averagingIntervalMs, ec); });
}

PipeStats Pipe::QueryStatistics(bool resetCounters, std::error_code &ec) {
  const StatisticsQuery q{resetCounters ? STATISTICS_RESET_BYTES | STATISTICS_RESET_SUCCEEDED | STATISTICS_RESET_FAILED
                                       : 0u};
  PipeStatistics r{};
  uint32_t bytes;
  if (!SetError(ec, Control(Handle(), IOCTL_QUERY_PIPE_STATISTICS, &q, sizeof q, &r, sizeof r, &bytes))) return {};
  return {r.ActualAveragingInterval, r.AverageRate, r.BytesTransferred, r.RequestsSucceeded, r.RequestsFailed};
}
PipeStats Pipe::QueryStatistics(bool resetCounters) {
  return OrThrow("xrusb::Pipe::QueryStatistics",
                 [&](std::error_code &ec) { return QueryStatistics(resetCounters, ec); });
}

namespace {

PipeControlTransferRequest ControlRecord(const SetupPacket &s, size_t length, bool allowShort) {
  const uint16_t wLength = uint16_t(std::min<size_t>(length, 0xFFFF));
  return {allowShort ? SHORT_TRANSFER_OK : 0u,
          {s.requestType, s.request, uint8_t(s.value), uint8_t(s.value >> 8), uint8_t(s.index), uint8_t(s.index >> 8),
           uint8_t(wLength), uint8_t(wLength >> 8)}};
}

}  // namespace

size_t Pipe::ControlIn(const SetupPacket &setup, std::span<uint8_t> data, bool allowShort, std::error_code &ec) {
  if (data.size() > 0xFFFF) {
    ec = MakeStatusCode(status::kInvalidParameter);
    return 0;
  }
  const PipeControlTransferRequest r = ControlRecord(setup, data.size(), allowShort);
  uint32_t bytes;
  if (!SetError(ec, Control(Handle(), IOCTL_PIPE_CONTROL_TRANSFER_IN, &r, sizeof r, data.data(), data.size(), &bytes)))
    return 0;
  return std::min<size_t>(bytes, data.size());
}
size_t Pipe::ControlIn(const SetupPacket &setup, std::span<uint8_t> data, bool allowShort) {
  return OrThrow("xrusb::Pipe::ControlIn", [&](std::error_code &ec) { return ControlIn(setup, data, allowShort, ec); });
}

size_t Pipe::ControlOut(const SetupPacket &setup, std::span<const uint8_t> data, std::error_code &ec) {
  if (data.size() > 0xFFFF) {
    ec = MakeStatusCode(status::kInvalidParameter);
    return 0;
  }
  const PipeControlTransferRequest r = ControlRecord(setup, data.size(), false);
  uint32_t bytes;
  if (!SetError(ec, Control(Handle(), IOCTL_PIPE_CONTROL_TRANSFER_OUT, &r, sizeof r, const_cast<uint8_t *>(data.data()),
                            data.size(), &bytes)))
    return 0;
  return bytes;
}
size_t Pipe::ControlOut(const SetupPacket &setup, std::span<const uint8_t> data) {
  return OrThrow("xrusb::Pipe::ControlOut", [&](std::error_code &ec) { return ControlOut(setup, data, ec); });
}

}  // namespace xrusb
