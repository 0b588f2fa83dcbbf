// fxhex: checks an Intel HEX firmware file as the xrusb driver will load it, or writes a copy
// the driver accepts.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/fxhex/fxhex.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: fxhex check [--base ADDRESS] FILE   (ADDRESS: the device's FxExtRamBase, default 0x2000)\n"
               "       fxhex fix FILE OUT\n");
  return 2;
}

bool ReadFile(const char *name, std::vector<uint8_t> &bytes) {
  std::ifstream in(name, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

int CheckCommand(const char *name, uint32_t base) {
  std::vector<uint8_t> bytes;
  if (!ReadFile(name, bytes)) return std::fprintf(stderr, "%s: cannot read\n", name), 2;
  const fxhex::CheckResult r = fxhex::Check(bytes, base);
  for (const fxhex::Finding &f : r.findings) std::printf("%s\n", fxhex::Format(name, f).c_str());
  if (!r.loads) return std::printf("%s: the driver refuses this file\n", name), 1;
  std::printf("%s: loads: %u data records, %u bytes to internal and %u to external memory (FxExtRamBase 0x%X)\n", name,
              r.records, r.internalBytes, r.externalBytes, base);
  return 0;
}

int FixCommand(const char *name, const char *outName) {
  std::vector<uint8_t> bytes;
  if (!ReadFile(name, bytes)) return std::fprintf(stderr, "%s: cannot read\n", name), 2;
  const fxhex::FixResult r = fxhex::Fix(bytes);
  for (const std::string &change : r.changes) std::printf("%s: %s\n", name, change.c_str());
  if (!r.ok) return std::printf("%s: not fixed\n", name), 1;
  std::ofstream out(outName, std::ios::binary);
  out << r.text;
  if (!out.flush()) return std::fprintf(stderr, "%s: cannot write\n", outName), 2;
  std::printf("%s: written\n", outName);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && !std::strcmp(argv[1], "check")) return CheckCommand(argv[2], 0x2000);
  if (argc == 5 && !std::strcmp(argv[1], "check") && !std::strcmp(argv[2], "--base")) {
    char *end;
    const unsigned long base = std::strtoul(argv[3], &end, 0);
    if (*end || base > 0xFFFFFFFFul) return Usage();
    return CheckCommand(argv[4], uint32_t(base));
  }
  if (argc == 4 && !std::strcmp(argv[1], "fix")) return FixCommand(argv[2], argv[3]);
  return Usage();
}
