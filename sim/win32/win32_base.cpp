// Handles, processes, events, last-error state and interface enumeration.
#include <chrono>
#include <map>

#include "internal.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/threads.h"

namespace simwin {
namespace {

struct HandleEntry {
  PEPROCESS process;
  std::shared_ptr<FileRecord> file;
  std::shared_ptr<EventRecord> event;
};

std::mutex g_handleLock;
std::map<uintptr_t, HandleEntry> g_handles;
uintptr_t g_nextHandle = 0x100;

constexpr NTSTATUS kStatusInvalidHandle = NTSTATUS(0xC0000008);

thread_local DWORD t_lastError = 0;
thread_local NTSTATUS t_lastStatus = STATUS_SUCCESS;

HANDLE Insert(HandleEntry entry) {
  std::lock_guard<std::mutex> guard(g_handleLock);
  uintptr_t value = g_nextHandle;
  g_nextHandle += 4;
  g_handles.emplace(value, std::move(entry));
  return reinterpret_cast<HANDLE>(value);
}

const HandleEntry *FindLocked(HANDLE handle) {
  auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == g_handles.end() || it->second.process != CallerProcess()) return nullptr;
  return &it->second;
}

}  // namespace

std::mutex &UserLock() {
  static std::mutex lock;
  return lock;
}

std::condition_variable &UserCondition() {
  static std::condition_variable cv;
  return cv;
}

bool UserWait(std::unique_lock<std::mutex> &lock, DWORD milliseconds, const std::function<bool()> &ready) {
  if (milliseconds == INFINITE) {
    UserCondition().wait(lock, ready);
    return true;
  }
  int64_t deadline = sim::Now100ns() + int64_t(milliseconds) * 10000;
  // Short real slices: the world's clock may be manual and moved by another thread.
  while (!ready()) {
    if (sim::Now100ns() >= deadline) return false;
    UserCondition().wait_for(lock, std::chrono::milliseconds(1));
  }
  return true;
}

PEPROCESS CallerProcess() { return IoGetCurrentProcess(); }

HANDLE InsertFile(std::shared_ptr<FileRecord> file) { return Insert({CallerProcess(), std::move(file), nullptr}); }
HANDLE InsertEvent(std::shared_ptr<EventRecord> event) { return Insert({CallerProcess(), nullptr, std::move(event)}); }

std::shared_ptr<FileRecord> LookupFile(HANDLE handle) {
  std::lock_guard<std::mutex> guard(g_handleLock);
  const HandleEntry *e = FindLocked(handle);
  if (!e || !e->file) {
    FailWithStatus(kStatusInvalidHandle);
    return nullptr;
  }
  return e->file;
}

std::shared_ptr<EventRecord> LookupEvent(HANDLE handle) {
  std::lock_guard<std::mutex> guard(g_handleLock);
  const HandleEntry *e = FindLocked(handle);
  if (!e || !e->event) {
    FailWithStatus(kStatusInvalidHandle);
    return nullptr;
  }
  return e->event;
}

bool RemoveHandle(HANDLE handle, std::shared_ptr<FileRecord> *file) {
  std::lock_guard<std::mutex> guard(g_handleLock);
  if (!FindLocked(handle)) return false;
  auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
  *file = std::move(it->second.file);
  g_handles.erase(it);
  return true;
}

std::vector<HANDLE> HandlesOf(PEPROCESS process) {
  std::lock_guard<std::mutex> guard(g_handleLock);
  std::vector<HANDLE> out;
  for (auto &[value, e] : g_handles)
    if (e.process == process) out.push_back(reinterpret_cast<HANDLE>(value));
  return out;
}

size_t OpenHandleCount(PEPROCESS process) {
  std::lock_guard<std::mutex> guard(g_handleLock);
  size_t n = 0;
  for (auto &[value, e] : g_handles)
    if (!process || e.process == process) ++n;
  return n;
}

ProcessScope::ProcessScope(PEPROCESS process) : saved_(sim::CurrentThread()->process) {
  sim::SetCurrentProcess(process);
}
ProcessScope::~ProcessScope() { sim::SetCurrentProcess(saved_); }

DWORD GetCurrentProcessId() { return CallerProcess()->id; }

void EndProcess(PEPROCESS process) {
  ProcessScope scope(process);
  std::vector<HANDLE> handles = HandlesOf(process);
  for (HANDLE h : handles)
    if (auto file = LookupFile(h)) CancelAllRequests(file);
  for (HANDLE h : handles) CloseHandle(h);
}

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD error) { t_lastError = error; }
NTSTATUS RtlGetLastNtStatus() { return t_lastStatus; }

ULONG RtlNtStatusToDosError(NTSTATUS status) {
  uint32_t s = uint32_t(status);
  // Customer statuses (the driver's own codes) are their own error codes.
  if (s == 0 || (s & 0x20000000)) return s;
  // Win32 errors carried in a status (FACILITY_NTWIN32).
  if ((s & 0xFFFF0000) == 0x80070000 || (s & 0xFFFF0000) == 0xC0070000) return s & 0xFFFF;
  switch (s) {
    case 0x00000103: return ERROR_IO_PENDING;
    case 0x80000005: return ERROR_MORE_DATA;
    case 0x80000011: return ERROR_BUSY;
    case 0x8000001A: return ERROR_NO_MORE_ITEMS;
    case 0xC0000001: return ERROR_GEN_FAILURE;
    case 0xC0000002: return ERROR_INVALID_FUNCTION;
    case 0xC0000005: return ERROR_NOACCESS;
    case 0xC0000008: return ERROR_INVALID_HANDLE;
    case 0xC000000D: return ERROR_INVALID_PARAMETER;
    case 0xC000000E: return ERROR_FILE_NOT_FOUND;
    case 0xC000000F: return ERROR_FILE_NOT_FOUND;
    case 0xC0000010: return ERROR_INVALID_FUNCTION;
    case 0xC0000011: return ERROR_HANDLE_EOF;
    case 0xC0000017: return ERROR_NOT_ENOUGH_MEMORY;
    case 0xC0000022: return ERROR_ACCESS_DENIED;
    case 0xC0000023: return ERROR_INSUFFICIENT_BUFFER;
    case 0xC0000033: return ERROR_INVALID_NAME;
    case 0xC0000034: return ERROR_FILE_NOT_FOUND;
    case 0xC0000035: return ERROR_ALREADY_EXISTS;
    case 0xC000003A: return ERROR_PATH_NOT_FOUND;
    case 0xC0000043: return ERROR_SHARING_VIOLATION;
    case 0xC0000056: return ERROR_ACCESS_DENIED;
    case 0xC000009A: return ERROR_NO_SYSTEM_RESOURCES;
    case 0xC000009C: return ERROR_CRC;
    case 0xC000009D: return ERROR_DEVICE_NOT_CONNECTED;
    case 0xC00000A3: return ERROR_NOT_READY;
    case 0xC00000AF: return ERROR_INVALID_FUNCTION;
    case 0xC00000B5: return ERROR_SEM_TIMEOUT;
    case 0xC00000BB: return ERROR_NOT_SUPPORTED;
    case 0xC00000E8: return ERROR_INVALID_USER_BUFFER;
    case 0xC0000120: return ERROR_OPERATION_ABORTED;
    case 0xC0000184: return ERROR_BAD_COMMAND;
    case 0xC0000225: return ERROR_NOT_FOUND;
    case 0xC00002B6: return ERROR_DEVICE_REMOVED;
    default: return ERROR_MR_MID_NOT_FOUND;
  }
}

BOOL FailWithStatus(NTSTATUS status) {
  t_lastStatus = status;
  t_lastError = RtlNtStatusToDosError(status);
  return FALSE;
}

BOOL FailWithError(DWORD error) {
  t_lastError = error;
  return FALSE;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  if (name) {  // named events are not part of this world
    FailWithError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  auto event = std::make_shared<EventRecord>();
  event->manualReset = manualReset != 0;
  event->signalled = initialState != 0;
  return InsertEvent(std::move(event));
}

BOOL SetEvent(HANDLE handle) {
  auto event = LookupEvent(handle);
  if (!event) return FALSE;
  std::lock_guard<std::mutex> guard(UserLock());
  event->signalled = true;
  UserCondition().notify_all();
  return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
  auto event = LookupEvent(handle);
  if (!event) return FALSE;
  std::lock_guard<std::mutex> guard(UserLock());
  event->signalled = false;
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto event = LookupEvent(handle);
  if (!event) return WAIT_FAILED;
  std::unique_lock<std::mutex> lock(UserLock());
  if (!UserWait(lock, milliseconds, [&] { return event->signalled; })) return WAIT_TIMEOUT;
  if (!event->manualReset) event->signalled = false;
  return WAIT_OBJECT_0;
}

namespace {

std::vector<std::u16string> InterfaceList(const GUID &classGuid, ULONG flags) {
  std::vector<std::u16string> paths = flags & CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES
                                          ? sim::RegisteredInterfaces(classGuid)
                                          : sim::EnabledInterfaces(classGuid);
  // The kernel's "\??\" prefix is "\\?\" to applications.
  for (auto &p : paths)
    if (p.compare(0, 4, u"\\??\\") == 0) p = u"\\\\?\\" + p.substr(4);
  return paths;
}

}  // namespace

std::vector<std::u16string> DeviceInterfacePaths(const GUID &interfaceClassGuid) {
  return InterfaceList(interfaceClassGuid, CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
}

CONFIGRET CM_Get_Device_Interface_List_SizeW(PULONG length, LPGUID interfaceClassGuid, DEVINSTID_W deviceId,
                                             ULONG flags) {
  if (!length || !interfaceClassGuid) return CR_INVALID_POINTER;
  if (deviceId || flags > CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES) return CR_INVALID_FLAG;
  ULONG n = 1;
  for (auto &p : InterfaceList(*interfaceClassGuid, flags)) n += ULONG(p.size() + 1);
  *length = n;
  return CR_SUCCESS;
}

CONFIGRET CM_Get_Device_Interface_ListW(LPGUID interfaceClassGuid, DEVINSTID_W deviceId, PZZWSTR buffer,
                                        ULONG bufferLength, ULONG flags) {
  if (!interfaceClassGuid || !buffer || bufferLength == 0) return CR_INVALID_POINTER;
  if (deviceId || flags > CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES) return CR_INVALID_FLAG;
  std::u16string list;
  for (auto &p : InterfaceList(*interfaceClassGuid, flags)) {
    list += p;
    list.push_back(u'\0');
  }
  list.push_back(u'\0');
  if (list.size() > bufferLength) {
    buffer[0] = u'\0';
    return CR_BUFFER_SMALL;
  }
  std::copy(list.begin(), list.end(), buffer);
  return CR_SUCCESS;
}

}  // namespace simwin
