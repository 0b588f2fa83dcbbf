// The system version RtlGetVersion reports.
#pragma once
#include <cstdint>

namespace sim {

struct OsVersionSetting {
  uint32_t major = 10;
  uint32_t minor = 0;
  uint32_t build = 19045;
  bool fail = false;
};

void SetOsVersion(uint32_t major, uint32_t minor, uint32_t build = 0);
void FailGetVersion();
OsVersionSetting GetOsVersion();
void ResetOsVersion();

}  // namespace sim
