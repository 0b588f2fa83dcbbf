#include "files.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <vector>

#include "kernel_handles.h"
#include "verifier.h"

namespace sim::files {
namespace {

std::mutex g_lock;
std::string g_root;
std::map<Op, NTSTATUS> g_fail;

struct FileHandle : KernelObject {
  FILE *file = nullptr;
  ~FileHandle() override {
    if (file) fclose(file);
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

// Maps "\SystemRoot\a\b" to a host path; the status says why it cannot.
NTSTATUS Resolve(const std::u16string &name, std::string &hostPath) {
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

void FailNext(Op op, NTSTATUS status) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_fail[op] = status;
}

void Reset() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_root.clear();
  g_fail.clear();
}

NTSTATUS Create(PHANDLE out, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK iosb, ULONG disposition, ULONG options) {
  CheckPassive("ZwCreateFile");
  NTSTATUS status;
  if (TakeFailure(Op::Create, status)) return iosb->Status = status;
  if (!attributes || attributes->Length != sizeof(OBJECT_ATTRIBUTES) || !attributes->ObjectName ||
      attributes->RootDirectory)
    return iosb->Status = STATUS_INVALID_PARAMETER;
  if (disposition != FILE_OPEN) return iosb->Status = STATUS_NOT_SUPPORTED;  // the substitute's files are read-only
  std::string hostPath;
  std::u16string name(attributes->ObjectName->Buffer, attributes->ObjectName->Length / 2);
  status = Resolve(name, hostPath);
  if (status != STATUS_SUCCESS) return iosb->Status = status;
  struct stat st;
  if (stat(hostPath.c_str(), &st) != 0) return iosb->Status = STATUS_OBJECT_NAME_NOT_FOUND;
  if (S_ISDIR(st.st_mode) && (options & FILE_NON_DIRECTORY_FILE)) return iosb->Status = STATUS_FILE_IS_A_DIRECTORY;
  auto *h = new FileHandle;
  h->file = fopen(hostPath.c_str(), "rb");
  if (!h->file) {
    delete h;
    return iosb->Status = STATUS_ACCESS_DENIED;
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
  struct stat st;
  fstat(fileno(h->file), &st);
  auto *fsi = static_cast<PFILE_STANDARD_INFORMATION>(info);
  memset(fsi, 0, sizeof *fsi);
  fsi->EndOfFile.QuadPart = st.st_size;
  fsi->AllocationSize.QuadPart = (st.st_size + 4095) & ~int64_t(4095);
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
  if (offset) fseek(h->file, long(offset->QuadPart), SEEK_SET);
  size_t n = fread(buffer, 1, length, h->file);
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
  (void)DesiredAccess;
  (void)AllocationSize;
  (void)FileAttributes;
  (void)ShareAccess;
  (void)EaBuffer;
  (void)EaLength;
  return sim::files::Create(FileHandle, ObjectAttributes, IoStatusBlock, CreateDisposition, CreateOptions);
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
