// Device creation (names, interfaces, the fresh record, every failure logged and unwound) and
// the final teardown of a device.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "driver_fixture.h"
#include "driver/core/event_log.h"
#include "driver/core/pool_tags.h"
#include "include/xrusb/interface_guid.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/error_log.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/timers.h"
#include "tests/support/await.h"

namespace {

using xrtest::AddDeviceOn;
using xrtest::DeviceAbove;
using xrtest::DriverWorld;
using xrtest::LoggedTexts;
using xrtest::NewPdo;

constexpr GUID kDefaultGuid = XRUSB_DEFAULT_INTERFACE_GUID;
const std::u16string kUserGuidText = u"{6E0D1A53-3C7B-4E2A-9F11-2B3C4D5E6F70}";
constexpr GUID kUserGuid = {0x6E0D1A53, 0x3C7B, 0x4E2A, {0x9F, 0x11, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F, 0x70}};

// Nothing of a failed or torn-down device may remain.
void ExpectNothingLeft(PDEVICE_OBJECT pdo) {
  EXPECT_EQ(DeviceAbove(pdo), nullptr);
  EXPECT_TRUE(sim::DeviceNames().empty());
  EXPECT_TRUE(sim::SymbolicLinks().empty());
  EXPECT_EQ(sim::PoolBlocksOutstanding(), 0u);
  EXPECT_EQ(sim::registry::OpenKernelHandles(), 0u);
  EXPECT_EQ(sim::ErrorLogEntriesPending(), 0u);
}

// Numbers run from 0 to 126: the 128th device finds none, and a number comes free again when
// its device goes.
TEST(AddDevice, NumberedNamesUpToTheLimitAndTheNewDevice) {
  DriverWorld w;
  w.Load();
  sim::registry::SetString(w.key, u"DriverDeviceBaseName", u"Dev");
  std::vector<PDEVICE_OBJECT> pdos{w.pdo};
  for (int i = 1; i < 128; ++i) pdos.push_back(NewPdo(w));
  for (int i = 0; i < 127; ++i) ASSERT_EQ(AddDeviceOn(w, pdos[i]), STATUS_SUCCESS) << i;
  DeviceExtension *first = DeviceAbove(pdos[0]);
  EXPECT_EQ(sim::LookupDeviceByName(u"\\Device\\Dev0"), first->deviceObject);
  EXPECT_EQ(sim::LookupDeviceByName(u"\\DosDevices\\Dev0"), first->deviceObject);
  EXPECT_EQ(sim::LookupDeviceByName(u"\\DosDevices\\Dev126"), DeviceAbove(pdos[126])->deviceObject);
  PDEVICE_OBJECT fdo = first->deviceObject;
  EXPECT_EQ(fdo->Characteristics, ULONG(FILE_DEVICE_SECURE_OPEN));
  EXPECT_EQ(fdo->Flags & (DO_DIRECT_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING | DO_BUFFERED_IO | DO_EXCLUSIVE),
            ULONG(DO_DIRECT_IO | DO_POWER_PAGABLE));
  // Registered for applications to find once the device starts, not enabled yet.
  EXPECT_EQ(sim::RegisteredInterfaces(kDefaultGuid).size(), 127u);
  EXPECT_TRUE(sim::EnabledInterfaces(kDefaultGuid).empty());
  EXPECT_TRUE(sim::EventLog().empty());

  const uint64_t blocks = sim::PoolBlocksOutstanding();
  EXPECT_EQ(AddDeviceOn(w, pdos[127]), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(DeviceAbove(pdos[127]), nullptr);
  EXPECT_EQ(sim::PoolBlocksOutstanding(), blocks);
  EXPECT_EQ(LoggedTexts(), std::vector<std::string>{"Unable to create device object."});
  EXPECT_EQ(sim::EventLog()[0].messageId, uint32_t(EVENT_MSG_ERROR));

  TeardownDevice(first);
  EXPECT_EQ(sim::LookupDeviceByName(u"\\Device\\Dev0"), nullptr);
  EXPECT_FALSE(sim::SymbolicLinkExists(u"\\DosDevices\\Dev0"));
  ASSERT_EQ(AddDeviceOn(w, pdos[127]), STATUS_SUCCESS);
  EXPECT_EQ(sim::LookupDeviceByName(u"\\DosDevices\\Dev0"), DeviceAbove(pdos[127])->deviceObject);
  for (int i = 1; i < 128; ++i) TeardownDevice(DeviceAbove(pdos[i]));
  ExpectNothingLeft(w.pdo);
  for (int i = 1; i < 128; ++i) IoDeleteDevice(pdos[i]);
}

TEST(AddDevice, NamesAndInterfacesFollowTheParameters) {
  struct Case {
    const char *what;
    const char16_t *baseName;
    bool disableDefault;
    const char16_t *userGuid;
    bool defaultInterface, userInterface;
    const char *warning;
  } cases[] = {
      {"unnamed", nullptr, false, nullptr, true, false, nullptr},
      {"no interface at all", nullptr, true, nullptr, false, false, nullptr},
      {"user interface only", u"Dev", true, kUserGuidText.c_str(), false, true, nullptr},
      {"both interfaces", u"Dev", false, kUserGuidText.c_str(), true, true, nullptr},
      {"user GUID without braces", u"Dev", false, u"6E0D1A53-3C7B-4E2A-9F11-2B3C4D5E6F70", true, false,
       "Cannot convert user interface GUID string, invalid format."},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    DriverWorld w;
    w.Load();
    if (c.baseName) sim::registry::SetString(w.key, u"DriverDeviceBaseName", c.baseName);
    if (c.userGuid) sim::registry::SetString(w.key, u"DriverUserInterfaceGuid", c.userGuid);
    sim::registry::SetDword(w.key, u"DisableDefaultInterface", c.disableDefault);
    ASSERT_EQ(AddDeviceOn(w, w.pdo), STATUS_SUCCESS);
    DeviceExtension *dx = DeviceAbove(w.pdo);
    EXPECT_EQ(sim::DeviceNames(), c.baseName ? std::vector<std::u16string>{u"\\Device\\Dev0"}
                                             : std::vector<std::u16string>{});
    EXPECT_EQ(sim::SymbolicLinks().size(), c.baseName ? 1u : 0u);
    EXPECT_EQ(sim::RegisteredInterfaces(kDefaultGuid).size(), size_t(c.defaultInterface));
    EXPECT_EQ(sim::RegisteredInterfaces(kUserGuid).size(), size_t(c.userInterface));
    EXPECT_EQ(LoggedTexts(), c.warning ? std::vector<std::string>{c.warning} : std::vector<std::string>{});
    for (const sim::LoggedEvent &e : sim::EventLog()) EXPECT_EQ(e.messageId, uint32_t(EVENT_MSG_WARNING));

    SetInterfaceState(dx, TRUE);
    EXPECT_EQ(sim::EnabledInterfaces(kDefaultGuid).size(), size_t(c.defaultInterface));
    EXPECT_EQ(sim::EnabledInterfaces(kUserGuid).size(), size_t(c.userInterface));
    SetInterfaceState(dx, FALSE);
    EXPECT_TRUE(sim::EnabledInterfaces(kDefaultGuid).empty());
    EXPECT_TRUE(sim::EnabledInterfaces(kUserGuid).empty());
    TeardownDevice(dx);
    ExpectNothingLeft(w.pdo);
  }
}

TEST(AddDevice, EachFailureIsLoggedAndUnwound) {
  const std::u16string base105(105, u'n');
  struct Case {
    const char *what;
    void (*arrange)(DriverWorld &);
    std::u16string baseName;
    NTSTATUS status;
    std::vector<std::string> log;
  } cases[] = {
      {"registry key", [](DriverWorld &) { sim::FailNth(sim::AllocKind::RegistryKey, 1); }, u"Dev",
       STATUS_UNSUCCESSFUL, {"Unable to open device-specific registry key."}},
      {"name too long for its link", nullptr, base105 + u"n", STATUS_OBJECT_NAME_INVALID,
       {"Unable to create device object."}},
      {"link taken by someone else",
       [](DriverWorld &) {
         UNICODE_STRING link, target;
         RtlInitUnicodeString(&link, u"\\DosDevices\\Dev0");
         RtlInitUnicodeString(&target, u"\\Device\\Elsewhere");
         ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
       },
       u"Dev", STATUS_OBJECT_NAME_COLLISION, {"Unable to create symbolic link for device object."}},
      {"default interface", [](DriverWorld &) { sim::FailNth(sim::AllocKind::Pool, 1, sim::MakeTag("IoIf")); },
       u"Dev", STATUS_INSUFFICIENT_RESOURCES, {"Unable to register default device interface."}},
      {"transfer pool", [](DriverWorld &) { sim::FailNth(sim::AllocKind::Pool, 1, TAG_TRANSFER_POOL); }, u"Dev",
       STATUS_INSUFFICIENT_RESOURCES, {"Unable to allocate memory."}},
      {"user interface", [](DriverWorld &) { sim::FailNth(sim::AllocKind::Pool, 2, sim::MakeTag("IoIf")); }, u"Dev",
       STATUS_SUCCESS, {"Unable to register user-defined device interface."}},
      // Any failure moves on to the next number, not only a name already taken.
      {"first creation fails", [](DriverWorld &) { sim::FailNth(sim::AllocKind::Pool, 1, sim::MakeTag("Devi")); },
       u"Dev", STATUS_SUCCESS, {}},
      {"longest name that fits", nullptr, base105, STATUS_SUCCESS, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    DriverWorld w;
    w.Load();
    sim::registry::SetString(w.key, u"DriverDeviceBaseName", c.baseName);
    sim::registry::SetString(w.key, u"DriverUserInterfaceGuid", kUserGuidText);
    if (c.arrange) c.arrange(w);
    EXPECT_EQ(AddDeviceOn(w, w.pdo), c.status);
    EXPECT_EQ(LoggedTexts(), c.log);
    for (const sim::LoggedEvent &e : sim::EventLog()) {
      EXPECT_EQ(e.messageId, uint32_t(EVENT_MSG_ERROR));
      EXPECT_EQ(e.ioObject, w.driver);
    }
    if (DeviceExtension *dx = DeviceAbove(w.pdo)) {
      EXPECT_EQ(c.status, STATUS_SUCCESS);
      EXPECT_TRUE(sim::SymbolicLinkExists(u"\\DosDevices\\" + c.baseName + char16_t(u'0' + dx->deviceNumber)));
      TeardownDevice(dx);
    }
    UNICODE_STRING foreign;
    RtlInitUnicodeString(&foreign, u"\\DosDevices\\Dev0");
    if (std::string(c.what) == "link taken by someone else") {
      EXPECT_EQ(IoDeleteSymbolicLink(&foreign), STATUS_SUCCESS) << "the unwinding deleted a link it did not make";
    }
    sim::ClearFaults();
    ExpectNothingLeft(w.pdo);
  }

  // Attachment: the physical device object went away while the device was being added.
  DriverWorld w;
  w.Load();
  sim::registry::SetString(w.key, u"DriverDeviceBaseName", u"Dev");
  sim::registry::SetString(w.key, u"DriverUserInterfaceGuid", kUserGuidText);
  sim::registry::SetDword(w.key, u"DisableDefaultInterface", 1);
  PDEVICE_OBJECT gone = NewPdo(w);
  sim::ReferenceDevice(gone);
  IoDeleteDevice(gone);
  EXPECT_EQ(AddDeviceOn(w, gone), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LoggedTexts(), (std::vector<std::string>{"Unable to register user-defined device interface.",
                                                      "Unable to attach device to device stack."}));
  ExpectNothingLeft(w.pdo);
  sim::DereferenceDevice(gone);
}

struct CountingBus {
  static inline int dereferences = 0;
  static VOID Dereference(PVOID) { ++dereferences; }
};

TEST(TeardownDevice, ReleasesWhateverTheRecordHolds) {
  CountingBus::dereferences = 0;
  DriverWorld w({sim::ClockMode::Manual});
  w.Load();
  sim::registry::SetString(w.key, u"DriverUserInterfaceGuid", kUserGuidText);
  sim::registry::SetString(w.key, u"FxFwFile", u"fw.hex");
  // An unnamed device deletes no link: not even one its number would spell.
  UNICODE_STRING foreign, target;
  RtlInitUnicodeString(&foreign, u"\\DosDevices\\4294967295");
  RtlInitUnicodeString(&target, u"\\Device\\Elsewhere");
  ASSERT_EQ(IoCreateSymbolicLink(&foreign, &target), STATUS_SUCCESS);

  // A device never started: the bus interface was never obtained, so nothing of it is called.
  ASSERT_EQ(AddDeviceOn(w, w.pdo), STATUS_SUCCESS);
  DeviceExtension *dx = DeviceAbove(w.pdo);
  dx->usbBusInterface.InterfaceDereference = CountingBus::Dereference;
  TeardownDevice(dx);
  EXPECT_EQ(CountingBus::dereferences, 0);
  EXPECT_TRUE(sim::SymbolicLinkExists(u"\\DosDevices\\4294967295"));

  // A device holding the bus interface, with its defer timer running.
  sim::registry::SetString(w.key, u"DriverDeviceBaseName", u"Dev");
  ASSERT_EQ(AddDeviceOn(w, w.pdo), STATUS_SUCCESS);
  dx = DeviceAbove(w.pdo);
  dx->usbBusInterface.InterfaceDereference = CountingBus::Dereference;
  dx->busInterfaceV1 = &dx->usbBusInterface;
  dx->busInterface = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V0>(&dx->usbBusInterface);
  // With nothing held back the timer drains nothing and does not arm itself again.
  LARGE_INTEGER due;
  due.QuadPart = dx->deferTimer.dueTime;
  KeSetTimer(&dx->deferTimer.timer, due, &dx->deferTimer.dpc);
  ASSERT_TRUE(sim::AdvanceToNextTimer());
  EXPECT_FALSE(KeCancelTimer(&dx->deferTimer.timer));
  // Left set: teardown cancels it (a timer firing into a freed record would be caught).
  KeSetTimer(&dx->deferTimer.timer, due, &dx->deferTimer.dpc);
  TeardownDevice(dx);
  EXPECT_EQ(CountingBus::dereferences, 1);
  EXPECT_FALSE(sim::SymbolicLinkExists(u"\\DosDevices\\Dev0"));
  sim::AdvanceMs(20);

  // The timer fired and its DPC started on another processor just before teardown: the record
  // stays until the DPC has run.
  ASSERT_EQ(AddDeviceOn(w, w.pdo), STATUS_SUCCESS);
  dx = DeviceAbove(w.pdo);
  std::atomic<bool> started{false};
  sim::SetDpcStartHook([&](PKDPC) {
    started = true;
    support::AwaitUntil([] { return sim::DpcFlushesWaiting() > 0; });
  });
  KeSetTimer(&dx->deferTimer.timer, due, &dx->deferTimer.dpc);
  std::thread tick([] { sim::AdvanceToNextTimer(); });
  EXPECT_TRUE(support::AwaitUntil([&] { return started.load(); }));
  TeardownDevice(dx);
  tick.join();
  sim::SetDpcStartHook(nullptr);
  EXPECT_EQ(IoDeleteSymbolicLink(&foreign), STATUS_SUCCESS);
  ExpectNothingLeft(w.pdo);
}

}  // namespace
