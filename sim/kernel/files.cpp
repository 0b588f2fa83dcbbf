#include "files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "kernel_handles.h"
#include "verifier.h"

namespace sim::files {
namespace {

std::mutex g_lock;
std::string g_root;
std::map<Op, NTSTATUS> g_fail;
std::optional<uint64_t> g_shrink;

struct MemoryFile {
  std::vector<uint8_t> bytes;
  uint64_t size = 0;  // at least bytes.size(); the rest reads as zeros
};
std::map<std::string, std::shared_ptr<MemoryFile>> g_memory;  // by lowercase path below SystemRoot

struct FileHandle : KernelObject {
  FILE *file = nullptr;                 // a host file
  std::string hostPath;                // its name
  std::shared_ptr<MemoryFile> memory;  // or one held in memory
  uint64_t position = 0;               // of a file held in memory
  bool canRead = false;
  bool synchronous = false;  // the I/O manager keeps the position only for these
  ~FileHandle() override {
    if (file) fclose(file);
  }
  uint64_t Size() const {
    if (memory) return memory->size;
    struct stat st;
    fstat(fileno(file), &st);
    return uint64_t(st.st_size);
  }
  void Shrink(uint64_t size) {
    if (memory) {
      memory->size = std::min(memory->size, size);
      if (memory->bytes.size() > memory->size) memory->bytes.resize(memory->size);
    } else if (truncate(hostPath.c_str(), off_t(size)) != 0) {
      VerifierFail(check::kBadObject, "cannot shrink the host file");
    }
  }
  size_t ReadAt(const std::optional<uint64_t> &offset, void *buffer, size_t length) {
    if (file) {
      if (offset) fseek(file, long(*offset), SEEK_SET);
      return fread(buffer, 1, length, file);
    }
    if (offset) position = *offset;
    const uint64_t end = std::min<uint64_t>(memory->size, position + length);
    const size_t n = end > position ? size_t(end - position) : 0;
    auto *out = static_cast<uint8_t *>(buffer);
    for (size_t i = 0; i < n; ++i)
      out[i] = position + i < memory->bytes.size() ? memory->bytes[size_t(position + i)] : 0;
    position += n;
    return n;
  }
};

bool TakeFailure(Op op, NTSTATUS &status) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = g_fail.find(op);
  if (it == g_fail.end()) return false;
  status = it->second;
  g_fail.erase(it);
  return true;
}

std::string Lower(std::string s) {
  for (auto &c : s) c = char(tolower(static_cast<unsigned char>(c)));
  return s;
}

// Finds a directory entry case-insensitively, as the object manager would with
// OBJ_CASE_INSENSITIVE.
bool FindEntry(const std::string &dir, const std::string &component, std::string &found) {
  DIR *d = opendir(dir.c_str());
  if (!d) return false;
  bool ok = false;
  while (dirent *e = readdir(d))
    if (Lower(e->d_name) == Lower(component)) {
      found = e->d_name;
      ok = true;
      break;
    }
  closedir(d);
  return ok;
}

// The path below "\SystemRoot\" in lowercase, as the files held in memory are keyed.
std::string MemoryKey(std::string path) {
  for (auto &c : path)
    if (c == '/') c = '\\';
  return Lower(path);
}

// Maps "\SystemRoot\a\b" to a file held in memory or a host path; the status says why it cannot.
NTSTATUS Resolve(const std::u16string &name, std::string &hostPath, std::shared_ptr<MemoryFile> &memory) {
  std::string path;
  for (char16_t c : name) {
    if (c >= 0x80 || c == 0) return STATUS_OBJECT_NAME_INVALID;
    path += char(c);
  }
  const std::string prefix = "\\systemroot\\";
  if (Lower(path.substr(0, prefix.size())) != prefix) return STATUS_OBJECT_PATH_NOT_FOUND;
  std::string root;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_memory.find(Lower(path.substr(prefix.size())));
    if (it != g_memory.end()) {
      memory = it->second;
      return STATUS_SUCCESS;
    }
    root = g_root;
  }
  if (root.empty()) return STATUS_OBJECT_PATH_NOT_FOUND;
  std::vector<std::string> parts;
  std::string rest = path.substr(prefix.size()), part;
  for (char c : rest) {
    if (c == '\\') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else if (c == '/') {
      return STATUS_OBJECT_NAME_INVALID;
    } else {
      part += c;
    }
  }
  if (part.empty()) return STATUS_OBJECT_NAME_INVALID;
  parts.push_back(part);
  std::string current = root;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (parts[i] == "." || parts[i] == "..") return STATUS_OBJECT_NAME_INVALID;
    std::string found;
    if (!FindEntry(current, parts[i], found))
      return i + 1 == parts.size() ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
    current += "/" + found;
  }
  hostPath = current;
  return STATUS_SUCCESS;
}

void CheckPassive(const char *what) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    VerifierFail(check::kIrqlMisuse, "%s at IRQL %u", what, KeGetCurrentIrql());
}

}  // namespace

void SetSystemRoot(const std::string &hostDirectory) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_root = hostDirectory;
}

std::string SystemRoot() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_root;
}

void PutFile(const std::string &path, std::vector<uint8_t> bytes, uint64_t size) {
  auto f = std::make_shared<MemoryFile>();
  f->size = std::max<uint64_t>(size, bytes.size());
  f->bytes = std::move(bytes);
  std::lock_guard<std::mutex> guard(g_lock);
  g_memory[MemoryKey(path)] = std::move(f);
}

void ShrinkBeforeNextRead(uint64_t size) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_shrink = size;
}

void FailNext(Op op, NTSTATUS status) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_fail[op] = status;
}

void Reset() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_root.clear();
  g_fail.clear();
  g_shrink.reset();
  g_memory.clear();
}

NTSTATUS Create(PHANDLE out, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK iosb,
                ULONG disposition, ULONG options) {
  CheckPassive("ZwCreateFile");
  NTSTATUS status;
  if (TakeFailure(Op::Create, status)) return iosb->Status = status;
  if (!attributes || attributes->Length != sizeof(OBJECT_ATTRIBUTES) || !attributes->ObjectName ||
      attributes->RootDirectory)
    return iosb->Status = STATUS_INVALID_PARAMETER;
  // ZwCreateFile: synchronous I/O needs SYNCHRONIZE access, for the I/O manager waits on the file.
  const bool synchronous = options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT);
  if (synchronous && !(access & SYNCHRONIZE)) return iosb->Status = STATUS_INVALID_PARAMETER;
  if (disposition != FILE_OPEN) return iosb->Status = STATUS_NOT_SUPPORTED;  // the substitute's files are read-only
  std::string hostPath;
  std::shared_ptr<MemoryFile> memory;
  std::u16string name(attributes->ObjectName->Buffer, attributes->ObjectName->Length / 2);
  status = Resolve(name, hostPath, memory);
  if (status != STATUS_SUCCESS) return iosb->Status = status;
  auto *h = new FileHandle;
  h->memory = memory;
  h->canRead = access & (GENERIC_READ | FILE_READ_DATA);
  h->synchronous = synchronous;
  if (!memory) {
    struct stat st;
    if (stat(hostPath.c_str(), &st) != 0) {
      delete h;
      return iosb->Status = STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (S_ISDIR(st.st_mode) && (options & FILE_NON_DIRECTORY_FILE)) {
      delete h;
      return iosb->Status = STATUS_FILE_IS_A_DIRECTORY;
    }
    h->hostPath = hostPath;
    h->file = fopen(hostPath.c_str(), "rb");
    if (!h->file) {
      delete h;
      return iosb->Status = STATUS_ACCESS_DENIED;
    }
  }
  *out = InsertHandle(h);
  iosb->Status = STATUS_SUCCESS;
  iosb->Information = 1;  // FILE_OPENED
  return STATUS_SUCCESS;
}

NTSTATUS QueryStandard(HANDLE handle, PIO_STATUS_BLOCK iosb, PVOID info, ULONG length) {
  CheckPassive("ZwQueryInformationFile");
  NTSTATUS status;
  if (TakeFailure(Op::QueryInformation, status)) return iosb->Status = status;
  auto *h = dynamic_cast<FileHandle *>(LookupHandle(handle));
  if (!h) return STATUS_INVALID_HANDLE;
  if (length < sizeof(FILE_STANDARD_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
  const int64_t size = int64_t(h->Size());
  auto *fsi = static_cast<PFILE_STANDARD_INFORMATION>(info);
  memset(fsi, 0, sizeof *fsi);
  fsi->EndOfFile.QuadPart = size;
  fsi->AllocationSize.QuadPart = (size + 4095) & ~int64_t(4095);
  fsi->NumberOfLinks = 1;
  iosb->Status = STATUS_SUCCESS;
  iosb->Information = sizeof(FILE_STANDARD_INFORMATION);
  return STATUS_SUCCESS;
}

NTSTATUS Read(HANDLE handle, PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, PLARGE_INTEGER offset) {
  CheckPassive("ZwReadFile");
  NTSTATUS status;
  if (TakeFailure(Op::Read, status)) return iosb->Status = status;
  auto *h = dynamic_cast<FileHandle *>(LookupHandle(handle));
  if (!h) return STATUS_INVALID_HANDLE;
  if (!h->canRead) return iosb->Status = STATUS_ACCESS_DENIED;
  // ZwReadFile: without synchronous I/O the I/O manager keeps no position; the caller must give one.
  if (!h->synchronous && !offset) return iosb->Status = STATUS_INVALID_PARAMETER;
  std::optional<uint64_t> shrink;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    shrink.swap(g_shrink);
  }
  if (shrink) h->Shrink(*shrink);
  std::optional<uint64_t> at;
  if (offset) at = uint64_t(offset->QuadPart);
  const size_t n = h->ReadAt(at, buffer, length);
  if (n == 0 && length > 0) {
    iosb->Information = 0;
    return iosb->Status = STATUS_END_OF_FILE;
  }
  iosb->Status = STATUS_SUCCESS;
  iosb->Information = n;
  return STATUS_SUCCESS;
}

}  // namespace sim::files

extern "C" {

NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                      ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength) {
  (void)AllocationSize;
  (void)FileAttributes;
  (void)ShareAccess;
  (void)EaBuffer;
  (void)EaLength;
  return sim::files::Create(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, CreateDisposition, CreateOptions);
}

NTSTATUS ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation, ULONG Length,
                                FILE_INFORMATION_CLASS FileInformationClass) {
  if (FileInformationClass != FileStandardInformation) return STATUS_INVALID_PARAMETER;
  return sim::files::QueryStandard(FileHandle, IoStatusBlock, FileInformation, Length);
}

NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key) {
  (void)Event;
  (void)ApcRoutine;
  (void)ApcContext;
  (void)Key;
  return sim::files::Read(FileHandle, IoStatusBlock, Buffer, Length, ByteOffset);
}

}  // extern "C"
