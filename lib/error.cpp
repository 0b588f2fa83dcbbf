// The status category: names and meanings of every status an application can get, and the
// conditions that gather them.
#include "xrusb/error.hpp"

#include <cstdio>
#include <initializer_list>
#include <span>
#include <string>

#include "os.h"
#include "xrusb/status.h"

namespace xrusb {
namespace {

struct Named {
  uint32_t value;
  const char *name;
  const char *text;
};

// USB statuses from the bus driver, as the platform defines them; they reach an application as
// value | 0xE0000000.
constexpr Named kUsbStatuses[] = {
    {0xC0000001, "USBD_STATUS_CRC", "CRC error on the bus"},
    {0xC0000002, "USBD_STATUS_BTSTUFF", "bit-stuffing error on the bus"},
    {0xC0000003, "USBD_STATUS_DATA_TOGGLE_MISMATCH", "data toggle mismatch"},
    {0xC0000004, "USBD_STATUS_STALL_PID", "the endpoint stalled"},
    {0xC0000005, "USBD_STATUS_DEV_NOT_RESPONDING", "the device did not respond"},
    {0xC0000006, "USBD_STATUS_PID_CHECK_FAILURE", "PID check failure"},
    {0xC0000007, "USBD_STATUS_UNEXPECTED_PID", "unexpected PID"},
    {0xC0000008, "USBD_STATUS_DATA_OVERRUN", "the device sent more data than asked for"},
    {0xC0000009, "USBD_STATUS_DATA_UNDERRUN", "the device sent less data than expected"},
    {0xC000000C, "USBD_STATUS_BUFFER_OVERRUN", "buffer overrun"},
    {0xC000000D, "USBD_STATUS_BUFFER_UNDERRUN", "buffer underrun"},
    {0xC000000F, "USBD_STATUS_NOT_ACCESSED", "the host controller did not access the transfer"},
    {0xC0000010, "USBD_STATUS_FIFO", "host controller FIFO error"},
    {0xC0000011, "USBD_STATUS_XACT_ERROR", "transaction error"},
    {0xC0000012, "USBD_STATUS_BABBLE_DETECTED", "the device babbled"},
    {0xC0000013, "USBD_STATUS_DATA_BUFFER_ERROR", "data buffer error"},
    {0xC0000014, "USBD_STATUS_NO_PING_RESPONSE", "no ping response"},
    {0xC0000030, "USBD_STATUS_ENDPOINT_HALTED", "the endpoint is halted"},
    {0x80000200, "USBD_STATUS_INVALID_URB_FUNCTION", "invalid URB function"},
    {0x80000300, "USBD_STATUS_INVALID_PARAMETER", "invalid parameter"},
    {0x80000400, "USBD_STATUS_ERROR_BUSY", "the bus driver is busy"},
    {0x80000500, "USBD_STATUS_REQUEST_FAILED", "the request failed"},
    {0x80000600, "USBD_STATUS_INVALID_PIPE_HANDLE", "invalid pipe handle"},
    {0x80000700, "USBD_STATUS_NO_BANDWIDTH", "not enough bus bandwidth"},
    {0x80000800, "USBD_STATUS_INTERNAL_HC_ERROR", "host controller internal error"},
    {0x80000900, "USBD_STATUS_ERROR_SHORT_TRANSFER", "the device sent less than asked for"},
    {0xC0000A00, "USBD_STATUS_BAD_START_FRAME", "bad isochronous start frame"},
    {0xC0000B00, "USBD_STATUS_ISOCH_REQUEST_FAILED", "every packet of the isochronous request failed"},
    {0xC0000C00, "USBD_STATUS_FRAME_CONTROL_OWNED", "frame length control is owned"},
    {0xC0000D00, "USBD_STATUS_FRAME_CONTROL_NOT_OWNED", "frame length control is not owned"},
    {0xC0000E00, "USBD_STATUS_NOT_SUPPORTED", "not supported by the bus driver"},
    {0xC0000F00, "USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR", "invalid configuration descriptor"},
    {0xC0002000, "USBD_STATUS_SET_CONFIG_FAILED", "selecting the configuration failed"},
    {0xC0003000, "USBD_STATUS_BUFFER_TOO_SMALL", "buffer too small"},
    {0xC0004000, "USBD_STATUS_INTERFACE_NOT_FOUND", "interface not found"},
    {0xC0005000, "USBD_STATUS_INAVLID_PIPE_FLAGS", "invalid pipe flags"},
    {0xC0006000, "USBD_STATUS_TIMEOUT", "the bus request timed out"},
    {0xC0007000, "USBD_STATUS_DEVICE_GONE", "the device is gone"},
    {0xC0008000, "USBD_STATUS_STATUS_NOT_MAPPED", "status not mapped"},
    {0xC0009000, "USBD_STATUS_HUB_INTERNAL_ERROR", "hub internal error"},
    {0xC0020000, "USBD_STATUS_ISO_NOT_ACCESSED_BY_HW", "the packet was not sent in its frame"},
    {0xC0030000, "USBD_STATUS_ISO_TD_ERROR", "isochronous transfer descriptor error"},
    {0xC0040000, "USBD_STATUS_ISO_NA_LATE_USBPORT", "the packet was submitted too late"},
    {0xC0050000, "USBD_STATUS_ISO_NOT_ACCESSED_LATE", "the packet was not sent: too late"},
    {0xC0100000, "USBD_STATUS_BAD_DESCRIPTOR", "bad descriptor"},
};

// System statuses an application meets besides those the driver sets itself.
constexpr Named kSystemStatuses[] = {
    {0x00000102, "STATUS_TIMEOUT", "the wait timed out"},
    {0x00000103, "STATUS_PENDING", "the request is in progress"},
    {0x80000005, "STATUS_BUFFER_OVERFLOW", "the data did not fit the buffer"},
    {0xC0000002, "STATUS_NOT_IMPLEMENTED", "the driver does not carry this request out yet"},
    {0xC0000005, "STATUS_ACCESS_VIOLATION", "a buffer is not accessible"},
    {0xC0000008, "STATUS_INVALID_HANDLE", "invalid handle"},
    {0xC000000E, "STATUS_NO_SUCH_DEVICE", "no such device"},
    {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST", "the device does not take this request"},
    {0xC0000022, "STATUS_ACCESS_DENIED", "access denied"},
    {0xC0000023, "STATUS_BUFFER_TOO_SMALL", "the buffer is too small"},
    {0xC0000033, "STATUS_OBJECT_NAME_INVALID", "invalid device path"},
    {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND", "no device has this path"},
    {0xC000003A, "STATUS_OBJECT_PATH_NOT_FOUND", "no device has this path"},
    {0xC0000043, "STATUS_SHARING_VIOLATION", "the device is open elsewhere"},
    {0xC000009C, "STATUS_DEVICE_DATA_ERROR", "the device sent invalid data"},
    {0xC000009D, "STATUS_DEVICE_NOT_CONNECTED", "the device is not connected"},
    {0xC00000A3, "STATUS_DEVICE_NOT_READY", "the device is not ready"},
    {0xC00000B5, "STATUS_IO_TIMEOUT", "the operation timed out"},
    {0xC00000BB, "STATUS_NOT_SUPPORTED", "not supported"},
    {0xC00000E8, "STATUS_INVALID_USER_BUFFER", "invalid buffer"},
    {0xC0000225, "STATUS_NOT_FOUND", "not found"},
    {0xC00002B6, "STATUS_DEVICE_REMOVED", "the device has been removed"},
};

const Named *Find(std::span<const Named> table, uint32_t value) {
  for (const Named &n : table)
    if (n.value == value) return &n;
  return nullptr;
}

bool IsWin32(uint32_t v) { return (v & 0xFFFF0000u) == 0xC0070000u; }

// A USB status of the bus driver as the driver forwards it.
const Named *UsbStatus(uint32_t v) {
  if ((v & 0xE0000000u) != 0xE0000000u || v == uint32_t(ERR_BAD_CONFIG_DESCRIPTOR)) return nullptr;
  for (const Named &n : kUsbStatuses)
    if ((n.value | 0xE0000000u) == v) return &n;
  return nullptr;
}

const char *Text(uint32_t v) {
  if (const char *t = xrusb_status_text(int32_t(v))) return t;
  if (const Named *n = UsbStatus(v)) return n->text;
  if (const Named *n = Find(kSystemStatuses, v)) return n->text;
  return nullptr;
}

bool In(uint32_t v, std::initializer_list<uint32_t> set) {
  for (uint32_t s : set)
    if (s == v) return true;
  return false;
}
constexpr uint32_t W(uint32_t win32Error) { return 0xC0070000u | win32Error; }
constexpr uint32_t U(int32_t s) { return uint32_t(s); }

bool Matches(errc e, uint32_t v) {
  switch (e) {
    case errc::cancelled:
      return In(v, {0xC0000120, U(ERR_USBD_CANCELED), U(ERR_POWER_DOWN), W(995)});
    case errc::not_connected:
      return In(v, {U(ERR_DEVICE_NOT_PRESENT), 0xE0007000, 0xC000009D, 0xC000000E, 0xC0000056, 0xC00002B6, 0xC0000034,
                    0xC000003A, W(2), W(3), W(433), W(1167), W(1617)});
    case errc::stall:
      return In(v, {0xE0000004, 0xE0000030});
    case errc::timeout:
      return In(v, {U(ERR_TIMEOUT), 0xC00000B5, 0x00000102, 0xE0006000, W(121), W(258), W(1460)});
    case errc::busy:
      return In(v, {U(ERR_DEVICE_ACQUIRED), U(ERR_OPENED_BY_OTHER_PROCESS), U(ERR_CONFIGURED_BY_OTHER_PROCESS),
                    U(ERR_ALREADY_BOUND), 0x80000011, 0xC0000043, 0xE0000400, W(32), W(170)});
    case errc::not_configured:
      return In(v, {U(ERR_NOT_CONFIGURED), U(ERR_NOT_BOUND), U(ERR_PIPE_NOT_FOUND), U(ERR_INTERFACE_NOT_FOUND)});
    case errc::short_transfer:
      return In(v, {0xE0000900});
    case errc::overflow:
      return In(v, {0xE0000008, 0xE000000C, 0xE0000012, 0x80000005});
    case errc::invalid_argument:
      return In(v, {U(ERR_INVALID_INBUFFER), U(ERR_INVALID_OUTBUFFER), U(ERR_INVALID_RECIPIENT), U(ERR_INVALID_TYPE),
                    U(ERR_INVALID_DIRECTION), U(ERR_TOO_MANY_ISO_PACKETS), U(ERR_INVALID_ISO_PACKET),
                    U(ERR_INVALID_PARAMETER), U(ERR_INVALID_POWER_STATE), U(ERR_USBD_INVALID_PARAMETER),
                    U(ERR_USBD_INVALID_PIPE_HANDLE), 0xC000000D, 0xC0000023, 0xC00000E8, 0xC0000005, W(87), W(122),
                    W(998), W(1784)});
    case errc::not_supported:
      return In(v, {U(ERR_INVALID_IOCTL), 0xC0000002, 0xC0000010, 0xC00000BB, 0xE0000200, 0xE0000E00, W(1), W(50)});
    case errc::no_memory:
      return In(v, {U(ERR_NO_MEMORY), U(ERR_NO_TRANSFER_CONTEXT), U(ERR_USBD_NO_MEMORY),
                    U(ERR_USBD_INSUFFICIENT_RESOURCES), 0xC0000017, 0xC000009A, W(8), W(14), W(1450)});
  }
  return false;
}

class StatusCategory : public std::error_category {
 public:
  const char *name() const noexcept override { return "xrusb"; }

  std::string message(int value) const override {
    const uint32_t v = uint32_t(value);
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", unsigned(v));
    if (v == 0) return "success";
    if (IsWin32(v)) {
      std::string text = os::Win32ErrorText(v & 0xFFFF);
      return "Win32 error " + std::to_string(v & 0xFFFF) + (text.empty() ? "" : ": " + text);
    }
    const char *name = StatusName(int32_t(v));
    const char *text = Text(v);
    if (name) return std::string(name) + ": " + (text ? text : "") + " (" + hex + ")";
    if ((v & 0xE0000000u) == 0xE0000000u) return std::string("USB status ") + hex + " from the bus driver";
    return std::string("status ") + hex;
  }

  std::error_condition default_error_condition(int value) const noexcept override {
    const uint32_t v = uint32_t(value);
    if (Matches(errc::cancelled, v)) return std::errc::operation_canceled;
    if (Matches(errc::not_connected, v)) return std::errc::no_such_device;
    if (Matches(errc::timeout, v)) return std::errc::timed_out;
    if (Matches(errc::busy, v)) return std::errc::device_or_resource_busy;
    if (Matches(errc::stall, v)) return std::errc::broken_pipe;
    if (Matches(errc::overflow, v)) return std::errc::value_too_large;
    if (Matches(errc::invalid_argument, v)) return std::errc::invalid_argument;
    if (Matches(errc::not_supported, v)) return std::errc::not_supported;
    if (Matches(errc::no_memory, v)) return std::errc::not_enough_memory;
    return {value, *this};
  }
};

class ConditionCategory : public std::error_category {
 public:
  const char *name() const noexcept override { return "xrusb condition"; }
  std::string message(int value) const override {
    switch (errc(value)) {
      case errc::cancelled:
        return "cancelled";
      case errc::not_connected:
        return "device not connected";
      case errc::stall:
        return "endpoint stalled";
      case errc::timeout:
        return "timed out";
      case errc::busy:
        return "device busy";
      case errc::not_configured:
        return "not configured or not bound";
      case errc::short_transfer:
        return "short transfer";
      case errc::overflow:
        return "overflow";
      case errc::invalid_argument:
        return "invalid argument";
      case errc::not_supported:
        return "not supported";
      case errc::no_memory:
        return "out of memory";
    }
    return "unknown condition";
  }
  bool equivalent(const std::error_code &code, int condition) const noexcept override {
    return code.category() == category() && Matches(errc(condition), uint32_t(code.value()));
  }
};

}  // namespace

const std::error_category &category() noexcept {
  static const StatusCategory c;
  return c;
}

const std::error_category &condition_category() noexcept {
  static const ConditionCategory c;
  return c;
}

const char *StatusName(int32_t status) noexcept {
  if (const char *n = xrusb_status_name(status)) return n;
  if (const Named *n = UsbStatus(uint32_t(status))) return n->name;
  if (const Named *n = Find(kSystemStatuses, uint32_t(status))) return n->name;
  return nullptr;
}

}  // namespace xrusb
