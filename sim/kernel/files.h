// Files under \SystemRoot, served from a host directory the test chooses.
#pragma once
#include <string>

#include "platform/platform.h"

namespace sim::files {

// The host directory that "\SystemRoot" names; empty: no file can be opened.
void SetSystemRoot(const std::string &hostDirectory);
std::string SystemRoot();

enum class Op { Create, QueryInformation, Read };
// The next call of 'op' fails with 'status'.
void FailNext(Op op, NTSTATUS status);
void Reset();

}  // namespace sim::files
