// Pool tags of the driver's allocations, one per kind of block.
#pragma once
#include "platform/platform.h"

constexpr ULONG PoolTag(const char (&s)[5]) {
  return ULONG(UCHAR(s[0])) | ULONG(UCHAR(s[1])) << 8 | ULONG(UCHAR(s[2])) << 16 | ULONG(UCHAR(s[3])) << 24;
}

constexpr ULONG TAG_FIRMWARE = PoolTag("XR01");
constexpr ULONG TAG_PIPE_STATISTICS = PoolTag("XR02");
constexpr ULONG TAG_INTERFACE_CONTEXT = PoolTag("XR03");
constexpr ULONG TAG_PIPE_CONTEXT = PoolTag("XR04");
constexpr ULONG TAG_STORED_CONFIG_DESCRIPTOR = PoolTag("XR05");
constexpr ULONG TAG_INTERFACE_LIST = PoolTag("XR06");
constexpr ULONG TAG_ALTERNATE_SETTING = PoolTag("XR07");
constexpr ULONG TAG_CONFIG_DESCRIPTOR_READ = PoolTag("XR08");
constexpr ULONG TAG_OPEN_HANDLE = PoolTag("XR09");
constexpr ULONG TAG_TRANSFER_POOL = PoolTag("XR10");
constexpr ULONG TAG_REGISTRY_STRING = PoolTag("XR11");
constexpr ULONG TAG_REGISTRY_SCRATCH = PoolTag("Cfg ");
