// xrusbctl: what the commands share — their table, the arguments they take, the session they
// run in, and the exit codes scripts rely on.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "json.h"
#include "xrusb/xrusb.hpp"

namespace xrusbctl {

// Exit codes.
enum Exit : int {
  kOk = 0,
  kFailed = 1,    // the device, the driver or the system refused or failed a request
  kUsage = 2,     // the command line is wrong
  kNoDevice = 3,  // no device matches
};

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct NoDevice : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A command's words after its name. Options are taken out first (--name value, --name=value,
// or a flag); what is left are the positional words.
class Args {
 public:
  explicit Args(std::vector<std::string> words) : words_(std::move(words)) {}
  bool Flag(const std::string &name, const std::string &shortName = "");
  std::optional<std::string> Option(const std::string &name, const std::string &shortName = "");
  // After the options: none of them may be left.
  size_t Count();
  const std::string &At(size_t i);
  std::optional<std::string> Optional(size_t i);

 private:
  std::vector<std::string> words_;
};

// Numbers as users write them: decimal, 0x hex, or (with 'hex') hex without the prefix.
uint64_t ParseNumber(const std::string &text, uint64_t max, const char *what);
std::vector<uint8_t> ParseHex(const std::string &text);  // "01 02 0a", "01020a", "0x01,0x02"
std::vector<uint8_t> ReadFileBytes(const std::string &path);  // "-": standard input
std::string HexDump(std::span<const uint8_t> bytes);          // 16 a line with offsets and ASCII
std::string Hex(std::span<const uint8_t> bytes);              // "01 02 0a"
std::vector<std::string> Tokenize(const std::string &line);   // spaces, 'single' and "double" quotes

struct Context {
  bool json = false;
  std::string select;  // the device: an index of `list`, a path, or VID:PID[:SERIAL]
  Json result;         // the command's result, printed with --json

  // Plain text output, left out with --json.
  void Text(const char *format, ...) __attribute__((format(gnu_printf, 2, 3)));
  // The selected device, opened once and kept for the following commands (the driver may drop
  // the configuration at the last close); opened again when its path has gone.
  xrusb::Device &Open();
  // A pipe of the selected device, kept open for the following commands: its statistics and
  // other state last only as long as its handle. Let go when the pipes may have changed.
  xrusb::Pipe &OpenPipe(uint8_t endpoint);
  void DropPipes() { pipes.clear(); }
  void Forget() {
    pipes.clear();
    device.reset();
  }
  // The device list as `list` numbers it.
  std::vector<xrusb::DeviceEntry> Devices();

 private:
  xrusb::Device OpenSelected();
  std::optional<xrusb::Device> device;
  std::string openedFor;
  std::map<uint8_t, xrusb::Pipe> pipes;  // of 'device'; after it, so closed before it
};

struct Command {
  const char *name;
  const char *usage;  // after the name
  const char *help;   // one line
  int (*run)(Context &context, Args &args);
};

// The command tables of each file; ends with a null name.
extern const Command kDeviceCommands[];
extern const Command kDataCommands[];
extern const Command kDescribeCommands[];
extern const Command kFirmwareCommands[];
// Host: plug, unplug, fault, trace, capture. Windows: none.
extern const Command kMachineCommands[];

// The simulated machine of the host build ("test", "fx2", "test:full" devices; a capture file to
// write at the end). On Windows these do nothing and SimulatedMachine() is false.
bool SimulatedMachine();
void StartMachine(const std::vector<std::string> &devices, const std::string &captureFile);
void StopMachine();
// Host: plugs a bare FX2 bootloader whose FxFwFile names 'firmware', put in the machine's drivers
// folder, and waits until the driver's download has run; false when the device did not start
// (the driver refused the file or the download failed). Windows: a usage error (the driver
// loads firmware only at a device's start, from the file its FxFwFile value names).
bool LoadFirmware(const std::string &name, std::vector<uint8_t> firmware);

// The shell's line input: with editing and history on a terminal, plain lines otherwise.
// False at the end of input.
bool ReadLine(const char *prompt, std::string &line);

const char *SpeedName(xrusb::Speed speed);

}  // namespace xrusbctl
