// Memory descriptor lists. In the substitute every address is already a system address, so
// mapping returns the buffer's own address; the flags and the checks follow Windows.
#include <cstdlib>
#include <deque>
#include <new>
#include <string>
#include <unordered_set>

#include "faults.h"
#include "io_manager.h"
#include "irp_internal.h"
#include "quarantine.h"
#include "threads.h"
#include "verifier.h"


#ifndef MDL_WRITE_OPERATION
#define MDL_WRITE_OPERATION 0x0080
#endif

namespace sim::io {
namespace {

struct MdlHeader {
  PMDL mdl;
  size_t allocationSize;
  ULONG capacityPages;
  bool userBuffer;   // locked by the I/O manager for a caller; released with its IRP
  bool mappedByMm;   // a MmMapLockedPagesSpecifyCache mapping of this MDL is outstanding
  uint64_t serial;   // tells this MDL from a later one at the same address
  PMDL source;       // a partial MDL's source, and that source's serial
  uint64_t sourceSerial;
};

constexpr size_t kHeaderSlot = (sizeof(MdlHeader) + 15) & ~size_t(15);
Quarantine<MDL> g_mdls(1024);
uint64_t g_mdlSerial = 0;

MdlHeader *HeaderOf(PMDL mdl) { return reinterpret_cast<MdlHeader *>(reinterpret_cast<char *>(mdl) - kHeaderSlot); }
ULONG_PTR *Pages(PMDL mdl) { return reinterpret_cast<ULONG_PTR *>(mdl + 1); }

ULONG_PTR PageAlign(const void *va) { return ULONG_PTR(va) & ~ULONG_PTR(PAGE_SIZE - 1); }
ULONG SpanPages(const void *va, ULONG length) {
  return ULONG(((ULONG_PTR(va) & (PAGE_SIZE - 1)) + ULONG_PTR(length) + PAGE_SIZE - 1) >> PAGE_SHIFT);
}
char *MdlVa(PMDL mdl) { return static_cast<char *>(mdl->StartVa) + mdl->ByteOffset; }

// Page frame numbers are only the pages' numbers in the host's address space.
void FillPages(PMDL mdl) {
  ULONG n = SpanPages(MdlVa(mdl), mdl->ByteCount);
  ULONG_PTR first = ULONG_PTR(mdl->StartVa) >> PAGE_SHIFT;
  for (ULONG i = 0; i < n; ++i) Pages(mdl)[i] = first + i;
}

PMDL NewMdl(PVOID va, ULONG length, bool userBuffer) {
  ULONG pages = SpanPages(va, length);
  size_t total = kHeaderSlot + sizeof(MDL) + size_t(pages) * sizeof(ULONG_PTR);
  void *base = calloc(1, total);
  if (!base) abort();
  auto *h = new (base) MdlHeader{};
  PMDL mdl = reinterpret_cast<PMDL>(static_cast<char *>(base) + kHeaderSlot);
  h->mdl = mdl;
  h->allocationSize = total;
  h->capacityPages = pages;
  h->userBuffer = userBuffer;
  // MmInitializeMdl
  mdl->Size = CSHORT(sizeof(MDL) + size_t(pages) * sizeof(ULONG_PTR));
  mdl->MdlFlags = MDL_ALLOCATED_FIXED_SIZE;
  mdl->StartVa = reinterpret_cast<PVOID>(PageAlign(va));
  mdl->ByteOffset = ULONG(ULONG_PTR(va) & (PAGE_SIZE - 1));
  mdl->ByteCount = length;
  std::lock_guard<std::mutex> guard(IrpLock());
  h->serial = ++g_mdlSerial;
  g_mdls.Add(mdl);
  return mdl;
}

MdlHeader *LiveLocked(PMDL mdl, const char *what, const char *checkWhenFreed = check::kBadObject) {
  if (mdl && g_mdls.IsLive(mdl)) return HeaderOf(mdl);
  if (mdl && g_mdls.WasFreed(mdl))
    VerifierFail(checkWhenFreed, "%s: MDL %p was already freed", what, static_cast<void *>(mdl));
  VerifierFail(check::kBadObject, "%s: %p is not an MDL", what, static_cast<void *>(mdl));
}

// The pages a partial MDL describes stay locked only while its source does (learn.microsoft.com,
// IoBuildPartialMdl: the target is valid only as long as the source MDL).
void CheckSourceLiveLocked(PMDL mdl, const char *what) {
  for (MdlHeader *h = HeaderOf(mdl); h->source; h = HeaderOf(h->source))
    if (!g_mdls.IsLive(h->source) || HeaderOf(h->source)->serial != h->sourceSerial)
      VerifierFail(check::kStalePartialMdl, "%s: partial MDL %p describes pages of MDL %p, which was released", what,
                   static_cast<void *>(mdl), static_cast<void *>(h->source));
}

void UnmapLocked(MdlHeader *h) {
  h->mappedByMm = false;
  h->mdl->MdlFlags &= ~(MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED);
}

void ReleaseLocked(MdlHeader *h) {
  PMDL mdl = h->mdl;
  size_t size = h->allocationSize;
  g_mdls.Retire(mdl, h, size);
}

void CheckIrql(const char *what) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    VerifierFail(check::kIrqlMisuse, "%s at IRQL %u", what, KeGetCurrentIrql());
}

}  // namespace

void ReleaseMdlChain(PMDL mdl) {
  while (mdl) {
    std::lock_guard<std::mutex> guard(IrpLock());
    MdlHeader *h = LiveLocked(mdl, "releasing the MDLs of a completed IRP", check::kPoolDoubleFree);
    PMDL next = mdl->Next;
    // MmUnlockPages also undoes a system mapping.
    UnmapLocked(h);
    mdl->MdlFlags &= ~MDL_PAGES_LOCKED;
    ReleaseLocked(h);
    mdl = next;
  }
}

void CheckMdlsFreed() {
  std::string list;
  size_t n = 0;
  {
    std::lock_guard<std::mutex> guard(IrpLock());
    for (PMDL m : g_mdls.Live()) {
      if (++n > 8) continue;
      char buf[96];
      snprintf(buf, sizeof buf, " [MDL %p, %u bytes%s]", static_cast<void *>(m), m->ByteCount,
               HeaderOf(m)->userBuffer ? ", a caller's buffer" : "");
      list += buf;
    }
  }
  if (n) VerifierFail(check::kLeakAtEnd, "%zu MDL(s) never freed:%s", n, list.c_str());
}

void ResetMdlTracking() {
  std::lock_guard<std::mutex> guard(IrpLock());
  g_mdls.Reset([](PMDL m) { free(HeaderOf(m)); });
}

}  // namespace sim::io

namespace sim {

PMDL BuildMdlForUserBuffer(PVOID buffer, ULONG length, bool writeAccess) {
  if (ShouldFail(AllocKind::Mdl, __builtin_return_address(0))) return nullptr;
  PMDL mdl = io::NewMdl(buffer, length, true);
  std::lock_guard<std::mutex> guard(io::IrpLock());
  // As MmProbeAndLockPages leaves it.
  mdl->Process = IoGetCurrentProcess();
  mdl->MdlFlags |= MDL_PAGES_LOCKED | (writeAccess ? MDL_WRITE_OPERATION : 0);
  io::FillPages(mdl);
  return mdl;
}

void FreeMdlChain(PMDL mdl) { io::ReleaseMdlChain(mdl); }

void CheckMdlUsable(PMDL mdl, const char *what) {
  std::lock_guard<std::mutex> guard(io::IrpLock());
  io::LiveLocked(mdl, what);
  io::CheckSourceLiveLocked(mdl, what);
}

size_t MdlsOutstanding() {
  std::lock_guard<std::mutex> guard(io::IrpLock());
  return io::g_mdls.Live().size();
}

}  // namespace sim

using namespace sim;
using namespace sim::io;

extern "C" {

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp) {
  (void)ChargeQuota;
  CheckIrql("IoAllocateMdl");
  if (Length & 0x80000000u) return nullptr;
  if (ShouldFail(AllocKind::Mdl, __builtin_return_address(0))) return nullptr;
  PMDL mdl = NewMdl(VirtualAddress, Length, false);
  if (Irp) {
    std::lock_guard<std::mutex> guard(IrpLock());
    LiveHeaderLocked(Irp, "IoAllocateMdl");
    if (!SecondaryBuffer || !Irp->MdlAddress) {
      Irp->MdlAddress = mdl;
    } else {
      PMDL last = Irp->MdlAddress;
      while (last->Next) last = last->Next;
      last->Next = mdl;
    }
  }
  return mdl;
}

VOID IoFreeMdl(PMDL Mdl) {
  CheckIrql("IoFreeMdl");
  std::lock_guard<std::mutex> guard(IrpLock());
  MdlHeader *h = LiveLocked(Mdl, "IoFreeMdl", check::kPoolDoubleFree);
  if (h->userBuffer)
    VerifierFail(check::kBadObject, "IoFreeMdl on MDL %p, which locks a caller's buffer for the I/O manager",
                 static_cast<void *>(Mdl));
  // MmPrepareMdlForReuse: a partial MDL's own mapping goes with it.
  if (Mdl->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED)
    UnmapLocked(h);
  else if (h->mappedByMm)
    VerifierFail(check::kBadObject, "IoFreeMdl on MDL %p while it is still mapped", static_cast<void *>(Mdl));
  ReleaseLocked(h);
}

VOID IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
  CheckIrql("IoBuildPartialMdl");
  std::lock_guard<std::mutex> guard(IrpLock());
  MdlHeader *source = LiveLocked(SourceMdl, "IoBuildPartialMdl source");
  CheckSourceLiveLocked(SourceMdl, "IoBuildPartialMdl source");
  MdlHeader *target = LiveLocked(TargetMdl, "IoBuildPartialMdl target");
  if (!(SourceMdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL)))
    VerifierFail(check::kBadObject, "IoBuildPartialMdl: source MDL %p does not describe locked pages",
                 static_cast<void *>(SourceMdl));
  if (target->mappedByMm)
    VerifierFail(check::kBadObject, "IoBuildPartialMdl: target MDL %p is still mapped", static_cast<void *>(TargetMdl));
  char *base = MdlVa(SourceMdl);
  char *va = static_cast<char *>(VirtualAddress);
  if (va < base || va > base + SourceMdl->ByteCount)
    VerifierFail(check::kBadObject, "IoBuildPartialMdl: address %p lies outside source MDL %p (%p, %u bytes)",
                 VirtualAddress, static_cast<void *>(SourceMdl), static_cast<void *>(base), SourceMdl->ByteCount);
  ULONG offset = ULONG(va - base);
  if (Length == 0) Length = SourceMdl->ByteCount - offset;
  if (ULONG_PTR(offset) + Length > SourceMdl->ByteCount)
    VerifierFail(check::kBadObject, "IoBuildPartialMdl: %u bytes at offset %u exceed source MDL %p (%u bytes)", Length,
                 offset, static_cast<void *>(SourceMdl), SourceMdl->ByteCount);
  ULONG pages = SpanPages(va, Length);
  if (pages > target->capacityPages)
    VerifierFail(check::kBadObject, "IoBuildPartialMdl: target MDL %p describes at most %u pages, %u needed",
                 static_cast<void *>(TargetMdl), target->capacityPages, pages);

  TargetMdl->MdlFlags = CSHORT((TargetMdl->MdlFlags & MDL_ALLOCATED_FIXED_SIZE) | MDL_PARTIAL |
                               (SourceMdl->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA | MDL_IO_SPACE)));
  TargetMdl->StartVa = reinterpret_cast<PVOID>(PageAlign(va));
  TargetMdl->ByteOffset = ULONG(ULONG_PTR(va) & (PAGE_SIZE - 1));
  TargetMdl->ByteCount = Length;
  TargetMdl->Process = SourceMdl->Process;
  TargetMdl->MappedSystemVa = (SourceMdl->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA))
                                  ? static_cast<char *>(SourceMdl->MappedSystemVa) + offset
                                  : nullptr;
  target->source = SourceMdl;
  target->sourceSerial = source->serial;
  ULONG firstPage = ULONG((PageAlign(va) - ULONG_PTR(SourceMdl->StartVa)) >> PAGE_SHIFT);
  for (ULONG i = 0; i < pages; ++i) Pages(TargetMdl)[i] = Pages(SourceMdl)[firstPage + i];
}

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  CheckIrql("MmBuildMdlForNonPagedPool");
  std::lock_guard<std::mutex> guard(IrpLock());
  LiveLocked(MemoryDescriptorList, "MmBuildMdlForNonPagedPool")->source = nullptr;
  PMDL mdl = MemoryDescriptorList;
  if (mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL | MDL_MAPPED_TO_SYSTEM_VA))
    VerifierFail(check::kBadObject, "MmBuildMdlForNonPagedPool: MDL %p already describes locked or mapped pages",
                 static_cast<void *>(mdl));
  mdl->Process = nullptr;
  mdl->MappedSystemVa = MdlVa(mdl);
  mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
  FillPages(mdl);
}

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress, ULONG BugCheckOnFailure,
                                   ULONG Priority) {
  (void)CacheType;
  (void)Priority;
  PMDL mdl = MemoryDescriptorList;
  CheckIrql("MmMapLockedPagesSpecifyCache");
  if (AccessMode != KernelMode || RequestedAddress)
    VerifierFail(check::kBadObject, "MmMapLockedPagesSpecifyCache: only kernel-mode mappings at an address of the "
                                    "system's choice are supported");
  {
    std::lock_guard<std::mutex> guard(IrpLock());
    LiveLocked(mdl, "MmMapLockedPagesSpecifyCache");
    CheckSourceLiveLocked(mdl, "MmMapLockedPagesSpecifyCache");
    if (mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) return MdlVa(mdl);
    if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_PARTIAL)))
      VerifierFail(check::kBadObject, "MmMapLockedPagesSpecifyCache: the pages of MDL %p are not locked",
                   static_cast<void *>(mdl));
    if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)
      VerifierFail(check::kBadObject, "MmMapLockedPagesSpecifyCache: MDL %p is already mapped", static_cast<void *>(mdl));
  }
  // A caller that asked for a bug check on failure never sees one fail.
  if (!BugCheckOnFailure && ShouldFail(AllocKind::Mdl, __builtin_return_address(0))) return nullptr;
  std::lock_guard<std::mutex> guard(IrpLock());
  MdlHeader *h = LiveLocked(mdl, "MmMapLockedPagesSpecifyCache");
  h->mappedByMm = true;
  mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA | ((mdl->MdlFlags & MDL_PARTIAL) ? MDL_PARTIAL_HAS_BEEN_MAPPED : 0);
  mdl->MappedSystemVa = MdlVa(mdl);
  return mdl->MappedSystemVa;
}

VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
  CheckIrql("MmUnmapLockedPages");
  std::lock_guard<std::mutex> guard(IrpLock());
  MdlHeader *h = LiveLocked(MemoryDescriptorList, "MmUnmapLockedPages");
  if (!h->mappedByMm || BaseAddress != MemoryDescriptorList->MappedSystemVa)
    VerifierFail(check::kBadObject, "MmUnmapLockedPages: MDL %p is not mapped at %p",
                 static_cast<void *>(MemoryDescriptorList), BaseAddress);
  UnmapLocked(h);
}

}  // extern "C"
