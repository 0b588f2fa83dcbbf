// Waiting for what another thread brings about: with a bound, so that a lost wake-up fails the
// test instead of hanging it.
#pragma once
#include <chrono>
#include <thread>

namespace support {

// True once 'done' holds; false when it still does not after ten seconds.
template <class Pred>
bool AwaitUntil(Pred done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done())
    if (std::chrono::steady_clock::now() > end) return false;
    else std::this_thread::yield();
  return true;
}

}  // namespace support
