// A world with the driver loaded and a bare physical device object whose hardware key the
// test fills, as an installation would; devices are added above it as the Plug and Play
// manager adds them (allocations charged to the stack).
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/core/device_extension.h"
#include "driver/core/driver.h"
#include "driver/core/parameters.h"
#include "sim/kernel/error_log.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/pool.h"
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

inline NTSTATUS AddDeviceOn(DriverWorld &w, PDEVICE_OBJECT pdo) {
  sim::PoolOwnerScope owner(pdo);
  return w.driver->DriverExtension->AddDevice(w.driver, pdo);
}

// The record of the driver's device above 'pdo', null when there is none.
inline DeviceExtension *DeviceAbove(PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT top = sim::StackTop(pdo);
  return top == pdo ? nullptr : static_cast<DeviceExtension *>(top->DeviceExtension);
}

// Another physical device object on the test bus with the fixture's hardware key; the caller
// deletes it.
inline PDEVICE_OBJECT NewPdo(DriverWorld &w) {
  PDEVICE_OBJECT pdo = nullptr;
  EXPECT_EQ(IoCreateDevice(w.bus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo), STATUS_SUCCESS);
  sim::registry::SetDeviceKey(pdo, w.key);
  return pdo;
}

// The first text of each event-log entry, in order.
inline std::vector<std::string> LoggedTexts() {
  std::vector<std::string> out;
  for (const sim::LoggedEvent &e : sim::EventLog()) out.push_back(e.strings.empty() ? "" : sim::Narrow(e.strings[0]));
  return out;
}

}  // namespace xrtest
