// CreateFile, CloseHandle and the requests on an open handle, as the I/O manager builds them.
#include <algorithm>
#include <cstring>

#include "internal.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/threads.h"
#include "sim/kernel/verifier.h"
#include "sim/kernel/work_items.h"

namespace simwin {

struct Request {
  OVERLAPPED *overlapped = nullptr;
  std::shared_ptr<EventRecord> event;
  // METHOD_BUFFERED and buffered reads: copied back to the caller on completion.
  void *systemBuffer = nullptr;
  void *userOutput = nullptr;
  // The most the driver may report: the output buffer of a control code, the length of a read.
  ULONG_PTR informationLimit = ~ULONG_PTR(0);
  UCHAR major = 0;
  // Guarded by UserLock().
  bool completed = false;
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
};

namespace {

constexpr ULONG kSystemBufferTag = sim::MakeTag("IoSb");
constexpr CSHORT kIoTypeFile = 5;

bool IsError(NTSTATUS s) { return (uint32_t(s) >> 30) == 3; }

void SendClose(const std::shared_ptr<FileRecord> &file) {
  PDEVICE_OBJECT top = sim::StackTop(file->device);
  if (!sim::DeviceDeleted(top)) {
    sim::SendIrpAndWait(top, [&](PIRP irp, PIO_STACK_LOCATION first) {
      irp->Tail.Overlay.OriginalFileObject = &file->object;
      first->MajorFunction = IRP_MJ_CLOSE;
      first->FileObject = &file->object;
    });
  }
  InterlockedDecrement(&file->device->ReferenceCount);
  sim::pnp::FileObjectClosed(file->device);
  sim::DereferenceDevice(file->device);
}

// Drops one reference to the file object. The last one sends IRP_MJ_CLOSE: at once when the
// caller is the application closing its handle, else from a system worker, as Windows defers
// the final dereference of a completing request.
void ReleaseFile(const std::shared_ptr<FileRecord> &file, bool deferred) {
  if (file->references.fetch_sub(1) != 1) return;
  if (deferred)
    sim::QueueSystemWork([file] { SendClose(file); });
  else
    SendClose(file);
}

struct Buffers {
  void *systemBuffer = nullptr;
  PMDL mdl = nullptr;
};

NTSTATUS AllocateSystemBuffer(Buffers &b, const void *input, ULONG inputLength, ULONG size) {
  if (!size) return STATUS_SUCCESS;
  sim::PoolOwnerScope owner(nullptr);  // the I/O manager's, not the driver's
  b.systemBuffer = ExAllocatePoolWithTag(NonPagedPoolNx, size, kSystemBufferTag);
  if (!b.systemBuffer) return STATUS_INSUFFICIENT_RESOURCES;
  if (inputLength) memcpy(b.systemBuffer, input, inputLength);
  return STATUS_SUCCESS;
}

// Describes the caller's buffer with a locked MDL; 'write' when the device writes into it.
NTSTATUS LockUserBuffer(Buffers &b, void *buffer, ULONG length, bool write) {
  if (!length) return STATUS_SUCCESS;
  b.mdl = sim::BuildMdlForUserBuffer(buffer, length, write);
  return b.mdl ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

void FreeBuffers(Buffers &b) {
  if (b.systemBuffer) ExFreePool(b.systemBuffer);
  if (b.mdl) sim::FreeMdlChain(b.mdl);
}

using Setup = std::function<void(PIRP, PIO_STACK_LOCATION)>;

thread_local bool t_cancelOnArrival = false;

// CreateFile docs: without FILE_FLAG_OVERLAPPED "I/O operations are serialized, even if the
// calls to the read and write functions specify an OVERLAPPED structure": the I/O manager holds
// the file object's lock from the call until its request has completed.
class FileLock {
 public:
  explicit FileLock(const std::shared_ptr<FileRecord> &file) : file_(file->overlapped ? nullptr : file.get()) {
    if (!file_) return;
    std::unique_lock<std::mutex> lock(UserLock());
    ++file_->waiting;
    UserWait(lock, INFINITE, [this] { return !file_->busy; });
    --file_->waiting;
    file_->busy = true;
  }
  ~FileLock() {
    if (!file_) return;
    std::lock_guard<std::mutex> guard(UserLock());
    file_->busy = false;
    UserCondition().notify_all();
  }
  FileLock(const FileLock &) = delete;
  FileLock &operator=(const FileLock &) = delete;

 private:
  FileRecord *file_;
};

// What a request reports and where its data goes back to.
struct Answer {
  UCHAR major;
  ULONG_PTR informationLimit;
  void *userOutput;  // with copyBack: the system buffer is copied here
  bool copyBack;
};

// Sends one request on 'file' and gives the Win32 result.
BOOL Issue(const std::shared_ptr<FileRecord> &file, Buffers buffers, const Answer &answer, LPDWORD bytes,
           LPOVERLAPPED overlapped, const Setup &fill) {
  auto req = std::make_shared<Request>();
  req->overlapped = overlapped;
  req->major = answer.major;
  req->informationLimit = answer.informationLimit;
  if (answer.copyBack) {
    req->systemBuffer = buffers.systemBuffer;
    req->userOutput = answer.userOutput;
  }
  if (overlapped) {
    if (overlapped->hEvent) {
      req->event = LookupEvent(overlapped->hEvent);
      if (!req->event) {
        FreeBuffers(buffers);
        return FALSE;
      }
    }
    // OVERLAPPED docs: the system sets Internal to STATUS_PENDING when the request is issued;
    // InternalHigh only when it completes.
    std::lock_guard<std::mutex> guard(UserLock());
    __atomic_store_n(&overlapped->Internal, ULONG_PTR(STATUS_PENDING), __ATOMIC_RELEASE);
    if (req->event) req->event->signalled = false;
  }
  PDEVICE_OBJECT top = sim::StackTop(file->device);
  sim::ReferenceDevice(top);
  file->references.fetch_add(1);

  NTSTATUS returned = sim::SendIrp(
      top,
      [&](PIRP irp, PIO_STACK_LOCATION first) {
        irp->RequestorMode = UserMode;
        irp->Tail.Overlay.Thread = sim::CurrentThread();
        irp->Tail.Overlay.OriginalFileObject = &file->object;
        irp->AssociatedIrp.SystemBuffer = buffers.systemBuffer;
        irp->MdlAddress = buffers.mdl;
        irp->UserBuffer = answer.userOutput;
        // As in Windows, the OVERLAPPED is the request's status block (CancelIoEx finds it so).
        irp->UserIosb = reinterpret_cast<PIO_STATUS_BLOCK>(overlapped);
        first->FileObject = &file->object;
        fill(irp, first);
        if (t_cancelOnArrival) __atomic_store_n(&irp->Cancel, BOOLEAN(TRUE), __ATOMIC_RELEASE);
      },
      [req, file, top, systemBuffer = buffers.systemBuffer](PIRP irp) {
        NTSTATUS status = irp->IoStatus.Status;
        ULONG_PTR information = irp->IoStatus.Information;
        // Before any copy: the I/O manager copies Information bytes back unclamped, past the
        // caller's buffer. Warnings copy their data too (STATUS_BUFFER_OVERFLOW: a partial result).
        if (!IsError(status) && information > req->informationLimit)
          sim::VerifierFail(sim::check::kInformationTooLarge,
                            "IRP major 0x%02x completed with status 0x%08x and Information %llu; the caller's "
                            "buffer holds %llu bytes",
                            req->major, unsigned(status), static_cast<unsigned long long>(information),
                            static_cast<unsigned long long>(req->informationLimit));
        if (req->userOutput && !IsError(status)) memcpy(req->userOutput, req->systemBuffer, information);
        if (systemBuffer) ExFreePool(systemBuffer);
        // An error completed without pending on an asynchronous file object leaves the caller's
        // status block and event alone: the Win32 call alone reports it.
        bool tellCaller = !(IsError(status) && !irp->PendingReturned && file->overlapped);
        {
          std::lock_guard<std::mutex> guard(UserLock());
          req->status = status;
          req->information = information;
          req->completed = true;
          if (req->overlapped && tellCaller) {
            req->overlapped->InternalHigh = information;
            // Windows writes the 32-bit IO_STATUS_BLOCK::Status over the low half.
            __atomic_store_n(&req->overlapped->Internal, ULONG_PTR(uint32_t(status)), __ATOMIC_RELEASE);
          }
          if (req->event && tellCaller) req->event->signalled = true;
          UserCondition().notify_all();
        }
        sim::DereferenceDevice(top);
        ReleaseFile(file, true);
      });
  if (returned == STATUS_PENDING && file->overlapped && overlapped) return FailWithStatus(STATUS_PENDING);

  std::unique_lock<std::mutex> lock(UserLock());
  UserWait(lock, INFINITE, [&] { return req->completed; });
  NTSTATUS status = req->status;
  ULONG_PTR information = req->information;
  lock.unlock();
  if (NT_SUCCESS(status)) {
    if (bytes) *bytes = DWORD(information);
    return TRUE;
  }
  if (bytes) *bytes = IsError(status) ? 0 : DWORD(information);
  return FailWithStatus(status);
}

bool Initializing(PDEVICE_OBJECT device) {
  const std::shared_lock<std::shared_mutex> noAddDevice = sim::pnp::HoldOffAddDevice();
  return (device->Flags & DO_DEVICE_INITIALIZING) != 0;
}

bool ProbeOk(const void *buffer, ULONG length) { return length == 0 || buffer != nullptr; }

}  // namespace

HANDLE CreateFileW(LPCWSTR name, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE) {
  if (!name) {
    FailWithStatus(STATUS_OBJECT_NAME_INVALID);
    return INVALID_HANDLE_VALUE;
  }
  std::u16string path(name);
  if (path.compare(0, 4, u"\\\\.\\") != 0 && path.compare(0, 4, u"\\\\?\\") != 0) {
    FailWithStatus(STATUS_OBJECT_PATH_NOT_FOUND);  // only devices live in this world
    return INVALID_HANDLE_VALUE;
  }
  std::u16string remainder;
  PDEVICE_OBJECT device = sim::ReferenceDeviceByName(path, &remainder);
  if (!device) {
    FailWithStatus(STATUS_OBJECT_NAME_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (sim::DeviceDeleted(device) || Initializing(device)) {
    sim::DereferenceDevice(device);
    FailWithStatus(STATUS_NO_SUCH_DEVICE);
    return INVALID_HANDLE_VALUE;
  }
  if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount != 0) {
    sim::DereferenceDevice(device);
    FailWithStatus(STATUS_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }

  auto file = std::make_shared<FileRecord>();
  file->device = device;
  file->access = desiredAccess;
  file->overlapped = (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
  file->fileName = remainder;
  FILE_OBJECT &fo = file->object;
  fo.Type = kIoTypeFile;
  fo.Size = sizeof(FILE_OBJECT);
  fo.DeviceObject = device;
  fo.ReadAccess = (desiredAccess & GENERIC_READ) != 0;
  fo.WriteAccess = (desiredAccess & GENERIC_WRITE) != 0;
  fo.SharedRead = (shareMode & FILE_SHARE_READ) != 0;
  fo.SharedWrite = (shareMode & FILE_SHARE_WRITE) != 0;
  fo.Flags = file->overlapped ? 0 : FO_SYNCHRONOUS_IO;
  fo.FileName.Buffer = file->fileName.data();
  fo.FileName.Length = fo.FileName.MaximumLength = USHORT(file->fileName.size() * 2);

  if (!sim::pnp::FileObjectOpening(device)) {
    sim::DereferenceDevice(device);
    FailWithStatus(STATUS_DELETE_PENDING);
    return INVALID_HANDLE_VALUE;
  }
  PDEVICE_OBJECT top = sim::StackTop(device);
  NTSTATUS status = sim::SendIrpAndWait(top, [&](PIRP irp, PIO_STACK_LOCATION first) {
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.Thread = sim::CurrentThread();
    irp->Tail.Overlay.OriginalFileObject = &fo;
    first->MajorFunction = IRP_MJ_CREATE;
    first->FileObject = &fo;
    first->Parameters.Create.Options = (creationDisposition << 24) | (flagsAndAttributes & 0x00FFFFFF);
    first->Parameters.Create.ShareAccess = USHORT(shareMode);
  });
  if (!NT_SUCCESS(status)) {
    // A failed create leaves no open file: no cleanup or close follows.
    sim::pnp::FileObjectClosed(device);
    sim::DereferenceDevice(device);
    FailWithStatus(status);
    return INVALID_HANDLE_VALUE;
  }
  fo.Flags |= FO_HANDLE_CREATED;
  InterlockedIncrement(&device->ReferenceCount);
  return InsertFile(std::move(file));
}

void CloseFile(std::shared_ptr<FileRecord> file) {
  PDEVICE_OBJECT top = sim::StackTop(file->device);
  if (!sim::DeviceDeleted(top)) {
    sim::SendIrpAndWait(top, [&](PIRP irp, PIO_STACK_LOCATION first) {
      irp->Tail.Overlay.Thread = sim::CurrentThread();
      irp->Tail.Overlay.OriginalFileObject = &file->object;
      first->MajorFunction = IRP_MJ_CLEANUP;
      first->FileObject = &file->object;
    });
  }
  ReleaseFile(file, false);
}

BOOL CloseHandle(HANDLE handle) {
  std::shared_ptr<FileRecord> file;
  if (!RemoveHandle(handle, &file)) return FailWithError(ERROR_INVALID_HANDLE);
  if (file) CloseFile(std::move(file));
  return TRUE;
}

BOOL DeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inLength, LPVOID out, DWORD outLength,
                     LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
  auto file = LookupFile(handle);
  if (!file) return FALSE;
  DWORD required = (code >> 14) & 3;
  if (((required & FILE_READ_ACCESS) && !(file->access & GENERIC_READ)) ||
      ((required & FILE_WRITE_ACCESS) && !(file->access & GENERIC_WRITE)))
    return FailWithStatus(STATUS_ACCESS_DENIED);
  if (!ProbeOk(in, inLength) || !ProbeOk(out, outLength)) return FailWithStatus(STATUS_ACCESS_VIOLATION);

  ULONG method = code & 3;
  FileLock serialised(file);
  Buffers buffers;
  NTSTATUS status = STATUS_SUCCESS;
  bool copyBack = false;
  switch (method) {
    case METHOD_BUFFERED:
      status = AllocateSystemBuffer(buffers, in, inLength, std::max(inLength, outLength));
      copyBack = outLength != 0;
      break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      status = AllocateSystemBuffer(buffers, in, inLength, inLength);
      if (NT_SUCCESS(status)) status = LockUserBuffer(buffers, out, outLength, method == METHOD_OUT_DIRECT);
      break;
    default:
      break;
  }
  if (!NT_SUCCESS(status)) {
    FreeBuffers(buffers);
    return FailWithStatus(status);
  }
  return Issue(file, buffers, {IRP_MJ_DEVICE_CONTROL, outLength, out, copyBack}, bytesReturned, overlapped,
               [&](PIRP, PIO_STACK_LOCATION first) {
                 first->MajorFunction = IRP_MJ_DEVICE_CONTROL;
                 first->Parameters.DeviceIoControl.OutputBufferLength = outLength;
                 first->Parameters.DeviceIoControl.InputBufferLength = inLength;
                 first->Parameters.DeviceIoControl.IoControlCode = code;
                 first->Parameters.DeviceIoControl.Type3InputBuffer = in;
               });
}

namespace {

BOOL ReadWrite(HANDLE handle, UCHAR major, void *buffer, DWORD length, LPDWORD bytes, LPOVERLAPPED overlapped) {
  if (bytes && !overlapped) *bytes = 0;
  auto file = LookupFile(handle);
  if (!file) return FALSE;
  bool read = major == IRP_MJ_READ;
  if (!(file->access & (read ? GENERIC_READ : GENERIC_WRITE))) return FailWithStatus(STATUS_ACCESS_DENIED);
  if (!ProbeOk(buffer, length)) return FailWithStatus(STATUS_ACCESS_VIOLATION);
  FileLock serialised(file);
  PDEVICE_OBJECT top = sim::StackTop(file->device);
  Buffers buffers;
  NTSTATUS status = STATUS_SUCCESS;
  bool copyBack = false;
  if (top->Flags & DO_BUFFERED_IO) {
    status = AllocateSystemBuffer(buffers, read ? nullptr : buffer, read ? 0 : length, length);
    copyBack = read && length;
  } else if (top->Flags & DO_DIRECT_IO) {
    status = LockUserBuffer(buffers, buffer, length, read);
  }
  if (!NT_SUCCESS(status)) {
    FreeBuffers(buffers);
    return FailWithStatus(status);
  }
  LARGE_INTEGER offset;
  offset.QuadPart = overlapped ? LONGLONG(overlapped->Offset) | LONGLONG(overlapped->OffsetHigh) << 32
                               : file->object.CurrentByteOffset.QuadPart;
  return Issue(file, buffers, {major, read ? length : ~ULONG_PTR(0), buffer, copyBack}, bytes, overlapped,
               [&](PIRP, PIO_STACK_LOCATION first) {
                 first->MajorFunction = major;
                 // Read and Write share one layout.
                 first->Parameters.Read.Length = length;
                 first->Parameters.Read.Key = 0;
                 first->Parameters.Read.ByteOffset = offset;
               });
}

}  // namespace

void SetCancelOnArrival(bool on) { t_cancelOnArrival = on; }

size_t RequestsWaitingForFile(HANDLE handle) {
  auto file = LookupFile(handle);
  if (!file) return 0;
  std::lock_guard<std::mutex> guard(UserLock());
  return file->waiting;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED overlapped) {
  return ReadWrite(file, IRP_MJ_READ, buffer, bytesToRead, bytesRead, overlapped);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, LPOVERLAPPED overlapped) {
  return ReadWrite(file, IRP_MJ_WRITE, const_cast<void *>(buffer), bytesToWrite, bytesWritten, overlapped);
}

BOOL GetOverlappedResultEx(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD bytes, DWORD milliseconds, BOOL) {
  if (!LookupFile(handle)) return FALSE;
  std::shared_ptr<EventRecord> event;
  if (overlapped->hEvent && !(event = LookupEvent(overlapped->hEvent))) return FALSE;
  std::unique_lock<std::mutex> lock(UserLock());
  auto done = [&] { return HasOverlappedIoCompleted(overlapped); };
  if (!done()) {
    if (milliseconds == 0) return FailWithError(ERROR_IO_INCOMPLETE);
    if (!UserWait(lock, milliseconds, done)) return FailWithError(WAIT_TIMEOUT);
    // The wait took the event's signal, as a wait on it would.
    if (event && !event->manualReset) event->signalled = false;
  }
  NTSTATUS status = NTSTATUS(overlapped->Internal);
  if (bytes) *bytes = DWORD(overlapped->InternalHigh);
  lock.unlock();
  if (NT_SUCCESS(status)) return TRUE;
  return FailWithStatus(status);
}

BOOL GetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD bytes, BOOL wait) {
  return GetOverlappedResultEx(handle, overlapped, bytes, wait ? INFINITE : 0, FALSE);
}

namespace {

// Cancels the file's requests that 'match' accepts; true when there was one.
bool CancelMatching(const std::shared_ptr<FileRecord> &file, const std::function<bool(PIRP)> &match) {
  const FILE_OBJECT *object = &file->object;
  return sim::CancelSentIrps([&](PIRP irp) { return irp->Tail.Overlay.OriginalFileObject == object && match(irp); }) > 0;
}

}  // namespace

void CancelAllRequests(const std::shared_ptr<FileRecord> &file) {
  CancelMatching(file, [](PIRP) { return true; });
}

BOOL CancelIoEx(HANDLE handle, LPOVERLAPPED overlapped) {
  auto file = LookupFile(handle);
  if (!file) return FALSE;
  auto iosb = reinterpret_cast<PIO_STATUS_BLOCK>(overlapped);
  if (!CancelMatching(file, [&](PIRP irp) { return !overlapped || irp->UserIosb == iosb; }))
    return FailWithError(ERROR_NOT_FOUND);
  return TRUE;
}

BOOL CancelIo(HANDLE handle) {
  auto file = LookupFile(handle);
  if (!file) return FALSE;
  PKTHREAD me = sim::CurrentThread();
  CancelMatching(file, [&](PIRP irp) { return irp->Tail.Overlay.Thread == me; });
  return TRUE;
}

}  // namespace simwin
