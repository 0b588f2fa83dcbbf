// The application side of the driver under fuzzing: each input is a program (app_program.h) run
// on a fresh simulated machine — the driver loaded, the test device plugged — by two processes
// with up to four handles. Faults: the verifier's stops, the world's end checks (leaked pool,
// IRPs never completed), sanitizer reports, and answers that are plainly wrong (a control code
// left pending, a success reporting more bytes than the caller gave, a request not completed
// after it was cancelled and its handle closed). XRUSB_FUZZ_TRACE=1 prints the operations.
//
// The clock is manual: time moves only when the program says so, except that a step held up by a
// driver's wait with a time-out, which nothing else would end, moves it to that time-out, as it
// would have passed on a machine; a step blocked 250 ms for any other reason moves it a second.
#include <atomic>
#include <cstdarg>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/core/driver.h"
#include "fuzz/app_program.h"
#include "include/xrusb/interface_guid.h"
#include "sim/kernel/clock.h"
#include "sim/kernel/error_log.h"
#include "sim/kernel/objects.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/power.h"
#include "sim/kernel/registry.h"
#include "sim/kernel/threads.h"
#include "sim/kernel/timers.h"
#include "sim/kernel/work_items.h"
#include "sim/kernel/world.h"
#include "sim/usb/bus.h"
#include "sim/usb/test_device.h"
#include "sim/win32/win32.h"

namespace app_fuzz {
namespace {

using simwin::HANDLE;
using simwin::INVALID_HANDLE_VALUE;
using sim::usb::Bus;
using sim::usb::Response;

bool g_trace = false;

void Trace(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void Trace(const char *fmt, ...) {
  if (!g_trace) return;
  static auto t0 = std::chrono::steady_clock::now();
  fprintf(stderr, "%8.3f ", std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  va_list args;
  va_start(args, fmt);
  vfprintf(stderr, fmt, args);
  va_end(args);
  fputc('\n', stderr);
}

[[noreturn]] void Fault(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void Fault(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  fputs("app_fuzz fault: ", stderr);
  vfprintf(stderr, fmt, args);
  va_end(args);
  fputc('\n', stderr);
  __builtin_trap();
}

// --- the watchdog of blocked steps ---
std::atomic<uint64_t> g_progress{0};
std::mutex g_watchLock;  // held while the watchdog moves the clock, so that a world never ends under it
bool g_watching = false;  // under g_watchLock

void Progress() { g_progress.fetch_add(1, std::memory_order_relaxed); }

void Watch(bool on) {
  std::lock_guard<std::mutex> guard(g_watchLock);
  g_watching = on;
  Progress();
}

// The world waits only for time: a clock wait blocked, the bus with nothing to do, no work item.
bool WaitsForTime(sim::WaitsLook *look, uint64_t *started) {
  if (!Bus::Get().Idle() || sim::WorkItemsAllocated() != 0) return false;
  *look = sim::LookAtWaits();
  *started = sim::TimedWaitsStarted();
  return look->blocked > 0;
}

// Polls each millisecond. A step held up by a world that has waited only for time over four
// polls gets the clock moved to the earliest deadline or timer; any other step still after
// 250 ms gets a second.
[[noreturn]] void Watchdog() {
  uint64_t seen = 0;
  int still = 0;
  int timeOnly = 0;
  sim::WaitsLook seenLook;
  uint64_t seenStarted = 0;
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::lock_guard<std::mutex> guard(g_watchLock);
    const uint64_t now = g_progress.load(std::memory_order_relaxed);
    if (!g_watching || now != seen) {
      seen = now;
      still = timeOnly = 0;
      continue;
    }
    sim::WaitsLook look;
    uint64_t started = 0;
    const bool waits = WaitsForTime(&look, &started);
    timeOnly = waits && timeOnly > 0 && look == seenLook && started == seenStarted ? timeOnly + 1 : waits;
    seenLook = look;
    seenStarted = started;
    if (timeOnly >= 4) {
      still = timeOnly = 0;
      const int64_t clock = sim::Now100ns();
      const int64_t timer = sim::NextTimerDue();
      if (timer >= 0 && (look.earliestDeadline < 0 || timer <= look.earliestDeadline)) {
        Trace("(waiting: the clock moves to the next timer)");
        (void)sim::AdvanceToNextTimer();
      } else if (look.earliestDeadline > clock) {
        Trace("(waiting: the clock moves to the earliest deadline)");
        sim::Advance(look.earliestDeadline - clock);
      }
      continue;
    }
    if (++still < 250) continue;
    still = 0;
    Trace("(blocked: the clock moves 1 s)");
    sim::Advance(10'000'000);
  }
}

// Exactly the caller's length, so that a byte written or read past it is the address sanitizer's.
struct Buffer {
  std::unique_ptr<uint8_t[]> bytes;
  uint32_t length = 0;
  explicit Buffer(uint32_t n = 0) : bytes(n ? new uint8_t[n] : nullptr), length(n) {}
  uint8_t *data() { return bytes.get(); }
  void Fill(uint8_t value) {
    if (length) memset(bytes.get(), value, length);
  }
};

// One overlapped read or write; the OVERLAPPED and the buffer live until the machine is gone.
struct Io {
  simwin::OVERLAPPED o{};
  Buffer buffer;
  HANDLE handle = INVALID_HANDLE_VALUE;
  int process = 0;  // the handle's
  bool read = false;
  // Its handle was closed before it could be cancelled: an in-flight transfer of a handle that
  // unbound first is not aborted by the close, and ends with its pipe or its device.
  bool orphan = false;
  bool Done() const { return simwin::HasOverlappedIoCompleted(&o); }
};

struct Slot {
  HANDLE h = INVALID_HANDLE_VALUE;
  int process = 0;
};

constexpr size_t kMaxIos = 48;
constexpr int kMaxOps = 96;

// A failure at the call leaves a fresh OVERLAPPED untouched, as on Windows: recorded by hand so
// that the request reads as complete.
void NoteImmediate(bool ok, simwin::OVERLAPPED &o) {
  if (ok || simwin::GetLastError() == ERROR_IO_PENDING) return;
  if (!simwin::HasOverlappedIoCompleted(&o)) o.Internal = uint32_t(simwin::RtlGetLastNtStatus());
}

class Machine {
 public:
  explicit Machine(Reader &in) : in_(in), world_(sim::WorldOptions{sim::ClockMode::Manual}) {
    const uint8_t flags = in_.U8();
    fullSpeed_ = flags & 1;
    Bus::Get().SetForcePending(flags & 2);
    for (uint8_t n = in_.U8() % 8; n; --n) {
      const uint8_t row = in_.U8() % kRegistryCount;
      uint32_t value = in_.U8();
      if (value == 0xFF) value = in_.U32();
      values_.push_back({row, value});
      Trace("registry %s = %u", sim::Narrow(kRegistryValues[row]).c_str(), value);
    }
    Trace("world");
    processes_[0] = sim::NewProcess("A");
    processes_[1] = sim::NewProcess("B");
    driver_ = sim::LoadDriver(DriverEntry, u"\\Driver\\xrusb");
    Watch(true);
    Plug();
  }

  void Run() {
    for (int n = 0; n < kMaxOps && !in_.Done(); ++n) {
      Progress();
      Step(Op(in_.U8() % kOpCount));
    }
    Finish();
    Watch(false);
  }

 private:
  // --- the device ---
  void Plug() {
    const std::u16string key =
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_1209&PID_7355\\" + sim::ToU16(std::to_string(++plugs_).c_str());
    sim::registry::SetString(key, u"DriverDeviceBaseName", u"Dev");
    for (auto [row, value] : values_) sim::registry::SetDword(key, kRegistryValues[row], value);
    sim::usb::TestDeviceOptions options;
    options.speed = fullSpeed_ ? sim::usb::Speed::Full : sim::usb::Speed::High;
    device_ = sim::usb::MakeTestDevice(options);
    sim::usb::PlugOptions plug;
    plug.registryKey = key;
    pdo_ = Bus::Get().Plug(device_.model, driver_, plug);
    present_ = true;
    Trace("plug %d", plugs_);
  }
  PDEVICE_OBJECT Pdo() { return Bus::Get().Current(pdo_); }

  // --- operands ---
  Slot &SlotArg() { return slots_[in_.U8() % kSlots]; }
  uint32_t TransferSize() {
    const uint8_t k = in_.U8();
    return k < 0xF0 ? kTransferSizes[k % (sizeof kTransferSizes / sizeof kTransferSizes[0])] : in_.U32();
  }
  uint32_t Code() {
    const uint8_t sel = in_.U8();
    if (sel < 0xC0) return kCodes[sel % kCodeCount];
    if (sel < 0xE0) {
      const uint32_t known = kCodes[in_.U8() % kCodeCount];
      return (known & ~uint32_t(0xC003)) | (sel & 3) | uint32_t((sel >> 2) & 3) << 14;
    }
    return in_.U32();
  }
  // Header, table and packets back to back (lengths used in turn), then 'slack' bytes more.
  Buffer IsoBuffer() {
    const uint32_t packets = in_.U8();
    const uint32_t flags = in_.U32(), startFrame = in_.U32();
    std::vector<uint16_t> lengths(in_.U8());
    for (uint16_t &l : lengths) l = in_.U16() & 0x1FFF;  // past any packet size, short of megabytes
    const uint32_t slack = in_.U8();
    const uint32_t table = uint32_t(sizeof(IsoTransferHeader) + packets * sizeof(IsoPacketDescriptor));
    uint32_t total = table;
    for (uint32_t k = 0; k < packets; ++k) total += lengths.empty() ? 0 : lengths[k % lengths.size()];
    Buffer b(total + slack);
    b.Fill(0xEE);
    const IsoTransferHeader h{packets, flags, startFrame, 0xFFFF};
    memcpy(b.data(), &h, sizeof h);
    for (uint32_t k = 0, offset = table; k < packets; ++k) {
      const uint32_t length = lengths.empty() ? 0 : lengths[k % lengths.size()];
      const IsoPacketDescriptor d{offset, length, 0xFFFFFFFF};
      memcpy(b.data() + sizeof h + k * sizeof d, &d, sizeof d);
      offset += length;
    }
    return b;
  }
  Buffer DataBuffer() {
    switch (in_.U8() % 4) {
      case 0: {
        Buffer b(in_.U16());
        b.Fill(in_.U8());
        return b;
      }
      case 1:
        return IsoBuffer();
      case 2: {
        Buffer b(in_.U16());
        const uint16_t n = in_.U16();
        std::vector<uint8_t> given(n);
        in_.Bytes(given.data(), n);
        if (b.length && n) memcpy(b.data(), given.data(), std::min<size_t>(n, b.length));
        return b;
      }
      default: {
        Buffer b(uint32_t(in_.U16()) << 3);
        b.Fill(in_.U8());
        return b;
      }
    }
  }

  // --- operations ---
  void Step(Op op) {
    switch (op) {
      case kOpen: return Open();
      case kClose: {
        Slot &s = SlotArg();
        Trace("close %d", int(&s - slots_));
        if (s.h != INVALID_HANDLE_VALUE) {
          simwin::ProcessScope as(processes_[s.process]);
          if (!simwin::CloseHandle(s.h)) Fault("CloseHandle failed on an open handle");
          s.h = INVALID_HANDLE_VALUE;
        }
        return;
      }
      case kIoctl: return Ioctl();
      case kRead:
      case kWrite: {
        Slot &s = SlotArg();
        StartIo(s, op == kRead, DataBuffer());
        return;
      }
      case kIsoRace: return IsoRace();
      case kCancel: return Cancel();
      case kWait: {
        const uint8_t k = in_.U8();
        if (!ios_.empty()) Wait(*ios_[k % ios_.size()]);
        return;
      }
      case kConfigure: return Configure();
      case kSetInterface: {
        Slot &s = SlotArg();
        InterfaceSetting r{};
        r.InterfaceNumber = in_.U8();
        r.AlternateSetting = in_.U8();
        r.MaximumTransferSize = TransferSize();
        Send(s, IOCTL_SET_INTERFACE, &r, sizeof r, 0);
        return;
      }
      case kBind: {
        Slot &s = SlotArg();
        const uint8_t k = in_.U8();
        const BindPipeRequest r{k < sizeof kEndpoints ? kEndpoints[k] : uint8_t(k)};
        Send(s, IOCTL_BIND_PIPE, &r, sizeof r, 0);
        return;
      }
      case kPipeOp: return PipeOp();
      case kDevicePower: {
        Slot &s = SlotArg();
        const PowerStateValue v{uint32_t(in_.U8() % 6)};
        Send(s, IOCTL_SET_DEVICE_POWER_STATE, &v, sizeof v, 0);
        return;
      }
      case kSleep: {
        const SYSTEM_POWER_STATE state = SYSTEM_POWER_STATE(PowerSystemSleeping1 + in_.U8() % 4);
        if (asleep_) return;
        Trace("sleep S%d", int(state) - 1);
        asleep_ = NT_SUCCESS(sim::power::Sleep(state));
        return;
      }
      case kResume:
        if (!asleep_) return;
        Trace("resume");
        (void)sim::power::Resume();
        asleep_ = false;
        return;
      case kUnplug:
        if (!present_) return;
        Trace("unplug");
        Bus::Get().Settle();
        Bus::Get().Unplug(Pdo());
        present_ = false;
        return;
      case kReplug:
        if (present_ || plugs_ >= 3) return;
        Bus::Get().Settle();
        Plug();
        return;
      case kRebalance:
        if (!present_) return;
        Bus::Get().Settle();
        // A start that failed (start-time configuration, say) took the stack down again.
        if (sim::pnp::State(Pdo()) != sim::pnp::NodeState::Started) return;
        Trace("rebalance");
        (void)sim::pnp::Rebalance(Pdo());
        return;
      case kAdvance: {
        const uint16_t ms = in_.U16();
        Trace("advance %u", ms);
        if (ms)
          sim::AdvanceMs(ms);
        else
          (void)sim::AdvanceToNextTimer();
        return;
      }
      case kEndProcess: {
        const int p = in_.U8() & 1;
        Trace("end process %c", 'A' + p);
        simwin::EndProcess(processes_[p]);
        for (Slot &s : slots_)
          if (s.process == p) s.h = INVALID_HANDLE_VALUE;
        return;
      }
      case kBusFault: return BusFault();
      case kClearFaults:
        if (present_) Bus::Get().ClearFaults(Pdo());
        return;
      case kSettle:
        Bus::Get().Settle();
        return;
      case kOpCount: break;
    }
  }

  void Open() {
    Slot &s = SlotArg();
    const uint8_t who = in_.U8();
    if (s.h != INVALID_HANDLE_VALUE) return;
    static const DWORD kAccess[] = {GENERIC_READ | GENERIC_WRITE, GENERIC_READ, GENERIC_WRITE, 0};
    s.process = who & 1;
    simwin::ProcessScope as(processes_[s.process]);
    s.h = simwin::CreateFileW((who & 8) ? u"\\\\.\\Dev1" : u"\\\\.\\Dev0", kAccess[(who >> 1) & 3], 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    Trace("open %d as %c: %s", int(&s - slots_), 'A' + s.process,
          s.h == INVALID_HANDLE_VALUE ? "failed" : "open");
  }

  // Control codes complete inside the call.
  NTSTATUS Send(Slot &s, uint32_t code, const void *in, uint32_t inLength, uint32_t outLength) {
    Buffer input(inLength), output(outLength);
    if (inLength) memcpy(input.data(), in, inLength);
    output.Fill(0xA5);
    simwin::OVERLAPPED o{};
    DWORD bytes = 0;
    simwin::ProcessScope as(processes_[s.process]);
    const bool ok = simwin::DeviceIoControl(s.h, code, input.data(), inLength, output.data(), outLength, &bytes, &o);
    if (!ok && simwin::GetLastError() == ERROR_IO_PENDING) Fault("control code 0x%08x left pending", code);
    NoteImmediate(ok, o);
    const NTSTATUS status = NTSTATUS(uint32_t(o.Internal));
    Trace("ioctl %d 0x%08x in %u out %u: 0x%08x %llu", int(&s - slots_), code, inLength, outLength,
          uint32_t(status), static_cast<unsigned long long>(o.InternalHigh));
    return status;
  }

  void Ioctl() {
    Slot &s = SlotArg();
    const uint32_t code = Code();
    const uint32_t inLength = in_.U16() % 8193, outLength = in_.U16() % 8193;
    const uint16_t given = in_.U16();
    std::vector<uint8_t> in(std::max<uint32_t>(inLength, given));
    in_.Bytes(in.data(), given);
    const uint8_t fill = in_.U8();
    if (in.size() > given) memset(in.data() + given, fill, in.size() - given);
    Send(s, code, in.data(), inLength, outLength);
  }

  void StartIo(Slot &s, bool read, Buffer buffer) {
    if (ios_.size() >= kMaxIos) return;
    auto io = std::make_unique<Io>();
    io->buffer = std::move(buffer);
    io->handle = s.h;
    io->process = s.process;
    io->read = read;
    simwin::ProcessScope as(processes_[s.process]);
    const bool ok = read ? simwin::ReadFile(s.h, io->buffer.data(), io->buffer.length, nullptr, &io->o)
                         : simwin::WriteFile(s.h, io->buffer.data(), io->buffer.length, nullptr, &io->o);
    NoteImmediate(ok, io->o);
    Trace("%s %d of %u: request %zu %s", read ? "read" : "write", int(&s - slots_), io->buffer.length, ios_.size(),
          io->Done() ? "done" : "pending");
    ios_.push_back(std::move(io));
  }

  // The packet table changes under the driver from another thread for as long as the request
  // takes to reach the bus; its checks must hold for whatever values they read.
  void IsoRace() {
    Slot &s = SlotArg();
    const bool read = in_.U8() & 1;
    Buffer b = IsoBuffer();
    uint8_t mask[16];
    in_.Bytes(mask, sizeof mask);
    const int rewrites = 16 * (1 + in_.U8());
    if (ios_.size() >= kMaxIos || b.length < sizeof(IsoTransferHeader)) return StartIo(s, read, std::move(b));
    // Never the data behind the table, which the bus may be moving at the same time.
    IsoTransferHeader h;
    memcpy(&h, b.data(), sizeof h);
    const size_t tableEnd =
        std::min<size_t>(b.length, sizeof(IsoTransferHeader) + size_t(h.NumberOfPackets) * sizeof(IsoPacketDescriptor));
    uint8_t *table = b.data();
    std::atomic<bool> stop{false};
    std::thread writer([&] {
      for (int k = 0; k < rewrites && !stop.load(std::memory_order_relaxed); ++k)
        for (size_t i = 0; i < tableEnd; ++i)
          __atomic_store_n(&table[i], uint8_t(table[i] ^ mask[i % 16]), __ATOMIC_RELAXED);
    });
    StartIo(s, read, std::move(b));
    stop = true;
    writer.join();
  }

  void Cancel() {
    const uint8_t which = in_.U8();
    if (which < 0x80) {
      if (ios_.empty()) return;
      Io &io = *ios_[which % ios_.size()];
      Trace("cancel request %zu", size_t(which % ios_.size()));
      simwin::ProcessScope as(processes_[io.process]);
      (void)simwin::CancelIoEx(io.handle, &io.o);
      return;
    }
    Slot &s = slots_[which % kSlots];
    simwin::ProcessScope as(processes_[s.process]);
    Trace("cancel all on %d", which % kSlots);
    if (which < 0xC0)
      (void)simwin::CancelIoEx(s.h, nullptr);
    else
      (void)simwin::CancelIo(s.h);
  }

  // A short look: a request the device does not answer stays pending, which is no fault.
  void Wait(Io &io) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(2);
    while (!io.Done() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  }

  void Configure() {
    Slot &s = SlotArg();
    const uint8_t mode = in_.U8();
    SetConfigurationRequest r{};
    if (!(mode & 1)) {
      const bool second = mode & 2;
      r.ConfigurationIndex = second;
      const uint32_t size = TransferSize();
      if (second) {
        r.NumberOfInterfaces = 1;
        r.InterfaceList[0] = {0, 0, size};
      } else {
        r.NumberOfInterfaces = 3;
        r.InterfaceList[0] = {0, 0, size};
        r.InterfaceList[1] = {1, uint16_t((mode >> 2) & 7), size};
        r.InterfaceList[2] = {2, 0, size};
      }
    } else {
      r.ConfigurationIndex = in_.U16();
      r.NumberOfInterfaces = in_.U16();
      for (uint32_t k = 0; k < std::min<uint32_t>(r.NumberOfInterfaces, 4); ++k)
        r.InterfaceList[k] = {in_.U8(), in_.U8(), TransferSize()};
    }
    Send(s, IOCTL_SET_CONFIGURATION, &r, sizeof r, 0);
  }

  void PipeOp() {
    Slot &s = SlotArg();
    const uint8_t which = in_.U8() % 7;
    const uint32_t argument = in_.U32();
    switch (which) {
      case 0: Send(s, IOCTL_ABORT_PIPE, nullptr, 0, 0); break;
      case 1: Send(s, IOCTL_RESET_PIPE, nullptr, 0, 0); break;
      case 2: Send(s, IOCTL_UNBIND_PIPE, nullptr, 0, 0); break;
      case 3: Send(s, IOCTL_GET_PIPE_PARAMETERS, nullptr, 0, sizeof(PipeParameters)); break;
      case 4: Send(s, IOCTL_SET_PIPE_PARAMETERS, &argument, sizeof argument, 0); break;
      case 5: {
        StatisticsSetup setup{};
        setup.AveragingInterval = argument % 6000;
        Send(s, IOCTL_SETUP_PIPE_STATISTICS, &setup, sizeof setup, 0);
        break;
      }
      default: {
        uint8_t query[sizeof(PipeStatistics)] = {};
        memcpy(query, &argument, sizeof argument);
        Send(s, IOCTL_QUERY_PIPE_STATISTICS, query, sizeof(StatisticsQuery), sizeof query);
        break;
      }
    }
  }

  // Answers of the device that end at once: a stall, an error, a short packet, or (on a data
  // endpoint, whose requests the driver holds asynchronously) no answer at all.
  void BusFault() {
    const uint8_t target = in_.U8(), kind = in_.U8() % 4, count = in_.U8() % 4, argument = in_.U8();
    if (!present_) return;
    static const USBD_STATUS kStatuses[] = {USBD_STATUS_CRC, USBD_STATUS_BABBLE_DETECTED, USBD_STATUS_XACT_ERROR,
                                            USBD_STATUS_DEV_NOT_RESPONDING, USBD_STATUS_BUFFER_OVERRUN,
                                            USBD_STATUS_ISO_NOT_ACCESSED_BY_HW, USBD_STATUS_REQUEST_FAILED,
                                            USBD_STATUS_INVALID_PARAMETER};
    const bool request = target >= 0x80;
    const uint8_t endpoint = kEndpoints[target % sizeof kEndpoints];
    Response r;
    switch (kind) {
      case 0: r = Response::Stall(); break;
      case 1: r = Response::Error(kStatuses[argument % 8]); break;
      case 2: r = Response::Ack(std::vector<uint8_t>(argument, 0x3C)); break;
      default:
        if (request || endpoint == 0 || endpoint == 0x07) return;  // control requests wait for their answer
        r = Response::Nak();
        break;
    }
    Trace("bus fault %s 0x%02x kind %d count %d", request ? "request" : "endpoint", request ? target & 0x7F : endpoint,
          kind, count);
    if (request)
      Bus::Get().FailRequest(Pdo(), uint8_t(target & 0x7F), sim::usb::Fault{r, count});
    else
      Bus::Get().FailEndpoint(Pdo(), endpoint, sim::usb::Fault{r, count});
  }

  // --- the end: every request completes once cancelled, then the machine comes down ---
  void AwaitAll(const char *after, bool orphans) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (size_t k = 0; k < ios_.size(); ++k) {
      Io &io = *ios_[k];
      if (io.orphan && !orphans) continue;
      while (!io.Done()) {
        // Cancelled requests may wait for the driver's defer timer.
        if (sim::TimersSet()) (void)sim::AdvanceToNextTimer();
        Progress();
        std::this_thread::yield();
        if (std::chrono::steady_clock::now() > until) Fault("request %zu not completed %s", k, after);
      }
      const NTSTATUS status = NTSTATUS(uint32_t(io.o.Internal));
      if (NT_SUCCESS(status) && io.o.InternalHigh > io.buffer.length)
        Fault("request %zu succeeded with %llu bytes of a %u-byte buffer", k,
              static_cast<unsigned long long>(io.o.InternalHigh), io.buffer.length);
    }
  }

  void Finish() {
    Trace("finish");
    if (asleep_) {
      (void)sim::power::Resume();
      asleep_ = false;
    }
    for (auto &io : ios_)
      if (!io->Done()) {
        simwin::ProcessScope as(processes_[io->process]);
        if (!simwin::CancelIoEx(io->handle, &io->o)) io->orphan = true;  // closed, or the value reused
      }
    AwaitAll("after it was cancelled", false);
    for (Slot &s : slots_)
      if (s.h != INVALID_HANDLE_VALUE) {
        Progress();
        simwin::ProcessScope as(processes_[s.process]);
        if (!simwin::CloseHandle(s.h)) Fault("CloseHandle failed on an open handle");
        s.h = INVALID_HANDLE_VALUE;
      }
    Progress();
    Bus::Get().Settle();
    Trace("settled");
    Progress();
    if (present_) Bus::Get().Unplug(Pdo());
    Trace("unplugged");
    Progress();
    Bus::Get().Settle();
    Trace("settled");
    AwaitAll("after its handle closed and the device went", true);
    sim::pnp::Settle();
    sim::power::Settle();
    Trace("done");
  }

  Reader &in_;
  std::vector<std::unique_ptr<Io>> ios_;  // outlive the world: the driver writes into them
  sim::World world_;
  bool fullSpeed_ = false;
  std::vector<std::pair<uint8_t, uint32_t>> values_;
  PEPROCESS processes_[2] = {};
  PDRIVER_OBJECT driver_ = nullptr;
  sim::usb::TestDevice device_;
  PDEVICE_OBJECT pdo_ = nullptr;
  bool present_ = false;
  bool asleep_ = false;
  int plugs_ = 0;
  Slot slots_[kSlots];
};

}  // namespace
}  // namespace app_fuzz

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  app_fuzz::g_trace = getenv("XRUSB_FUZZ_TRACE") != nullptr;
  std::thread(app_fuzz::Watchdog).detach();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  app_fuzz::Trace("input");
  app_fuzz::Reader in({data, size});
  app_fuzz::Machine(in).Run();
  app_fuzz::Trace("world gone");
  return 0;
}
