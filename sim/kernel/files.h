// Files under \SystemRoot: held in memory by the test, or served from a host directory it
// chooses. Read-only; opens, size queries and reads fail on demand.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace sim::files {

// The host directory that "\SystemRoot" names; empty: only files held in memory can be opened.
void SetSystemRoot(const std::string &hostDirectory);
std::string SystemRoot();

// A file held in memory at "\SystemRoot\" + path ("system32\drivers\fw.hex"; any case), any
// bytes. A 'size' beyond the bytes makes a sparse file whose rest reads as zeros. It hides a
// host file of the same name.
void PutFile(const std::string &path, std::vector<uint8_t> bytes, uint64_t size = 0);

enum class Op { Create, QueryInformation, Read };
// The next call of 'op' fails with 'status'.
void FailNext(Op op, NTSTATUS status);
// The file of the next read shrinks to 'size' bytes just before it, as when the file is
// replaced between a reader's size query and its read.
void ShrinkBeforeNextRead(uint64_t size);
void Reset();

}  // namespace sim::files
