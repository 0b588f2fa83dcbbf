// The seed writers' one output: each seed a file "seed<n>" in the directory named by the
// program's only argument.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The program's exit status: 2 without a directory, 1 when a file could not be written.
inline int WriteSeedFiles(int argc, char **argv, const std::vector<std::vector<uint8_t>> &seeds) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s <directory>\n", argv[0]);
    return 2;
  }
  for (size_t i = 0; i < seeds.size(); ++i) {
    const std::string path = std::string(argv[1]) + "/seed" + std::to_string(i);
    FILE *f = fopen(path.c_str(), "wb");
    if (!f || fwrite(seeds[i].data(), 1, seeds[i].size(), f) != seeds[i].size() || fclose(f) != 0) {
      fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
