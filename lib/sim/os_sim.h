// The library's system calls on the host: simwin, the application side of the simulated
// Windows.
#pragma once
#include <cstdint>
#include <thread>

#include "sim/win32/win32.h"

namespace xrusb::os {

using Handle = simwin::HANDLE;
using Overlapped = simwin::OVERLAPPED;

inline Handle InvalidHandle() { return simwin::INVALID_HANDLE_VALUE; }

inline Handle OpenFile(const char16_t *path) {
  return simwin::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}
inline bool CloseFile(Handle h) { return simwin::CloseHandle(h); }

inline bool Ioctl(Handle h, uint32_t code, const void *in, uint32_t inLength, void *out, uint32_t outLength,
                  uint32_t *bytes, Overlapped *o) {
  simwin::DWORD n = 0;
  const bool ok = simwin::DeviceIoControl(h, code, const_cast<void *>(in), inLength, out, outLength, &n, o);
  *bytes = n;
  return ok;
}
inline bool Read(Handle h, void *buffer, uint32_t length, Overlapped *o) {
  return simwin::ReadFile(h, buffer, length, nullptr, o);
}
inline bool Write(Handle h, const void *buffer, uint32_t length, Overlapped *o) {
  return simwin::WriteFile(h, buffer, length, nullptr, o);
}
inline bool Result(Handle h, Overlapped *o, uint32_t milliseconds) {
  simwin::DWORD n = 0;
  return simwin::GetOverlappedResultEx(h, o, &n, milliseconds, FALSE);
}
inline bool Cancel(Handle h, Overlapped *o) { return simwin::CancelIoEx(h, o); }
inline bool Completed(const Overlapped *o) { return simwin::HasOverlappedIoCompleted(o); }

inline uint32_t LastError() { return simwin::GetLastError(); }
inline int32_t LastNtStatus() { return simwin::RtlGetLastNtStatus(); }
inline uint32_t NtStatusToError(int32_t status) { return simwin::RtlNtStatusToDosError(status); }

// The simulated requests are waited for through their OVERLAPPED alone: no events needed.
inline Handle NewEvent() { return nullptr; }
inline void CloseEvent(Handle) {}
inline void ResetEvent(Handle) {}
inline Handle SyncEvent() { return nullptr; }

inline void YieldThread() { std::this_thread::yield(); }

}  // namespace xrusb::os
