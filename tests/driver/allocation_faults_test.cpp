// Each allocation a whole flow reaches, failed one at a time, each run on a fresh machine: the
// caller sees a failure or the work done, never a success without it; a failure described for
// the event log is logged; nothing leaks or stays pending (the world's end checks, the verifier);
// and afterwards the device works again, or has gone cleanly. A site is a distinct call stack; one
// reached more than once is failed at its first and at its last occurrence.
// XRUSB_FAULT_FLOWS=name,... runs only those flows; each prints its number of sites and runs, and
// with XRUSB_FAULT_SITES set the sites themselves.
#include <cxxabi.h>
#include <execinfo.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>

#include "driver/core/pool_tags.h"
#include "include/xrusb/status.h"
#include "plugged_device.h"
#include "sim/kernel/files.h"
#include "sim/kernel/pnp.h"
#include "sim/usb/fx_device.h"
#include "tests/support/await.h"

namespace {

using sim::usb::Bus;
using simwin::HANDLE;
namespace td = sim::usb::test_device;
using Values = xrtest::Bench::Values;

constexpr GUID kDefaultGuid = XRUSB_DEFAULT_INTERFACE_GUID;
constexpr const char *kUserGuid = "{5C9D1E2A-7B3F-4E61-9A0D-2B8C4F6E1A37}";
constexpr const char *kFirmware = ":03000000020040BB\r\n:02200000123498\r\n:00000001FF\r\n";

// The functions on a site's call stack, innermost first (names of the driver's and the
// substitute's exported functions; others as offsets).
std::vector<std::string> Functions(const sim::Site &s) {
  std::vector<std::string> out;
  char **symbols = backtrace_symbols(const_cast<void *const *>(s.frames.data()), int(s.frames.size()));
  for (size_t i = 0; symbols && i < s.frames.size(); ++i) {
    std::string text = symbols[i];
    const size_t open = text.find('('), plus = text.find('+', open);
    if (open != std::string::npos && plus != std::string::npos && plus > open + 1) {
      text = text.substr(open + 1, plus - open - 1);
      int status = 0;
      char *plain = abi::__cxa_demangle(text.c_str(), nullptr, nullptr, &status);
      if (status == 0) text = plain;
      free(plain);
      text = text.substr(0, text.find('('));
    }
    out.push_back(text);
  }
  free(symbols);
  return out;
}
bool Through(const sim::Site &s, const char *function) {
  const std::vector<std::string> f = Functions(s);
  return std::find(f.begin(), f.end(), function) != f.end();
}
std::string Describe(const sim::Site &s) {
  static const char *kinds[] = {"pool", "IRP", "MDL", "work item", "error log", "registry key"};
  std::string d =
      std::string(kinds[size_t(s.kind)]) + (s.kind == sim::AllocKind::Pool ? " " + sim::TagName(s.tag) : "");
  for (const std::string &f : Functions(s)) d += " < " + f;
  return d;
}

// What a caller may be told when memory ran out beneath it.
bool OutOfResources(NTSTATUS s) {
  return s == ERR_NO_MEMORY || s == STATUS_INSUFFICIENT_RESOURCES || s == STATUS_NO_MEMORY ||
         s == ERR_NO_TRANSFER_CONTEXT || s == ERR_BUFFER_MAPPING_FAILED || s == ERR_USBD_INSUFFICIENT_RESOURCES ||
         s == ERR_USBD_NO_MEMORY || s == STATUS_UNSUCCESSFUL;
}

const std::set<std::string> &LogMessages() {
  static const std::set<std::string> messages = {"Unable to open device-specific registry key.",
                                                 "Unable to create device object.",
                                                 "Unable to create symbolic link for device object.",
                                                 "Unable to register default device interface.",
                                                 "Unable to register user-defined device interface.",
                                                 "Unable to attach device to device stack.",
                                                 "Unable to allocate memory.",
                                                 "Unable to configure the device during startup.",
                                                 "Unable to allocate string buffer.",
                                                 "Unable to open FX firmware file.",
                                                 "Unable to allocate buffer for FX firmware file.",
                                                 "Unable to read from FX firmware file.",
                                                 "Submit data record to external memory failed.",
                                                 "Submit data record to internal memory failed."};
  return messages;
}

using Io = xrtest::Bench;

// One simulated machine with the driver loaded and one device below it.
class Machine : public xrtest::Bench {
 public:
  explicit Machine(const sim::Site *fault) : fault_(fault) {
    openOnPlug_ = false;
    Load();
    sim::files::PutFile("System32\\drivers\\fw.hex", {kFirmware, kFirmware + std::strlen(kFirmware)});
  }
  ~Machine() {
    sim::ClearFaults();
    Unplug();
  }

  void PlugTest(const Values &values, decltype(strings_) strings = {}) {
    fx_.reset();
    strings_ = std::move(strings);
    sim::ClearEventLog();
    Plug(values);
  }
  // An FX2 bootloader that stays on the bus when its CPU is released.
  void PlugFx() {
    fx_ = sim::usb::MakeFxBootloader(sim::usb::FxVariant::Fx2);
    strings_ = {{u"FxFwFile", u"fw.hex"}};
    sim::ClearEventLog();
    PlugModel(std::make_shared<sim::usb::DeviceModel>(*fx_->model), {{u"FxBootloaderCheck", 0}});
  }
  bool Started() const { return sim::pnp::State(pdo_) == sim::pnp::NodeState::Started; }
  // By its name, or by its interface when the name could not be read.
  HANDLE Open() {
    const std::vector<std::u16string> paths = simwin::DeviceInterfacePaths(kDefaultGuid);
    const std::u16string path = paths.empty() ? u"\\\\.\\Dev0" : paths[0];
    const HANDLE h = simwin::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_OVERLAPPED, nullptr);
    if (h != simwin::INVALID_HANDLE_VALUE) handles_.push_back(h);
    return h;
  }
  // The failed site's pool tag; 0 in a run without a fault.
  uint32_t FaultTag() const { return fault_ && fault_->kind == sim::AllocKind::Pool ? fault_->tag : 0; }
  bool Faulted() const { return fault_ != nullptr; }
  sim::AllocKind FaultKind() const { return fault_ ? fault_->kind : sim::AllocKind::Count; }
  bool FaultThrough(const char *function) const { return fault_ && Through(*fault_, function); }
  // A registry string that cannot be read is no error: the value counts as absent.
  bool StringLost() const { return FaultTag() == TAG_REGISTRY_STRING || FaultTag() == TAG_REGISTRY_SCRATCH; }

  // The step's outcome: success with its work seen, or (under a fault) a failure of resources.
  bool Step(const char *what, NTSTATUS s, bool done = true, size_t bytes = 0) {
    if (NT_SUCCESS(s)) {
      EXPECT_TRUE(done) << what << " succeeded without its work done (" << bytes << " bytes)";
      return done;
    }
    EXPECT_TRUE(Faulted() && OutOfResources(s)) << what << std::hex << ": status " << s;
    return false;
  }

  // Afterwards, without faults: the device moves data, or it has gone whole and a fresh one does.
  void ExpectUsable() {
    sim::ClearFaults();
    CloseAll();  // a pipe takes one binding
    Bus::Get().ClearFaults(pdo_);
    if (!Started()) {
      ExpectGone(pdo_);
      const bool fx = fx_.has_value();
      Unplug();
      if (fx) {
        PlugFx();
        EXPECT_EQ(fx_->state->Releases(), 1u) << "a fresh controller is loaded";
        return;
      }
      PlugTest({});
    }
    if (fx_) return;
    const HANDLE h = Open();
    ASSERT_NE(h, simwin::INVALID_HANDLE_VALUE) << std::hex << simwin::RtlGetLastNtStatus();
    // Powered up in case a flow left it down.
    const PowerStateValue d0{0};
    EXPECT_EQ(Send(h, IOCTL_SET_DEVICE_POWER_STATE, &d0, sizeof d0).status, STATUS_SUCCESS);
    ConfigurationInfo info{};
    EXPECT_EQ(Send(h, IOCTL_GET_CONFIGURATION_INFO, nullptr, 0, &info, sizeof info).status, STATUS_SUCCESS);
    if (info.NumberOfInterfaces == 0) {
      const SetConfigurationRequest config = xrtest::ConfigRequest(0, {{0, 0, 65536}, {1, 0, 4096}, {2, 0, 64}});
      EXPECT_EQ(Send(h, IOCTL_SET_CONFIGURATION, &config, sizeof config).status, STATUS_SUCCESS);
    }
    const HANDLE in = Open();
    ASSERT_EQ(BindPipe(h, td::kLoopbackOut), STATUS_SUCCESS);
    ASSERT_EQ(BindPipe(in, td::kLoopbackIn), STATUS_SUCCESS);
    std::vector<uint8_t> out(512), back(512, 0);
    for (size_t i = 0; i < out.size(); ++i) out[i] = uint8_t(i * 7);
    EXPECT_EQ(Transfer(h, false, out), (xrtest::Result{STATUS_SUCCESS, 512}));
    EXPECT_EQ(Transfer(in, true, back), (xrtest::Result{STATUS_SUCCESS, 512}));
    EXPECT_EQ(back, out);
  }
  // Every entry is one the driver writes; a device that did not start names why.
  void ExpectLog(std::initializer_list<const char *> allowedWhenStarted = {}, bool silentFailure = false) {
    const std::vector<std::string> texts = xrtest::LoggedTexts();
    for (const std::string &t : texts) EXPECT_TRUE(LogMessages().count(t)) << t;
    if (!Started() && !silentFailure) {
      EXPECT_FALSE(texts.empty()) << "a failed start says why in the event log";
    } else {
      for (const std::string &t : texts)
        EXPECT_TRUE(
            std::any_of(allowedWhenStarted.begin(), allowedWhenStarted.end(), [&](const char *a) { return t == a; }))
            << "logged, yet started: " << t;
    }
  }

  std::optional<sim::usb::FxDevice> fx_;

 private:
  const sim::Site *fault_;
};

// Configured with every interface, handles bound to the pipes a flow uses.
void Configure(Machine &m, uint16_t isoAlternate = 0, const Values &values = {}) {
  m.PlugTest(values);
  const HANDLE h = m.Open();
  const SetConfigurationRequest config =
      xrtest::ConfigRequest(0, {{0, 0, 65536}, {1, isoAlternate, 65536}, {2, 0, 64}});
  ASSERT_EQ(Io::Send(h, IOCTL_SET_CONFIGURATION, &config, sizeof config).status, STATUS_SUCCESS);
}
// A handle, bound when an endpoint is named; false when the open failed as it may.
bool Opened(Machine &m, HANDLE &h, uint8_t endpoint = 0) {
  h = m.Open();
  if (!m.Step("open", h == simwin::INVALID_HANDLE_VALUE ? simwin::RtlGetLastNtStatus() : STATUS_SUCCESS)) return false;
  if (endpoint) {
    EXPECT_EQ(Io::BindPipe(h, endpoint), STATUS_SUCCESS);
  }
  return true;
}
// Bounded: a request that never ends fails the test (and stops it, since its buffer may still be
// written) instead of hanging it.
NTSTATUS Wait(HANDLE h, xrtest::Io &io, DWORD *bytes = nullptr) {
  DWORD moved = 0;
  simwin::GetOverlappedResultEx(h, &io.o, &moved, 20000, FALSE);
  if (!simwin::HasOverlappedIoCompleted(&io.o)) {
    ADD_FAILURE() << "a request never completed";
    std::abort();
  }
  const xrtest::Result r = Io::Finish(h, io);
  if (bytes) *bytes = DWORD(r.information);
  if (!NT_SUCCESS(r.status)) {
    EXPECT_EQ(r.information, 0u) << "a failed transfer moves nothing";
  }
  return r.status;
}

// --- the flows -----------------------------------------------------------------------------

void StartPlain(Machine &m) {
  m.PlugTest({}, {{u"DriverUserInterfaceGuid", sim::ToU16(kUserGuid)}});
  m.ExpectLog({"Unable to register user-defined device interface."});
  if (m.Started()) {
    EXPECT_EQ(sim::EnabledInterfaces(kDefaultGuid).size(), 1u);
    if (!m.StringLost()) {
      EXPECT_EQ(sim::SymbolicLinks().size(), 1u) << "named, under the next number if need be";
    }
  }
}

void StartConfigured(Machine &m) {
  m.PlugTest({{u"ConfigIndex", 0}, {u"Interface", 1}, {u"AlternateSetting", 1}});
  // Only a configuration that was tried is logged: no IRP to try it with is not.
  m.ExpectLog({}, m.FaultKind() == sim::AllocKind::Irp && !m.FaultThrough("QueryBusInterface"));
  if (m.Started()) {
    EXPECT_EQ(Bus::Get().ConfigurationValue(m.pdo_), 1) << "started, so configured";
  } else {
    EXPECT_TRUE(m.Faulted());
  }
}

void Firmware(Machine &m) {
  m.PlugFx();
  // A CPU reset that cannot be sent is not logged.
  m.ExpectLog({}, m.FaultThrough("SetCpuReset"));
  const unsigned releases = m.fx_->state->Releases();
  if (m.Started() && !(m.StringLost() && releases == 0)) {
    EXPECT_EQ(releases, 1u) << "started, so loaded";
    EXPECT_EQ(m.fx_->state->External(0x2000, 2), (std::vector<uint8_t>{0x12, 0x34}));
    EXPECT_EQ(m.fx_->state->Internal(0, 3), (std::vector<uint8_t>{0x02, 0x00, 0x40}));
  } else if (!m.Started()) {
    EXPECT_TRUE(m.fx_->state->CpuHeld()) << "a failed download leaves the CPU held";
  }
}

void ConfigureAndControl(Machine &m) {
  HANDLE h = simwin::INVALID_HANDLE_VALUE, pipe = simwin::INVALID_HANDLE_VALUE;
  if (!Opened(m, h)) return;
  const SetConfigurationRequest config = xrtest::ConfigRequest(0, {{0, 0, 65536}, {1, 0, 65536}, {2, 0, 64}});
  NTSTATUS s = Io::Send(h, IOCTL_SET_CONFIGURATION, &config, sizeof config).status;
  // A failure part-way keeps the interfaces recorded before it: a retry drops them.
  if (!m.Step("configuration", s, Bus::Get().ConfigurationValue(m.pdo_) == 1)) return;
  const InterfaceSetting alternate{1, 2, 65536};
  s = Io::Send(h, IOCTL_SET_INTERFACE, &alternate, sizeof alternate).status;
  uint16_t number = 1;
  uint8_t current = 0xFF;
  EXPECT_EQ(Io::Send(h, IOCTL_GET_INTERFACE, &number, sizeof number, &current, sizeof current).status, STATUS_SUCCESS);
  // The device may have changed before the records failed; the caller is told.
  if (!m.Step("alternate setting", s, current == 2)) return;
  s = Io::Send(h, IOCTL_STORE_CONFIG_DESCRIPTOR, m.device_.model->configurations[0].data(),
               DWORD(m.device_.model->configurations[0].size()))
          .status;
  if (!m.Step("stored descriptor", s)) return;
  ClassOrVendorRequest vendor{};
  vendor.Type = XRUSB_REQUEST_TYPE_VENDOR;
  vendor.Recipient = XRUSB_RECIPIENT_DEVICE;
  vendor.Request = td::kReadMemory;
  std::vector<uint8_t> memory(16, 0xEE);
  const xrtest::Result r =
      Io::Send(h, IOCTL_CLASS_OR_VENDOR_IN_REQUEST, &vendor, sizeof vendor, memory.data(), DWORD(memory.size()));
  if (!m.Step("vendor request", r.status, r.information == memory.size())) return;
  if (!Opened(m, pipe, td::kSourceIn)) return;
  const StatisticsSetup setup{100, {}};
  s = Io::Send(pipe, IOCTL_SETUP_PIPE_STATISTICS, &setup, sizeof setup).status;
  if (!m.Step("statistics", s)) return;
  PipeStatistics stats{};
  EXPECT_EQ(Io::Send(pipe, IOCTL_QUERY_PIPE_STATISTICS, &stats, sizeof(StatisticsQuery), &stats, sizeof stats).status,
            STATUS_SUCCESS);
  EXPECT_EQ(stats.ActualAveragingInterval == 0, false) << "statistics set up, so measured";
}

// More reads waiting at the loopback than the context pool first holds, so that it grows; then
// one write feeds those that were taken, and each gets its own slice in order.
void Bulk(Machine &m) {
  HANDLE source = nullptr, out = nullptr, in = nullptr, interrupt = nullptr;
  if (!Opened(m, source, td::kSourceIn) || !Opened(m, out, td::kLoopbackOut) || !Opened(m, in, td::kLoopbackIn) ||
      !Opened(m, interrupt, td::kInterruptIn))
    return;
  std::vector<std::unique_ptr<xrtest::Io>> reads, taken;
  for (int k = 0; k < 20; ++k) reads.push_back(Io::Start(in, true, std::vector<uint8_t>(64, 0)));
  for (auto &r : reads) {
    if (simwin::HasOverlappedIoCompleted(&r->o)) {
      const NTSTATUS failed = Wait(in, *r);
      m.Step("queued read", failed, false, r->o.InternalHigh);
    } else {
      taken.push_back(std::move(r));
    }
  }
  std::vector<uint8_t> data(64 * taken.size());
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i ^ (i >> 8));
  DWORD bytes = 0;
  auto write = Io::Start(out, false, data);
  const NTSTATUS written = Wait(out, *write, &bytes);
  if (!m.Step("bulk write", written, bytes == data.size(), bytes)) simwin::CancelIoEx(in, nullptr);
  for (size_t k = 0; k < taken.size(); ++k) {
    const NTSTATUS s = Wait(in, *taken[k], &bytes);
    if (s != ERR_USBD_CANCELED)
      m.Step("loopback read", s,
             bytes == 64 && std::equal(data.begin() + 64 * k, data.begin() + 64 * (k + 1), taken[k]->buffer.begin()),
             bytes);
  }
  std::vector<uint8_t> stream(4096);
  const xrtest::Result r = Io::Transfer(source, true, stream);
  bool pattern = r.information == stream.size();
  for (size_t i = 1; pattern && i < stream.size(); ++i) pattern = stream[i] == (stream[i - 1] + 1) % 251;
  m.Step("source read", r.status, pattern);
  std::vector<uint8_t> report(8);
  m.Step("interrupt read", Io::Transfer(interrupt, true, report).status);
}

void Iso(Machine &m) {
  HANDLE in = nullptr, out = nullptr;
  if (!Opened(m, in, td::kIsoIn) || !Opened(m, out, td::kIsoOut)) return;
  for (int k = 0; k < 6; ++k) {
    const bool read = k % 2 == 0;
    auto io = Io::Start(read ? in : out, read, xrtest::IsoBuffer(std::vector<ULONG>(8, 16)));
    DWORD bytes = 0;
    const NTSTATUS s = Wait(read ? in : out, *io, &bytes);
    bool done = bytes == io->buffer.size() - sizeof(IsoTransferHeader) - 8 * sizeof(IsoPacketDescriptor);
    for (ULONG p = 0; p < 8; ++p) done = done && xrtest::IsoPacket(io->buffer, p).Status == 0;
    // A stream that fell behind the frame clock fails whole, faults or not.
    if (s != NTSTATUS(USBD_STATUS_ISOCH_REQUEST_FAILED | 0xE0000000u))
      m.Step(read ? "iso read" : "iso write", s, done, bytes);
  }
}

// Down to D3 and back by control code with a read held meanwhile, then a system sleep and
// resume, with remote wake-up armed.
void Power(Machine &m) {
  HANDLE h = m.handles_[0], source = nullptr;
  if (!Opened(m, source, td::kSourceIn)) return;
  const DeviceParameters p{XRUSB_OPTION_UNCONFIGURE_ON_CLOSE | XRUSB_OPTION_REMOTE_WAKEUP, 1000};
  EXPECT_EQ(Io::Send(h, IOCTL_SET_DEVICE_PARAMETERS, &p, sizeof p).status, STATUS_SUCCESS);
  const PowerStateValue d3{3}, d0{0};
  PowerStateValue now{9};
  NTSTATUS s = Io::Send(h, IOCTL_SET_DEVICE_POWER_STATE, &d3, sizeof d3).status;
  EXPECT_EQ(Io::Send(h, IOCTL_GET_DEVICE_POWER_STATE, nullptr, 0, &now, sizeof now).status, STATUS_SUCCESS);
  std::unique_ptr<xrtest::Io> held, nudge;
  if (m.Step("power down", s, now.PowerState == 3)) {
    held = Io::Start(source, true, std::vector<uint8_t>(64, 0));
    s = Io::Send(h, IOCTL_SET_DEVICE_POWER_STATE, &d0, sizeof d0).status;
    EXPECT_EQ(Io::Send(h, IOCTL_GET_DEVICE_POWER_STATE, nullptr, 0, &now, sizeof now).status, STATUS_SUCCESS);
    if (m.Step("power up", s, now.PowerState == 0)) {
      // Without the resume work item the held read waits for the next release of the queue.
      if (m.FaultKind() == sim::AllocKind::WorkItem) nudge = Io::Start(source, true, std::vector<uint8_t>(64, 0));
      m.Step("held read", Wait(source, *held));
      held.reset();
    }
  }
  EXPECT_EQ(sim::power::Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(sim::power::Resume(), STATUS_SUCCESS);
  sim::power::Settle();
  // Without a device request for the working state the device stays down, as the system
  // request completes with the lower driver's status: an application powers it up.
  EXPECT_EQ(Io::Send(h, IOCTL_GET_DEVICE_POWER_STATE, nullptr, 0, &now, sizeof now).status, STATUS_SUCCESS);
  auto after = Io::Start(source, true, std::vector<uint8_t>(64, 0));
  if (now.PowerState != 0) {
    EXPECT_TRUE(m.Faulted() && m.FaultKind() == sim::AllocKind::Irp) << "down after the resume";
    EXPECT_EQ(Io::Send(h, IOCTL_SET_DEVICE_POWER_STATE, &d0, sizeof d0).status, STATUS_SUCCESS);
  }
  m.Step("read after resume", Wait(source, *after));
  // A read still held from a failed power-up went out with the resume, or the sleep's power-down
  // cancelled it.
  for (std::unique_ptr<xrtest::Io> *r : {&held, &nudge})
    if (*r) {
      const NTSTATUS last = Wait(source, **r);
      if (last != STATUS_CANCELLED && last != ERR_POWER_DOWN) m.Step("read held over the sleep", last);
    }
}

// Surprise removal with reads at the bus and in the driver's queue: each ends once, failed.
void Unplug(Machine &m) {
  HANDLE in = nullptr, source = nullptr;
  if (!Opened(m, in, td::kLoopbackIn) || !Opened(m, source, td::kSourceIn)) return;
  std::vector<std::unique_ptr<xrtest::Io>> reads;
  for (int k = 0; k < 4; ++k) reads.push_back(Io::Start(in, true, std::vector<uint8_t>(64, 0)));
  m.Remove();
  for (auto &r : reads) EXPECT_FALSE(NT_SUCCESS(Wait(in, *r)));
  std::vector<uint8_t> data(64);
  EXPECT_FALSE(NT_SUCCESS(Io::Transfer(source, true, data).status));
  m.CloseAll();
  m.ExpectGone(m.pdo_);
}

struct Flow {
  const char *name;
  void (*arrange)(Machine &);  // not under faults
  void (*run)(Machine &);
  bool removes = false;  // the flow ends with the device gone
};

const Flow kFlows[] = {
    {"start", [](Machine &) {}, StartPlain},
    {"start-configured", [](Machine &) {}, StartConfigured},
    {"firmware", [](Machine &) {}, Firmware},
    {"configure", [](Machine &m) { m.PlugTest({}); }, ConfigureAndControl},
    {"bulk", [](Machine &m) { Configure(m); }, Bulk},
    {"iso", [](Machine &m) { Configure(m, 1); }, Iso},
    {"power",
     [](Machine &m) {
       Configure(m, 0, {{u"EnableRemoteWakeup", 1}});
     },
     Power},
    {"unplug", [](Machine &m) { Configure(m); }, Unplug, true},
};

bool Selected(const char *name) {
  const char *only = std::getenv("XRUSB_FAULT_FLOWS");
  if (!only) return true;
  const std::string list = std::string(",") + only + ",";
  return list.find(std::string(",") + name + ",") != std::string::npos;
}

TEST(AllocationFaults, EverySiteOfEveryFlowFailsCleanly) {
  size_t totalSites = 0, totalRuns = 0;
  for (const Flow &flow : kFlows) {
    if (!Selected(flow.name)) continue;
    SCOPED_TRACE(flow.name);
    std::vector<sim::Site> sites;
    {
      Machine m(nullptr);
      flow.arrange(m);
      if (::testing::Test::HasFatalFailure()) return;
      sim::RecordSites();
      flow.run(m);
      sites = sim::RecordedSites();
      if (!flow.removes) m.ExpectUsable();
    }
    ASSERT_FALSE(::testing::Test::HasFailure()) << "the flow fails without faults";
    if (std::getenv("XRUSB_FAULT_SITES"))
      for (const sim::Site &site : sites) std::printf("  %zu x %s\n", size_t(site.reached), Describe(site).c_str());
    size_t runs = 0;
    for (const sim::Site &site : sites) {
      for (uint64_t occurrence : {uint64_t(1), site.reached}) {
        SCOPED_TRACE(testing::Message() << "occurrence " << occurrence << " of " << Describe(site));
        {
          Machine m(&site);
          flow.arrange(m);
          sim::FailSite(site, occurrence);
          flow.run(m);
          EXPECT_EQ(sim::FaultsInjected(site.kind), 1u) << "the site was not reached again";
          if (!flow.removes) m.ExpectUsable();
        }
        ++runs;
        if (::testing::Test::HasFailure()) return;
        if (site.reached == 1) break;
      }
    }
    std::printf("[ flow %-16s ] %zu sites, %zu runs\n", flow.name, sites.size(), runs);
    totalSites += sites.size();
    totalRuns += runs;
  }
  std::printf("[ all flows        ] %zu sites, %zu runs\n", totalSites, totalRuns);
}

}  // namespace
