// The FX firmware download at device start: an EZ-USB FX2 bootloader on the simulated bus, the
// HEX file in the file system substitute, and what the bus, the controller's memory and the
// event log show.
#include <cstdio>

#include "driver/core/pool_tags.h"
#include "driver/firmware/firmware.h"
#include "include/xrusb/status.h"
#include "plugged_device.h"
#include "sim/kernel/files.h"
#include "sim/kernel/pnp.h"
#include "sim/usb/fx_device.h"
#include "sim/usb/intel_hex.h"

namespace {

using sim::usb::Bus;
using Strings = std::vector<std::string>;

constexpr GUID kDefaultGuid = XRUSB_DEFAULT_INTERFACE_GUID;
constexpr const char *kWorkedExample = ":03000000020040BB\r\n:02200000123498\r\n:00000001FF\r\n";

class FxStart : public xrtest::PluggedDevice {
 protected:
  FxStart() : PluggedDevice(false) { openOnPlug_ = false; }

  static void PutHex(const std::string &hex) { sim::files::PutFile("System32\\drivers\\fw.hex", {hex.begin(), hex.end()}); }
  // An FX2 bootloader, FxFwFile naming fw.hex, unchecked unless 'values' say otherwise. A quiet
  // copy keeps its place on the bus when its CPU is released, so that its own start can be
  // looked at; 'change' alters it.
  void PlugFx(const Values &values = {}, bool quiet = true, sim::usb::FxOptions o = {},
              const std::function<void(sim::usb::DeviceModel &)> &change = {}) {
    fx_ = sim::usb::MakeFxBootloader(sim::usb::FxVariant::Fx2, o);
    auto model = quiet ? std::make_shared<sim::usb::DeviceModel>(*fx_.model) : fx_.model;
    if (change) change(*model);
    key_ = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_04B4&PID_8613\\" +
           sim::ToU16(std::to_string(++keys_).c_str());
    sim::registry::SetString(key_, u"DriverDeviceBaseName", u"Dev");
    sim::registry::SetString(key_, u"FxFwFile", u"fw.hex");
    sim::registry::SetDword(key_, u"FxBootloaderCheck", 0);
    for (const auto &[name, value] : values) sim::registry::SetDword(key_, name, value);
    sim::ClearEventLog();
    logStart_ = 0;
    sim::usb::PlugOptions options;
    options.registryKey = key_;
    pdo_ = Bus::Get().Plug(model, driver_, options);
    // A bootloader that runs its firmware leaves the bus on a thread of its own: its stack may
    // be going while we would look at it.
    dx_ = quiet ? xrtest::DeviceAbove(pdo_) : nullptr;
  }
  // The controller's writes since the mark, as "A3 2000 1234"; the CPU resets on request.
  Strings Writes(bool withResets = false) const {
    Strings out;
    const std::vector<sim::usb::FxRequest> log = fx_.state->Log();
    for (size_t i = logStart_; i < log.size(); ++i) {
      const sim::usb::FxRequest &r = log[i];
      if (r.in || (!withResets && (r.address == sim::usb::kFxCpucs || r.address == sim::usb::kFx2Cpucs))) continue;
      char text[16];
      std::snprintf(text, sizeof text, "%02X %04X ", r.request, r.address);
      out.push_back(text);
      for (uint8_t b : r.data) std::snprintf(text, sizeof text, "%02X", b), out.back() += text;
    }
    return out;
  }
  void Mark() { logStart_ = fx_.state->Log().size(); }
  static Strings Errors() {
    for (const sim::LoggedEvent &e : sim::EventLog()) EXPECT_EQ(e.messageId, 0xE0070003u);
    return xrtest::LoggedTexts();
  }
  bool Started() const { return sim::pnp::State(pdo_) == sim::pnp::NodeState::Started; }

  sim::usb::FxDevice fx_;
  size_t logStart_ = 0;
  int keys_ = 0;
};

// The requests in the order the worked example gives; the start succeeds, sets no
// configuration and leaves the interfaces disabled.
TEST_F(FxStart, WorkedExampleWritesExternalThenInternalAndReleasesTheCpu) {
  PutHex(kWorkedExample);
  PlugFx();
  EXPECT_TRUE(Started());
  EXPECT_EQ(Writes(true), (Strings{"A0 7F92 01", "A0 E600 01", "A3 2000 1234", "A0 7F92 01", "A0 E600 01",
                                    "A0 0000 020040", "A0 7F92 01", "A0 E600 01", "A0 7F92 00", "A0 E600 00"}));
  for (const sim::usb::TraceEntry &t : Bus::Get().Trace(pdo_))
    EXPECT_EQ(std::make_tuple(t.function, t.flags, t.setup.bmRequestType, t.setup.wIndex),
              std::make_tuple(URB_FUNCTION_VENDOR_DEVICE, 0ul, 0x40, 0));
  EXPECT_EQ(fx_.state->Releases(), 1u);
  EXPECT_EQ(Bus::Get().ConfigurationValue(pdo_), 0);
  EXPECT_TRUE(sim::EnabledInterfaces(kDefaultGuid).empty());
  EXPECT_TRUE(Errors().empty());
  UnplugExpectingNothingLeft();
}

// Each file, as both passes read it: what reached the controller and the one error, if any.
TEST_F(FxStart, FilesAreParsedAsTheLoaderReadsThem) {
  const char junk[] = "\xff\0 :00100000F0\0:00000001FF\0";
  const std::string records = ":011FFF00AA00\r\n:01200000BB00\r\n:00000001FF\r\n";
  struct Row {
    const char *what;
    std::string hex;
    Strings writes;
    const char *error;  // null: loaded
    uint32_t base = 0x2000;
  };
  std::vector<Row> rows = {
      {"either case, checksums unread", ":02200000abCD00\n:03000000020040bb\n:00000001ff\n",
       {"A3 2000 ABCD", "A0 0000 020040"}, nullptr},
      {"junk and NULs between records", std::string(junk, sizeof junk - 1), {"A0 1000 "}, nullptr},
      {"one byte below and at the base", records, {"A3 2000 BB", "A0 1FFF AA"}, nullptr},
      {"base above 0xFFFF", records, {"A0 1FFF AA", "A0 2000 BB"}, nullptr, 0x10000},
      {"base 0", records, {"A3 1FFF AA", "A3 2000 BB"}, nullptr, 0},
      {"no line end after the last record", ":01200000BB00\n:00000001FF", {"A3 2000 BB"},
       "Invalid firmware file: unexpected EOF."},
      {"no end-of-file record", ":03000000020040BB\n", {}, "Invalid firmware file: missing ':'."},
      {"empty", "", {}, "Invalid firmware file: missing ':'."},
      {"length", ":0G\n", {}, "Invalid firmware file: length field."},
      {"address", ":01000G00AA00\n", {}, "Invalid firmware file: address field."},
      {"type", ":0100000GAA00\n", {}, "Invalid firmware file: type field."},
      {"data, after an external record", ":01200000BB00\n:02000000AAXX00\n", {"A3 2000 BB"},
       "Invalid firmware file: data record."},
  };
  for (int type = 2; type <= 5; ++type)
    rows.push_back({"type 2..5", ":0000000" + std::to_string(type) + "00\n:00000001FF\n", {},
                    "Invalid firmware file: record type."});
  for (const Row &r : rows) {
    SCOPED_TRACE(r.what);
    sim::usb::FxOptions o;
    o.extRamBase = std::min<uint32_t>(r.base, 0x2000);
    PutHex(r.hex);
    PlugFx({{u"FxExtRamBase", r.base}}, true, o);
    EXPECT_EQ(Writes(), r.writes);
    EXPECT_EQ(Started(), r.error == nullptr);
    EXPECT_EQ(Errors(), r.error ? Strings{r.error} : Strings{});
    EXPECT_EQ(fx_.state->CpuHeld(), r.error != nullptr) << "a failed download leaves the CPU held";
    UnplugExpectingNothingLeft();
  }
}

// A file that cannot be had is named in the log, and the controller is not touched.
TEST_F(FxStart, FileFailuresAreLoggedBeforeAnyRequest) {
  using sim::files::Op;
  const std::string end = ":00000001FF\n";
  struct Row {
    const char *what;
    std::function<void()> arrange;
    const char *error;
  };
  const Row rows[] = {
      {"missing", [] { sim::files::Reset(); }, "Unable to open FX firmware file."},
      {"size", [] { sim::files::FailNext(Op::QueryInformation, STATUS_UNSUCCESSFUL); },
       "Unable to query file information for FX firmware file."},
      {"read", [] { sim::files::FailNext(Op::Read, STATUS_UNSUCCESSFUL); }, "Unable to read from FX firmware file."},
      {"shrunk before the read", [] { sim::files::ShrinkBeforeNextRead(12); }, "Unable to read from FX firmware file."},
      // Its low 32 bits would name a valid file of one record.
      {"past 4 GiB", [&] { sim::files::PutFile("system32\\DRIVERS\\FW.hex", {end.begin(), end.end()}, (1ull << 32) + 12); },
       "Unable to allocate buffer for FX firmware file."},
      {"no path buffer", [] { sim::FailNth(sim::AllocKind::Pool, 1, TAG_FIRMWARE); }, "Unable to allocate string buffer."},
      {"no image buffer", [] { sim::FailNth(sim::AllocKind::Pool, 2, TAG_FIRMWARE); },
       "Unable to allocate buffer for FX firmware file."},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.what);
    PutHex(kWorkedExample);
    r.arrange();
    PlugFx();
    sim::ClearFaults();
    EXPECT_FALSE(Started());
    EXPECT_EQ(Errors(), Strings{r.error});
    EXPECT_TRUE(fx_.state->Log().empty());
    EXPECT_EQ(sim::registry::OpenKernelHandles(), 0u);
    UnplugExpectingNothingLeft();
  }
}

// FxBootloaderCheck 1: only a device that answers as the ROM does is loaded; any other starts
// as itself, with its start-time configuration.
TEST_F(FxStart, BootloaderCheckLoadsOnlyWhatAnswersAsTheRom) {
  PutHex(kWorkedExample);
  struct Row {
    const char *what;
    std::function<void(sim::usb::DeviceModel &)> change;
    bool loaded;
  };
  const Row rows[] = {
      {"bootloader", [](sim::usb::DeviceModel &) {}, true},
      {"a language offered", [](sim::usb::DeviceModel &m) { m.strings[0] = sim::usb::LanguageTable(); }, false},
      {"probe refused", [](sim::usb::DeviceModel &m) { m.control = nullptr; }, false},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.what);
    PlugFx({{u"FxBootloaderCheck", 1}, {u"ConfigIndex", 0}}, true, {}, r.change);
    EXPECT_TRUE(Started());
    EXPECT_EQ(fx_.state->Releases(), r.loaded ? 1u : 0u);
    EXPECT_EQ(Bus::Get().ConfigurationValue(pdo_), r.loaded ? 0 : 1);
    EXPECT_EQ(sim::EnabledInterfaces(kDefaultGuid).size(), r.loaded ? 0u : 1u);
    EXPECT_TRUE(Errors().empty());
    const sim::usb::TraceEntry probe = Bus::Get().Trace(pdo_).at(0);
    EXPECT_EQ(std::make_tuple(probe.setup.bmRequestType, probe.setup.bRequest, probe.setup.wValue, probe.setup.wLength),
              std::make_tuple(0xC0, 0xA0, 0, 16));
    UnplugExpectingNothingLeft();
  }
}

// A request the loader cannot send counts as failed: blocked while the device is powered down,
// or without an IRP. Of the two CPUCS writes only the second's outcome counts.
TEST_F(FxStart, LoaderRequestsBlockedRefusedOrWithoutAnIrp) {
  PutHex(kWorkedExample);
  PlugFx();
  struct Row {
    const char *what;
    bool blocked;
    uint64_t failIrp;
    unsigned stalls;
    NTSTATUS status;
    Strings writes;
  };
  const Strings both = {"A0 7F92 01", "A0 E600 01"};
  const Row rows[] = {
      {"sent", false, 0, 0, STATUS_SUCCESS, both},
      {"blocked", true, 0, 0, ERR_DEVICE_NOT_READY, {}},
      {"no first IRP", false, 1, 0, STATUS_NO_MEMORY, {}},
      {"no second IRP", false, 2, 0, STATUS_NO_MEMORY, {"A0 7F92 01"}},
      {"first refused", false, 0, 1, STATUS_SUCCESS, {"A0 E600 01"}},
      {"both refused", false, 0, 2, NTSTATUS(0xE0000004), {}},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.what);
    Mark();
    dx_->requestsBlocked = r.blocked;
    if (r.failIrp) sim::FailNth(sim::AllocKind::Irp, r.failIrp);
    if (r.stalls) Bus::Get().FailRequest(pdo_, 0xA0, {sim::usb::Response::Stall(), r.stalls});
    EXPECT_EQ(SetCpuReset(dx_->deviceObject, 1), r.status);
    sim::ClearFaults();
    EXPECT_EQ(Writes(true), r.writes);
    const uint8_t data = 0x5A;
    EXPECT_EQ(bool(WriteFirmwareRecord(dx_->deviceObject, 0x2000, &data, 1, 0x2000)), !r.blocked);
    EXPECT_EQ(bool(CheckFxBootloader(dx_->deviceObject)), !r.blocked);
    EXPECT_EQ(Writes().size(), r.blocked ? 0u : 1u);
    Bus::Get().ClearFaults(pdo_);
  }
  dx_->requestsBlocked = FALSE;
  UnplugExpectingNothingLeft();
}

// The device leaves the bus during the external pass: the write that fails is named, and the
// stack goes down whole after the start.
TEST_F(FxStart, UnplugDuringTheDownloadFailsTheStartAndLeavesNothing) {
  PutHex(sim::usb::WriteIntelHex({{0x2000, std::vector<uint8_t>(64, 0x5A)}}));
  PlugFx({}, true, {}, [](sim::usb::DeviceModel &m) {
    m.control = [&m, inner = m.control, n = 0](const sim::usb::Setup &s, auto data) mutable {
      if (++n == 4) Bus::Get().Unplug(m.pdo);
      return inner(s, data);
    };
  });
  Bus::Get().Settle();
  EXPECT_EQ(Errors(), Strings{"Submit data record to external memory failed."});
  EXPECT_EQ(sim::pnp::State(pdo_), sim::pnp::NodeState::Failed);
  ExpectGone(pdo_);
  pdo_ = nullptr;
}

// The development loop: the bootloader is loaded, leaves the bus and comes back as its
// firmware, which fails the check, starts as itself and serves an application.
TEST_F(FxStart, LoadedFirmwareComesBackAndServesApplications) {
  PutHex(kWorkedExample);
  PlugFx({{u"FxBootloaderCheck", 1}}, /*quiet=*/false);
  Bus::Get().Settle();
  const PDEVICE_OBJECT loaded = Bus::Get().Current(pdo_);
  ASSERT_NE(loaded, pdo_);
  EXPECT_EQ(Bus::Get().Model(loaded), fx_.state->Firmware()->model);
  EXPECT_TRUE(Errors().empty());
  // Found as applications find it: its number depends on when the bootloader's went.
  const std::vector<std::u16string> paths = simwin::DeviceInterfacePaths(kDefaultGuid);
  ASSERT_EQ(paths.size(), 1u);
  h_ = simwin::CreateFileW(paths[0].c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(h_, simwin::INVALID_HANDLE_VALUE);
  device_.model = Bus::Get().Model(loaded);
  EXPECT_EQ(Configure(0, {{0, 0, 4096}}), STATUS_SUCCESS);
  EXPECT_EQ(Bus::Get().ConfigurationValue(loaded), 1);
  UnplugExpectingNothingLeft();
}

}  // namespace
