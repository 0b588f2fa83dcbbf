// Writing URB traces as a pcap file of link type 249 (USBPcap), the format Wireshark reads
// from Windows captures: each transfer as its submission and its completion.
#pragma once
#include <cstdint>
#include <cstdio>
#include <vector>

#include "xrusb/sim.hpp"

namespace xrusb::sim::detail {

struct CaptureDevice {
  uint16_t address = 0;  // USBPcap's "device": one number per plugged device
  std::vector<Transfer> transfers;
};

// 'epochMs' is the wall-clock time of the machine clock's 0. False when the file failed.
bool WriteUsbPcap(std::FILE *file, const std::vector<CaptureDevice> &devices, double epochMs);

}  // namespace xrusb::sim::detail
