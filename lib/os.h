// The few operating-system calls the library makes, under one set of names: the Win32 ones on
// Windows, simwin's on the host. Everything above this header is shared by both builds.
#pragma once
#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

#include "xrusb/device.hpp"

#if defined(_WIN32)
#include "win32/os_win32.h"
#else
#include "sim/os_sim.h"
#endif

namespace xrusb::os {

inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;
inline constexpr uint32_t kErrorIoPending = 997;
inline constexpr uint32_t kErrorIoIncomplete = 996;
inline constexpr uint32_t kWaitTimeout = 258;

// The status of the last failed call on this thread: the NTSTATUS behind the Win32 error when
// the system kept it, else the error as 0xC0070000 | error (the driver's own codes come through
// as themselves).
inline int32_t LastStatus() {
  const uint32_t error = LastError();
  if (error == 0) return 0;
  if (error & 0x20000000u) return int32_t(error);
  const int32_t status = LastNtStatus();
  if (status < 0 && NtStatusToError(status) == error) return status;
  return int32_t(0xC0070000u | (error & 0xFFFFu));
}

inline GUID SystemGuid(const Guid &guid) {
  GUID g;
  g.Data1 = guid.data1;
  g.Data2 = guid.data2;
  g.Data3 = guid.data3;
  for (int k = 0; k < 8; ++k) g.Data4[k] = guid.data4[k];
  return g;
}

// Paths of the present interfaces of a class.
std::vector<std::u16string> InterfacePaths(const Guid &guid, std::error_code &ec);
// Text of a Win32 error, empty when unknown.
std::string Win32ErrorText(uint32_t error);

}  // namespace xrusb::os
