// The HEX checker reads a file as the driver does and says where it would fail; the fix writes
// what the project's own HEX writer writes for the same memory.
#include <gtest/gtest.h>

#include "sim/usb/intel_hex.h"
#include "tools/fxhex/fxhex.h"

namespace {

std::span<const uint8_t> Span(const std::string &s) { return {reinterpret_cast<const uint8_t *>(s.data()), s.size()}; }

std::vector<std::string> Formatted(const fxhex::CheckResult &r) {
  std::vector<std::string> out;
  for (const fxhex::Finding &f : r.findings) out.push_back(fxhex::Format("fw.hex", f));
  return out;
}

// Warnings for what the driver does not look at; then the one error, where the driver fails and
// in its words.
TEST(FxHexCheck, WarnsOfChecksumsOverlapsAndTheBaseThenFailsWhereTheDriverFails) {
  const std::string hex = ":021FFF00AABB00\n:01200000CC13\n:01200000558A\n:00000001FF\n";
  const fxhex::CheckResult r = fxhex::Check(Span(hex));
  EXPECT_TRUE(r.loads);
  EXPECT_EQ(std::make_tuple(r.records, r.internalBytes, r.externalBytes), std::make_tuple(3u, 2u, 2u));
  EXPECT_EQ(Formatted(r),
            (std::vector<std::string>{
                "fw.hex:1:1: warning: checksum error: 0x00, the record's bytes give 0x7B (the driver loads it anyway)",
                "fw.hex:1:1: warning: record 0x1FFF-0x2000 runs across FxExtRamBase 0x2000: all of it goes to internal memory",
                "fw.hex:2:1: warning: record at 0x2000 overlaps an earlier record",
                "fw.hex:3:1: warning: record at 0x2000 overlaps an earlier record"}));
  EXPECT_EQ(fxhex::Check(Span(hex), 0).externalBytes, 4u);

  const fxhex::CheckResult cut = fxhex::Check(Span(":01200000CC13\n  :00000001FF"));
  EXPECT_FALSE(cut.loads);
  EXPECT_EQ(Formatted(cut), std::vector<std::string>{"fw.hex:2:3: error: Invalid firmware file: unexpected EOF."});
}

// What toolchains write: an extended address of 0 first, lower case, a start address, no final
// line end. The fix writes the project writer's text for the same memory, which the driver loads.
TEST(FxHexFix, NormalisesToolchainOutputAndRefusesWhatItCannotMend) {
  const std::vector<sim::usb::HexSegment> memory = {{0x0000, {0x02, 0x00, 0x40}}, {0x2000, std::vector<uint8_t>(40, 0xA5)}};
  const std::string body = sim::usb::WriteIntelHex(memory, {.lowercase = true, .lineEnd = "\n", .endRecord = false});
  const fxhex::FixResult fixed = fxhex::Fix(Span(":020000040000FA\n" + body + ":0400000500000000F7\n:00000001FF"));
  ASSERT_TRUE(fixed.ok);
  EXPECT_EQ(fixed.text, sim::usb::WriteIntelHex(memory));
  EXPECT_EQ(fixed.changes, (std::vector<std::string>{"line 1: extended address record of 0 dropped",
                                                     "line 6: start address record dropped"}));
  EXPECT_TRUE(fxhex::Check(Span(fixed.text)).loads);

  struct Row {
    std::string hex, outcome;  // the fixed text, or the reason it was refused
  };
  const Row rows[] = {
      {":020000020100FB\n:01000000AA55\n:00000001FF\n", ":01100000AA45\r\n:00000001FF\r\n"},
      {":020000040001F9\n:01000000AA55\n:00000001FF\n", "line 2: data at 0x10000 needs addresses above 64 KiB"},
      {":02FFFF00AABB9B\n:00000001FF\n", "line 1: data at 0xFFFF needs addresses above 64 KiB"},
      {":01000000AA00\n:00000001FF\n", "line 1: checksum error; the file may be damaged"},
      {":00000006FA\n:00000001FF\n", "line 1: unknown record type 0x06"},
      {":01000000AA55\n", "no end-of-file record: the file may be cut short"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.hex);
    const fxhex::FixResult f = fxhex::Fix(Span(r.hex));
    EXPECT_EQ(f.ok ? f.text : f.changes.back(), r.outcome);
  }
}

}  // namespace
