// Shared by the application-side files: the handle table and the user-mode wait lock.
#pragma once
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "win32.h"

namespace simwin {

// An open file object with the I/O manager's bookkeeping around it.
struct FileRecord {
  FILE_OBJECT object{};
  std::u16string fileName;
  PDEVICE_OBJECT device = nullptr;  // the device the name resolved to; referenced while open
  DWORD access = 0;
  bool overlapped = false;
  // Without FILE_FLAG_OVERLAPPED: a request holds the file object's lock; others wait.
  // Guarded by UserLock().
  bool busy = false;
  size_t waiting = 0;
  // The handle holds one; every request in flight holds one. The last one sends the close.
  std::atomic<long> references{1};
};

struct EventRecord {
  bool manualReset = false;
  bool signalled = false;  // guarded by UserLock()
};

// One lock and one condition for every user-mode wait (events, requests, overlapped results).
std::mutex &UserLock();
std::condition_variable &UserCondition();
// Waits on UserCondition() until 'ready' or the world's clock passes 'milliseconds'
// (INFINITE: no limit). False on time-out.
bool UserWait(std::unique_lock<std::mutex> &lock, DWORD milliseconds, const std::function<bool()> &ready);

HANDLE InsertFile(std::shared_ptr<FileRecord> file);
HANDLE InsertEvent(std::shared_ptr<EventRecord> event);
// Null (and last error ERROR_INVALID_HANDLE) unless the handle is of that kind and belongs to
// the calling thread's process.
std::shared_ptr<FileRecord> LookupFile(HANDLE handle);
std::shared_ptr<EventRecord> LookupEvent(HANDLE handle);
// Removes the handle; gives its file (or null for an event). False when not a valid handle.
bool RemoveHandle(HANDLE handle, std::shared_ptr<FileRecord> *file);
std::vector<HANDLE> HandlesOf(PEPROCESS process);

PEPROCESS CallerProcess();
// Sets the last error from an NTSTATUS (and the last NTSTATUS); returns FALSE for chaining.
BOOL FailWithStatus(NTSTATUS status);
BOOL FailWithError(DWORD error);

// The handle's request side, for EndProcess.
void CancelAllRequests(const std::shared_ptr<FileRecord> &file);
void CloseFile(std::shared_ptr<FileRecord> file);

}  // namespace simwin
