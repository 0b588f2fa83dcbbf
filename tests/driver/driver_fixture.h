// A world with the driver loaded and a bare physical device object whose hardware key the
// test fills, as an installation would.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "driver/core/driver.h"
#include "driver/core/parameters.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/registry.h"
#include "sim/kernel/world.h"

namespace xrtest {

inline NTSTATUS BusEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

class DriverWorld {
 public:
  explicit DriverWorld(const sim::WorldOptions &options = {}) : world_(options) {
    bus = sim::LoadDriver(BusEntry, u"\\Driver\\testbus");
    EXPECT_EQ(IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo), STATUS_SUCCESS);
    sim::registry::SetDeviceKey(pdo, key);
  }
  ~DriverWorld() {
    if (driver) sim::UnloadDriver(driver);
    IoDeleteDevice(pdo);
    sim::UnloadDriver(bus);
  }
  PDRIVER_OBJECT Load() {
    driver = sim::LoadDriver(DriverEntry, u"\\Driver\\xrusb");
    return driver;
  }

  const std::u16string key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678\\7";
  PDRIVER_OBJECT bus = nullptr;
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT pdo = nullptr;

 private:
  sim::World world_;
};

// Reads the parameters and frees the strings when it goes.
struct ReadBlock {
  DriverParameters p{};
  NTSTATUS status;
  ReadBlock(DriverWorld &w) { status = ReadParameters(w.driver, w.pdo, &p); }
  ~ReadBlock() { FreeParameterStrings(&p); }
};

}  // namespace xrtest
