// What the library's objects hold behind their public faces, and the synchronous control call
// they all use.
#pragma once
#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <system_error>
#include <type_traits>
#include <vector>

#include "os.h"
#include "xrusb/pipe.hpp"

namespace xrusb::detail {

// Short sections only (linking a request into its pipe's list).
class SpinLock {
 public:
  void lock() noexcept {
    while (flag_.test_and_set(std::memory_order_acquire))
      while (flag_.test(std::memory_order_relaxed)) os::YieldThread();
  }
  void unlock() noexcept { flag_.clear(std::memory_order_release); }

 private:
  std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

class Locked {
 public:
  explicit Locked(SpinLock &lock) noexcept : lock_(lock) { lock_.lock(); }
  ~Locked() { lock_.unlock(); }
  Locked(const Locked &) = delete;
  Locked &operator=(const Locked &) = delete;

 private:
  SpinLock &lock_;
};

enum class Phase : int { Idle, InFlight, Completed };

struct RequestState {
  os::Overlapped overlapped{};
  os::Handle event = nullptr;   // Windows: the request's own manual-reset event
  // The handle of the last submission. Cancel reads it from any thread while the owner may be
  // resubmitting.
  std::atomic<os::Handle> handle{nullptr};
  PipeState *pipe = nullptr;    // set while linked into the pipe's in-flight list
  RequestState *prev = nullptr;
  RequestState *next = nullptr;
  std::atomic<Phase> phase{Phase::Idle};
  int32_t status = 0;
  uint32_t bytes = 0;
  uint8_t *buffer = nullptr;  // of the last submission
  size_t length = 0;
  std::vector<uint8_t> own;

  RequestState() : event(os::NewEvent()) {}
  ~RequestState() { os::CloseEvent(event); }
};

struct PipeState {
  os::Handle handle = nullptr;
  uint8_t endpoint = 0;
  ActivePipe info;
  SpinLock lock;
  RequestState *head = nullptr;  // requests in flight
};

// Collects a completion: waits up to 'milliseconds' (0: just looks). True when the request is
// no longer in flight.
bool Collect(RequestState &r, uint32_t milliseconds);

// Cancels and waits: nothing of the system refers to the request afterwards.
void Drain(RequestState &r) noexcept;

uint32_t ToMilliseconds(Milliseconds timeout) noexcept;

// A wait failed while the system still holds 'o' and the buffers with it. Returning would let it
// write into memory we free, and ending the process is the application's call, not ours: cancel
// the request and watch its status block until the system lets go (closing a handle ends its
// requests, so this ends). The caller then reports the request's own outcome.
void AwaitRelease(os::Handle h, os::Overlapped *o) noexcept;

// One control code on 'h', waited for. The status (0 on success) and the bytes returned.
int32_t Control(os::Handle h, uint32_t code, const void *in, size_t inLength, void *out, size_t outLength,
                uint32_t *bytes);

// The error_code form of a call, from the throwing form's point of view.
inline void ThrowIf(const std::error_code &ec, const char *what) {
  if (ec) throw std::system_error(ec, what);
}

// The throwing form of a call made in its error_code form.
template <typename Call>
auto OrThrow(const char *what, Call &&call) {
  std::error_code ec;
  if constexpr (std::is_void_v<decltype(call(ec))>) {
    call(ec);
    ThrowIf(ec, what);
  } else {
    auto value = call(ec);
    ThrowIf(ec, what);
    return value;
  }
}

inline bool SetError(std::error_code &ec, int32_t status) {
  if (status < 0) {
    ec = MakeStatusCode(status);
    return false;
  }
  ec.clear();
  return true;
}

}  // namespace xrusb::detail
