// Printing for the demo's report, and the pieces of the simulated machine its sections share.
#pragma once
#include <chrono>
#include <cstdio>
#include <string>
#include <system_error>

#include "sim/usb/test_device.h"
#include "xrusb/sim.hpp"
#include "xrusb/xrusb.hpp"

namespace demo {

struct Machine {
  xrusb::sim::Machine *machine = nullptr;  // the simulated machine
  xrusb::sim::DeviceId id = 0;             // the test device in it
  PDEVICE_OBJECT pdo = nullptr;   // the test device on the simulated bus
  sim::usb::TestDevice device;    // and what it counted
  std::u16string path;            // its interface path, as the application found it
};

using Clock = std::chrono::steady_clock;
inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

inline void Section(const char *title) { std::printf("\n== %s\n", title); }

// "STATUS_CANCELLED (the request was cancelled)" or "ok".
inline std::string Outcome(const std::error_code &ec) { return ec ? ec.message() : "ok"; }

void Describe(xrusb::Device &device);
void BulkLoopback(const Machine &m, size_t totalBytes, size_t requestBytes, size_t inFlight);
void InterruptStream(const Machine &m, std::chrono::milliseconds duration);
void IsoStream(const Machine &m, std::chrono::milliseconds duration);
void AbortAndCancel(const Machine &m);
void SleepWithStream(const Machine &m, xrusb::Device &device);
void UnplugInFlight(const Machine &m, xrusb::Device &device);
// 0 when the loaded firmware came back and answered as loaded.
int FirmwareLoop(PDRIVER_OBJECT driver);

}  // namespace demo
