#include "version.h"

#include <mutex>

namespace sim {
namespace {
std::mutex g_lock;
OsVersionSetting g_version;
}  // namespace

void SetOsVersion(uint32_t major, uint32_t minor, uint32_t build) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_version = OsVersionSetting{major, minor, build, false};
}

void FailGetVersion() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_version.fail = true;
}

OsVersionSetting GetOsVersion() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_version;
}

void ResetOsVersion() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_version = OsVersionSetting{};
}

}  // namespace sim
