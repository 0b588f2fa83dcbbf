// The application side of the I/O manager, as the Win32 functions an application of the
// driver calls, with their Windows signatures, in namespace simwin.
//
// Every call acts for the process the calling thread acts for (ProcessScope); handles belong
// to the process that created them and are invalid in any other.
//
// Errors: a failing call sets the thread's last error (GetLastError) to the Win32 code that
// Windows maps the NTSTATUS to (RtlNtStatusToDosError below). Statuses with the customer bit
// (0x20000000) set, which is every one of the driver's own codes (0xE...), pass through
// unchanged as the error code, as on Windows. RtlGetLastNtStatus gives the raw NTSTATUS of the
// last failure on this thread; for overlapped requests OVERLAPPED::Internal holds it as well.
#pragma once
#include <string>
#include <vector>

#include "platform/platform.h"

namespace simwin {

using ::DWORD;
using ::HANDLE;
using ::ULONG_PTR;
typedef int BOOL;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef DWORD *LPDWORD;
typedef const char16_t *LPCWSTR;
typedef char16_t *PZZWSTR;
typedef const char16_t *DEVINSTID_W;
typedef ULONG CONFIGRET;

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
typedef SECURITY_ATTRIBUTES *LPSECURITY_ATTRIBUTES;

struct OVERLAPPED {
  ULONG_PTR Internal;      // (NTSTATUS) of the request: STATUS_PENDING while in flight
  ULONG_PTR InternalHigh;  // bytes transferred
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    PVOID Pointer;
  };
  HANDLE hEvent;
};
typedef OVERLAPPED *LPOVERLAPPED;

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~uintptr_t(0));

// Access, sharing, disposition and flags.
#ifndef GENERIC_READ
#define GENERIC_READ 0x80000000
#endif
#ifndef GENERIC_WRITE
#define GENERIC_WRITE 0x40000000
#endif
#ifndef FILE_SHARE_READ
#define FILE_SHARE_READ 0x1
#endif
#ifndef FILE_SHARE_WRITE
#define FILE_SHARE_WRITE 0x2
#endif
#ifndef OPEN_EXISTING
#define OPEN_EXISTING 3
#endif
#ifndef FILE_ATTRIBUTE_NORMAL
#define FILE_ATTRIBUTE_NORMAL 0x80
#endif
#ifndef FILE_FLAG_OVERLAPPED
#define FILE_FLAG_OVERLAPPED 0x40000000
#endif
#ifndef FILE_READ_ACCESS
#define FILE_READ_ACCESS 0x1
#endif
#ifndef FILE_WRITE_ACCESS
#define FILE_WRITE_ACCESS 0x2
#endif  // in a control code

// Waits.
#ifndef INFINITE
#define INFINITE 0xFFFFFFFF
#endif
#ifndef WAIT_OBJECT_0
#define WAIT_OBJECT_0 0
#endif
#ifndef WAIT_TIMEOUT
#define WAIT_TIMEOUT 258
#endif
#ifndef WAIT_FAILED
#define WAIT_FAILED 0xFFFFFFFF
#endif

// Win32 error codes that the mapping produces.
#ifndef ERROR_SUCCESS
#define ERROR_SUCCESS 0
#endif
#ifndef ERROR_INVALID_FUNCTION
#define ERROR_INVALID_FUNCTION 1
#endif
#ifndef ERROR_FILE_NOT_FOUND
#define ERROR_FILE_NOT_FOUND 2
#endif
#ifndef ERROR_PATH_NOT_FOUND
#define ERROR_PATH_NOT_FOUND 3
#endif
#ifndef ERROR_ACCESS_DENIED
#define ERROR_ACCESS_DENIED 5
#endif
#ifndef ERROR_INVALID_HANDLE
#define ERROR_INVALID_HANDLE 6
#endif
#ifndef ERROR_NOT_ENOUGH_MEMORY
#define ERROR_NOT_ENOUGH_MEMORY 8
#endif
#ifndef ERROR_BAD_COMMAND
#define ERROR_BAD_COMMAND 22
#endif
#ifndef ERROR_CRC
#define ERROR_CRC 23
#endif
#ifndef ERROR_NOT_READY
#define ERROR_NOT_READY 21
#endif
#ifndef ERROR_GEN_FAILURE
#define ERROR_GEN_FAILURE 31
#endif
#ifndef ERROR_SHARING_VIOLATION
#define ERROR_SHARING_VIOLATION 32
#endif
#ifndef ERROR_HANDLE_EOF
#define ERROR_HANDLE_EOF 38
#endif
#ifndef ERROR_NOT_SUPPORTED
#define ERROR_NOT_SUPPORTED 50
#endif
#ifndef ERROR_INVALID_PARAMETER
#define ERROR_INVALID_PARAMETER 87
#endif
#ifndef ERROR_SEM_TIMEOUT
#define ERROR_SEM_TIMEOUT 121
#endif
#ifndef ERROR_INSUFFICIENT_BUFFER
#define ERROR_INSUFFICIENT_BUFFER 122
#endif
#ifndef ERROR_INVALID_NAME
#define ERROR_INVALID_NAME 123
#endif
#ifndef ERROR_BUSY
#define ERROR_BUSY 170
#endif
#ifndef ERROR_ALREADY_EXISTS
#define ERROR_ALREADY_EXISTS 183
#endif
#ifndef ERROR_MORE_DATA
#define ERROR_MORE_DATA 234
#endif
#ifndef ERROR_NO_MORE_ITEMS
#define ERROR_NO_MORE_ITEMS 259
#endif
#ifndef ERROR_MR_MID_NOT_FOUND
#define ERROR_MR_MID_NOT_FOUND 317
#endif
#ifndef ERROR_OPERATION_ABORTED
#define ERROR_OPERATION_ABORTED 995
#endif
#ifndef ERROR_IO_INCOMPLETE
#define ERROR_IO_INCOMPLETE 996
#endif
#ifndef ERROR_IO_PENDING
#define ERROR_IO_PENDING 997
#endif
#ifndef ERROR_NOACCESS
#define ERROR_NOACCESS 998
#endif
#ifndef ERROR_DEVICE_NOT_CONNECTED
#define ERROR_DEVICE_NOT_CONNECTED 1167
#endif
#ifndef ERROR_NOT_FOUND
#define ERROR_NOT_FOUND 1168
#endif
#ifndef ERROR_NO_SYSTEM_RESOURCES
#define ERROR_NO_SYSTEM_RESOURCES 1450
#endif
#ifndef ERROR_DEVICE_REMOVED
#define ERROR_DEVICE_REMOVED 1617
#endif
#ifndef ERROR_INVALID_USER_BUFFER
#define ERROR_INVALID_USER_BUFFER 1784
#endif

// Configuration manager results and flags.
#ifndef CR_SUCCESS
#define CR_SUCCESS 0x00
#endif
#ifndef CR_INVALID_POINTER
#define CR_INVALID_POINTER 0x03
#endif
#ifndef CR_INVALID_FLAG
#define CR_INVALID_FLAG 0x04
#endif
#ifndef CR_BUFFER_SMALL
#define CR_BUFFER_SMALL 0x1A
#endif
#ifndef CM_GET_DEVICE_INTERFACE_LIST_PRESENT
#define CM_GET_DEVICE_INTERFACE_LIST_PRESENT 0x0
#endif
#ifndef CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES
#define CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES 0x1
#endif

// Processes. The thread acts for 'process' while the scope lives (null: the system process).
class ProcessScope {
 public:
  explicit ProcessScope(PEPROCESS process);
  ~ProcessScope();
  ProcessScope(const ProcessScope &) = delete;
  ProcessScope &operator=(const ProcessScope &) = delete;

 private:
  PEPROCESS saved_;
};
DWORD GetCurrentProcessId();
// What the system does when a process ends: cancels its requests and closes its handles.
void EndProcess(PEPROCESS process);
// Handles open in 'process' (all processes when null).
size_t OpenHandleCount(PEPROCESS process = nullptr);

// Errors.
DWORD GetLastError();
void SetLastError(DWORD error);
NTSTATUS RtlGetLastNtStatus();
ULONG RtlNtStatusToDosError(NTSTATUS status);

// Files. 'name' is "\\.\<symbolic link>" or a device interface path ("\\?\...").
HANDLE CreateFileW(LPCWSTR name, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL CloseHandle(HANDLE handle);
BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                     DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, LPOVERLAPPED overlapped);
BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait);
BOOL GetOverlappedResultEx(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, DWORD milliseconds,
                           BOOL alertable);
BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped);
BOOL CancelIo(HANDLE file);
// While on, requests made by this thread reach the driver already cancelled, as when a
// CancelIoEx overtakes the dispatch before the driver could set a cancel routine.
void SetCancelOnArrival(bool on);
// Requests waiting for their turn on a handle opened without FILE_FLAG_OVERLAPPED, whose
// requests the I/O manager carries out one at a time (tests force interleavings with it).
size_t RequestsWaitingForFile(HANDLE file);
inline bool HasOverlappedIoCompleted(const OVERLAPPED *o) {
  return __atomic_load_n(&o->Internal, __ATOMIC_ACQUIRE) != ULONG_PTR(STATUS_PENDING);
}

// Events. Waits use the world's clock.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState, LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

// Device interfaces, as the configuration manager lists them: a sequence of null-terminated
// paths ended by an empty one; sizes in characters. 'deviceId' must be null.
CONFIGRET CM_Get_Device_Interface_List_SizeW(PULONG length, LPGUID interfaceClassGuid, DEVINSTID_W deviceId,
                                             ULONG flags);
CONFIGRET CM_Get_Device_Interface_ListW(LPGUID interfaceClassGuid, DEVINSTID_W deviceId, PZZWSTR buffer,
                                        ULONG bufferLength, ULONG flags);
// The same list, present (enabled) interfaces only, as paths for CreateFileW.
std::vector<std::u16string> DeviceInterfacePaths(const GUID &interfaceClassGuid);

}  // namespace simwin
