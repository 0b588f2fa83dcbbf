// Errors of the xrusb library.
//
// Every failure is a std::error_code in xrusb::category(), whose value is the 32-bit status the
// request completed with, as the driver and the system wrote it:
//   - the driver's own codes (ERR_..., 0xE0001000 and up, see status.h),
//   - USB statuses from the bus driver (U | 0xE0000000, e.g. a stall is 0xE0000004),
//   - system statuses (STATUS_CANCELLED 0xC0000120, STATUS_DEVICE_NOT_CONNECTED 0xC000009D, ...),
//   - a Win32 error E that came without a status, as 0xC0070000 | E.
// message() names the status and says what it means. Compare with xrusb::errc for the common
// cases, which gather the several statuses that mean the same thing to an application:
//     if (ec == xrusb::errc::cancelled) ...
// and with std::errc where one fits (timed_out, operation_canceled, no_such_device, ...).
//
// Convention of the whole library: every operation that can fail comes twice. The plain form
// throws std::system_error (xrusb::TransferError for reads and writes, which carries the bytes
// moved before the failure); the form with a trailing std::error_code& never throws for I/O
// failures, sets the code (cleared on success) and returns a zero value on failure. Misuse of the
// library itself (submitting a request that is already in flight) throws std::logic_error in
// both forms.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <system_error>

#include "status.h"

namespace xrusb {

// The category of statuses; values are the statuses as signed 32-bit numbers.
const std::error_category &category() noexcept;

inline std::error_code MakeStatusCode(int32_t status) noexcept { return {int(status), category()}; }
inline std::error_code MakeStatusCode(uint32_t status) noexcept { return MakeStatusCode(int32_t(status)); }

// The status behind a code of this library (0 for success, or a code of another category).
inline int32_t StatusOf(const std::error_code &ec) noexcept {
  return ec.category() == category() ? int32_t(ec.value()) : 0;
}

// The name of a status ("ERR_NOT_BOUND", "USBD_STATUS_STALL_PID", "STATUS_CANCELLED"), or null.
const char *StatusName(int32_t status) noexcept;

// Statuses this library produces itself.
namespace status {
inline constexpr int32_t kIoTimeout = int32_t(0xC00000B5u);        // a wait of this library ran out
inline constexpr int32_t kDeviceDataError = int32_t(0xC000009Cu);  // the device sent an invalid descriptor
inline constexpr int32_t kInvalidParameter = int32_t(0xC000000Du);
inline constexpr int32_t kBufferTooSmall = int32_t(0xC0000023u);
inline constexpr int32_t kCancelled = int32_t(0xC0000120u);
inline constexpr int32_t kNotImplemented = int32_t(0xC0000002u);
inline constexpr int32_t kFromWin32 = int32_t(0xC0070000u);  // | Win32 error
}  // namespace status

// Conditions an application usually tells apart.
enum class errc {
  cancelled = 1,     // cancelled by the caller, aborted on the pipe, or ended by a power-down
  not_connected,     // the device is gone or not started
  stall,             // the endpoint stalled or is halted: reset the pipe
  timeout,           // a request to the device or a wait ran out of time
  busy,              // another process has the device, or it is busy
  not_configured,    // no configuration, no such pipe or interface, or the handle is not bound
  short_transfer,    // the device sent less than asked on a pipe that does not allow it
  overflow,          // the device sent more than the buffer holds (babble, overrun)
  invalid_argument,  // a request the driver or the system refused as malformed
  not_supported,     // the driver does not (yet) carry this request out
  no_memory,         // the driver, the bus or the system ran out of memory
};

const std::error_category &condition_category() noexcept;
inline std::error_condition make_error_condition(errc e) noexcept { return {int(e), condition_category()}; }

// A read or write that failed after moving 'bytes' bytes.
class TransferError : public std::system_error {
 public:
  TransferError(std::error_code ec, size_t bytes, const char *what) : std::system_error(ec, what), bytes_(bytes) {}
  size_t Bytes() const noexcept { return bytes_; }

 private:
  size_t bytes_;
};

}  // namespace xrusb

template <>
struct std::is_error_condition_enum<xrusb::errc> : std::true_type {};
