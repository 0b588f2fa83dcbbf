// MDLs: description of a range, chaining to an IRP, partial MDLs, mapping and its failure. The
// MDL of a caller's buffer, written through and freed with its IRP, the application side's direct
// I/O test shows end to end.
#include <cstdlib>

#include "tests/support/dispatch_stack.h"
#include "sim/kernel/faults.h"

using namespace support;

namespace {

class IoMdlTest : public IoTest {
 protected:
  void SetUp() override {
    IoTest::SetUp();
    buffer_ = static_cast<char *>(aligned_alloc(PAGE_SIZE, 4 * PAGE_SIZE));
    memset(buffer_, 0, 4 * PAGE_SIZE);
  }
  void TearDown() override { free(buffer_); }
  PVOID Map(PMDL mdl) { return MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority); }
  char *buffer_ = nullptr;
};

TEST_F(IoMdlTest, AllocatedMdlDescribesItsRangeAndChainsToTheIrp) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  PMDL primary = IoAllocateMdl(buffer_ + 0x10, 0x2000, FALSE, FALSE, irp);
  EXPECT_EQ(buffer_, primary->StartVa);
  EXPECT_EQ(0x10u, MmGetMdlByteOffset(primary));
  EXPECT_EQ(0x2000u, MmGetMdlByteCount(primary));
  EXPECT_EQ(CSHORT(sizeof(MDL) + 3 * sizeof(ULONG_PTR)), primary->Size) << "0x2000 bytes at offset 0x10 span 3 pages";
  PMDL second = IoAllocateMdl(buffer_, 0x100, TRUE, FALSE, irp);
  PMDL third = IoAllocateMdl(buffer_, 0x100, TRUE, FALSE, irp);
  EXPECT_EQ(primary, irp->MdlAddress);
  EXPECT_EQ(second, primary->Next);
  EXPECT_EQ(third, second->Next);
  // A driver's MDLs stay its own: IoFreeIrp leaves them (freeing them twice would be caught).
  IoFreeIrp(irp);
  for (PMDL m : {primary, second, third}) IoFreeMdl(m);

  EXPECT_EQ(nullptr, IoAllocateMdl(buffer_, 0x80000000u, FALSE, FALSE, nullptr));
  sim::FailNth(sim::AllocKind::Mdl, 1);
  EXPECT_EQ(nullptr, IoAllocateMdl(buffer_, 16, FALSE, FALSE, nullptr));
}

TEST_F(IoMdlTest, PartialMdlsShareTheSourcesMappingOrMakeTheirOwn) {
  PMDL source = sim::BuildMdlForUserBuffer(buffer_, 3 * PAGE_SIZE, true);
  ASSERT_TRUE(source->MdlFlags & MDL_PAGES_LOCKED);

  // Built before the source is mapped: the partial MDL maps itself; IoFreeMdl undoes that.
  PMDL early = IoAllocateMdl(buffer_, 3 * PAGE_SIZE, FALSE, FALSE, nullptr);
  IoBuildPartialMdl(source, early, buffer_ + 0x1800, 0);
  EXPECT_EQ(0x1800u, MmGetMdlByteCount(early)) << "length 0 runs to the source's end";
  EXPECT_EQ(0x800u, MmGetMdlByteOffset(early));
  EXPECT_EQ(buffer_ + 0x1000, early->StartVa);
  EXPECT_FALSE(early->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  EXPECT_EQ(buffer_ + 0x1800, Map(early));
  IoFreeMdl(early);

  // Built after: it inherits the mapping and needs none of its own, so it cannot fail.
  EXPECT_EQ(buffer_, Map(source));
  PMDL late = IoAllocateMdl(buffer_, 3 * PAGE_SIZE, FALSE, FALSE, nullptr);
  IoBuildPartialMdl(source, late, buffer_ + 0x100, 0x200);
  EXPECT_TRUE(late->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  sim::FailNth(sim::AllocKind::Mdl, 1);
  EXPECT_EQ(buffer_ + 0x100, Map(late));
  IoFreeMdl(late);
  sim::ClearFaults();

  // Mapping fails when the fault says so.
  PMDL other = sim::BuildMdlForUserBuffer(buffer_ + PAGE_SIZE, 64, false);
  sim::FailNth(sim::AllocKind::Mdl, 1);
  EXPECT_EQ(nullptr, Map(other));
  EXPECT_EQ(buffer_ + PAGE_SIZE, Map(other));
  sim::FreeMdlChain(other);
  sim::FreeMdlChain(source);
}

TEST_F(IoMdlTest, MdlMisuseStopsTheRun) {
  PMDL source = sim::BuildMdlForUserBuffer(buffer_, 0x1000, false);
  PMDL partial = IoAllocateMdl(buffer_, 0x1000, FALSE, FALSE, nullptr);
  EXPECT_DEATH(IoBuildPartialMdl(source, partial, buffer_ + 0x800, 0x900), "exceed source MDL");
  EXPECT_DEATH(IoBuildPartialMdl(partial, source, buffer_, 0), "does not describe locked pages");
  EXPECT_DEATH(IoFreeMdl(source), "locks a caller's buffer");
  EXPECT_DEATH(Map(partial), "are not locked");
  EXPECT_DEATH(IoFreeMdl(partial); IoFreeMdl(partial), sim::check::kPoolDoubleFree);
  EXPECT_DEATH(IoFreeMdl(partial); sim::CheckAllIrpsCompleted(), "1 MDL\\(s\\) never freed");
  // A partial MDL outlives the pages its source locked: freeing it is all that is left to do.
  IoBuildPartialMdl(source, partial, buffer_ + 0x100, 0x100);
  EXPECT_DEATH(sim::FreeMdlChain(source); Map(partial), sim::check::kStalePartialMdl);
  EXPECT_DEATH(sim::FreeMdlChain(source); sim::CheckMdlUsable(partial, "the bus"), sim::check::kStalePartialMdl);
  IoFreeMdl(partial);
  sim::FreeMdlChain(source);
}

}  // namespace
