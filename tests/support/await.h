// A bounded wait for a state that another thread brings about, for tests on any thread.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace support {

// Success once 'done' holds; a failure naming 'what' after ten seconds.
template <typename Pred>
::testing::AssertionResult AwaitUntil(Pred done, const char *what = "the state awaited") {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return ::testing::AssertionFailure() << "never saw " << what;
    std::this_thread::yield();
  }
  return ::testing::AssertionSuccess();
}

}  // namespace support
