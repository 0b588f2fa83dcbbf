/* Status values that xrusb completes requests with, for the driver and for applications.
 *
 * A status is 32 bits, 0 for success; every failure has bit 31 set, so test the sign.
 * Three families reach a caller:
 *   - the driver's own codes, ERR_ (0xE0001000 and up);
 *   - USB statuses from the bus driver, U >= 0x10000 arriving as U | 0xE0000000, with
 *     0xE8001000 in place of 0xE0001000 so that ERR_BAD_CONFIG_DESCRIPTOR stays unambiguous;
 *     the few the driver names are ERR_USBD_;
 *   - system status values, set by the driver or passed through from the bus driver.
 * Usable from C and C++, user mode and kernel mode. */
#ifndef XRUSB_STATUS_H
#define XRUSB_STATUS_H

#include <stdint.h>

#define ERR_BAD_CONFIG_DESCRIPTOR ((int32_t)0xE0001000u)
#define ERR_INVALID_INBUFFER ((int32_t)0xE0001001u)
#define ERR_INVALID_OUTBUFFER ((int32_t)0xE0001002u)
#define ERR_NO_MEMORY ((int32_t)0xE0001003u)
#define ERR_ALREADY_CONFIGURED ((int32_t)0xE0001005u)
#define ERR_NOT_CONFIGURED ((int32_t)0xE0001006u)
#define ERR_ALREADY_BOUND ((int32_t)0xE0001008u)
#define ERR_NOT_BOUND ((int32_t)0xE0001009u)
#define ERR_DEVICE_NOT_PRESENT ((int32_t)0xE000100Au)
#define ERR_TIMEOUT ((int32_t)0xE000100Cu)
#define ERR_INVALID_RECIPIENT ((int32_t)0xE000100Du)
#define ERR_INVALID_TYPE ((int32_t)0xE000100Eu)
#define ERR_INVALID_IOCTL ((int32_t)0xE000100Fu)
#define ERR_INVALID_DIRECTION ((int32_t)0xE0001010u)
#define ERR_TOO_MANY_ISO_PACKETS ((int32_t)0xE0001011u)
#define ERR_NO_TRANSFER_CONTEXT ((int32_t)0xE0001012u)
#define ERR_PIPE_NOT_FOUND ((int32_t)0xE0001013u)
#define ERR_INVALID_ISO_PACKET ((int32_t)0xE0001014u)
#define ERR_BUFFER_MAPPING_FAILED ((int32_t)0xE0001015u)
#define ERR_INTERFACE_NOT_FOUND ((int32_t)0xE0001016u)
#define ERR_DEVICE_NOT_READY ((int32_t)0xE0001017u)
#define ERR_INVALID_PARAMETER ((int32_t)0xE0001018u)
#define ERR_INVALID_POWER_STATE ((int32_t)0xE000101Au)
#define ERR_POWER_DOWN ((int32_t)0xE000101Bu)
#define ERR_NO_PIPE_HANDLE ((int32_t)0xE000101Du)
#define ERR_CONFIGURED_BY_OTHER_PROCESS ((int32_t)0xE000101Fu)
#define ERR_DEVICE_ACQUIRED ((int32_t)0xE0001020u)
#define ERR_OPENED_BY_OTHER_PROCESS ((int32_t)0xE0001021u)

/* USB statuses as they arrive; the driver raises the first three itself too. */
#define ERR_USBD_NO_MEMORY ((int32_t)0xE0000100u)
#define ERR_USBD_INVALID_PARAMETER ((int32_t)0xE0000300u)
#define ERR_USBD_INVALID_PIPE_HANDLE ((int32_t)0xE0000600u)
#define ERR_USBD_CANCELED ((int32_t)0xE0010000u)
#define ERR_USBD_INSUFFICIENT_RESOURCES ((int32_t)0xE8001000u)

/* Every named code with a one-line meaning: X(name, text). The names expand to their values,
 * so a table built from this list is an array of { name, #name, text }. */
#define XRUSB_STATUS_CODES(X)                                                                    \
  X(ERR_BAD_CONFIG_DESCRIPTOR, "the configuration descriptor from the device is inconsistent")   \
  X(ERR_INVALID_INBUFFER, "the input buffer is missing, too short or inconsistent")              \
  X(ERR_INVALID_OUTBUFFER, "the output buffer is missing or too short")                          \
  X(ERR_NO_MEMORY, "the driver ran out of memory")                                                \
  X(ERR_ALREADY_CONFIGURED, "the device already has this configuration")                          \
  X(ERR_NOT_CONFIGURED, "the device is not configured")                                           \
  X(ERR_ALREADY_BOUND, "the handle or the pipe is already bound")                                 \
  X(ERR_NOT_BOUND, "the handle is not bound to a pipe")                                           \
  X(ERR_DEVICE_NOT_PRESENT, "the device is not started or has been removed")                      \
  X(ERR_TIMEOUT, "the request to the device timed out and was cancelled")                         \
  X(ERR_INVALID_RECIPIENT, "the request recipient is out of range")                               \
  X(ERR_INVALID_TYPE, "the request type or pipe type is not supported")                           \
  X(ERR_INVALID_IOCTL, "the control code is unknown")                                             \
  X(ERR_INVALID_DIRECTION, "the transfer direction does not match the pipe")                      \
  X(ERR_TOO_MANY_ISO_PACKETS, "the isochronous request has too many packets")                     \
  X(ERR_NO_TRANSFER_CONTEXT, "no transfer context is available")                                  \
  X(ERR_PIPE_NOT_FOUND, "no pipe has this endpoint address")                                      \
  X(ERR_INVALID_ISO_PACKET, "an isochronous packet lies outside the buffer")                       \
  X(ERR_BUFFER_MAPPING_FAILED, "the buffer could not be mapped")                                  \
  X(ERR_INTERFACE_NOT_FOUND, "the interface or alternate setting does not exist")                 \
  X(ERR_DEVICE_NOT_READY, "the device takes no requests at present")                              \
  X(ERR_INVALID_PARAMETER, "a parameter is out of range")                                         \
  X(ERR_INVALID_POWER_STATE, "the power state change is not allowed")                             \
  X(ERR_POWER_DOWN, "the transfer was cancelled while the device was powered down")               \
  X(ERR_NO_PIPE_HANDLE, "the bus driver gave a pipe no handle")                                   \
  X(ERR_CONFIGURED_BY_OTHER_PROCESS, "another process configured the device")                     \
  X(ERR_DEVICE_ACQUIRED, "another process has exclusive use of the device")                       \
  X(ERR_OPENED_BY_OTHER_PROCESS, "another process has the device open")                           \
  X(ERR_USBD_NO_MEMORY, "USB: no memory")                                                         \
  X(ERR_USBD_INVALID_PARAMETER, "USB: invalid parameter")                                         \
  X(ERR_USBD_INVALID_PIPE_HANDLE, "USB: invalid pipe handle")                                     \
  X(ERR_USBD_CANCELED, "USB: the transfer was cancelled")                                         \
  X(ERR_USBD_INSUFFICIENT_RESOURCES, "USB: insufficient resources")

/* System values the driver sets itself: X(name, value, text). Not defined as constants here,
 * since the platform headers own those names. */
#define XRUSB_SYSTEM_STATUS_CODES(X)                                          \
  X(STATUS_SUCCESS, 0x00000000u, "success")                                   \
  X(STATUS_UNSUCCESSFUL, 0xC0000001u, "the operation failed")                 \
  X(STATUS_INVALID_PARAMETER, 0xC000000Du, "invalid parameter")               \
  X(STATUS_NO_MEMORY, 0xC0000017u, "no memory")                               \
  X(STATUS_DELETE_PENDING, 0xC0000056u, "the device is being removed")        \
  X(STATUS_INSUFFICIENT_RESOURCES, 0xC000009Au, "insufficient resources")     \
  X(STATUS_CANCELLED, 0xC0000120u, "the request was cancelled")               \
  X(STATUS_DEVICE_BUSY, 0x80000011u, "the device is busy")

#ifdef __cplusplus
extern "C" {
#endif

#define XRUSB_NAME_CASE_(name, text) \
  case name:                         \
    return #name;
#define XRUSB_SYSTEM_NAME_CASE_(name, value, text) \
  case (int32_t)value:                             \
    return #name;
#define XRUSB_TEXT_CASE_(name, text) \
  case name:                         \
    return text;
#define XRUSB_SYSTEM_TEXT_CASE_(name, value, text) \
  case (int32_t)value:                             \
    return text;

/* The name of a status ("ERR_TIMEOUT", "STATUS_CANCELLED"), or a null pointer for one without
 * a name, such as most mapped USB statuses. */
static inline const char *xrusb_status_name(int32_t status) {
  switch (status) {
    XRUSB_STATUS_CODES(XRUSB_NAME_CASE_)
    XRUSB_SYSTEM_STATUS_CODES(XRUSB_SYSTEM_NAME_CASE_)
    default:
      return 0;
  }
}

/* A one-line English meaning, or a null pointer where xrusb_status_name has none. */
static inline const char *xrusb_status_text(int32_t status) {
  switch (status) {
    XRUSB_STATUS_CODES(XRUSB_TEXT_CASE_)
    XRUSB_SYSTEM_STATUS_CODES(XRUSB_SYSTEM_TEXT_CASE_)
    default:
      return 0;
  }
}

#undef XRUSB_NAME_CASE_
#undef XRUSB_SYSTEM_NAME_CASE_
#undef XRUSB_TEXT_CASE_
#undef XRUSB_SYSTEM_TEXT_CASE_

#ifdef __cplusplus
}
#endif

#endif /* XRUSB_STATUS_H */
