// The library's system calls on Windows.
#pragma once
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <new>

extern "C" {
// ntdll: the status behind the thread's last error, and the mapping without touching the TEB.
__declspec(dllimport) LONG NTAPI RtlGetLastNtStatus(void);
__declspec(dllimport) ULONG NTAPI RtlNtStatusToDosErrorNoTeb(LONG status);
}

namespace xrusb::os {

using Handle = HANDLE;
using Overlapped = ::OVERLAPPED;

inline Handle InvalidHandle() { return INVALID_HANDLE_VALUE; }

inline Handle OpenFile(const char16_t *path) {
  return ::CreateFileW(reinterpret_cast<LPCWSTR>(path), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}
inline bool CloseFile(Handle h) { return ::CloseHandle(h); }

inline bool Ioctl(Handle h, uint32_t code, const void *in, uint32_t inLength, void *out, uint32_t outLength,
                  uint32_t *bytes, Overlapped *o) {
  DWORD n = 0;
  const bool ok = ::DeviceIoControl(h, code, const_cast<void *>(in), inLength, out, outLength, &n, o);
  *bytes = n;
  return ok;
}
inline bool Read(Handle h, void *buffer, uint32_t length, Overlapped *o) {
  return ::ReadFile(h, buffer, length, nullptr, o);
}
inline bool Write(Handle h, const void *buffer, uint32_t length, Overlapped *o) {
  return ::WriteFile(h, buffer, length, nullptr, o);
}
inline bool Result(Handle h, Overlapped *o, uint32_t milliseconds) {
  DWORD n = 0;
  return ::GetOverlappedResultEx(h, o, &n, milliseconds, FALSE);
}
inline bool Cancel(Handle h, Overlapped *o) { return ::CancelIoEx(h, o); }
// The status block is written by another thread; what follows it is read only after it.
inline bool Completed(const Overlapped *o) {
  return std::atomic_ref<ULONG_PTR>(const_cast<ULONG_PTR &>(o->Internal)).load(std::memory_order_acquire) !=
         ULONG_PTR(STATUS_PENDING);
}

inline uint32_t LastError() { return ::GetLastError(); }
inline int32_t LastNtStatus() { return RtlGetLastNtStatus(); }
inline uint32_t NtStatusToError(int32_t status) { return RtlNtStatusToDosErrorNoTeb(status); }

// Manual-reset events: several requests in flight on one handle must not share the handle's
// own signal, so a request never goes without one.
inline Handle NewEvent() {
  Handle e = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!e) throw std::bad_alloc();
  return e;
}
inline void CloseEvent(Handle e) {
  if (e) ::CloseHandle(e);
}
inline void ResetEvent(Handle e) {
  if (e) ::ResetEvent(e);
}
// One per thread for the synchronous calls, made on first use.
Handle SyncEvent();

inline void YieldThread() { ::SwitchToThread(); }

}  // namespace xrusb::os
