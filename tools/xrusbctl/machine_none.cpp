// Windows: real devices only; the simulated machine's commands do not exist.
#include "ctl.h"

namespace xrusbctl {

const Command kMachineCommands[] = {{nullptr, nullptr, nullptr, nullptr}};

bool SimulatedMachine() { return false; }
void StartMachine(const std::vector<std::string> &, const std::string &) {}
void StopMachine() {}
bool LoadFirmware(const std::string &, std::vector<uint8_t>) {
  throw UsageError("the driver loads an FX device's firmware at its start: copy the file to "
                   "%SystemRoot%\\System32\\drivers and name it in the device's FxFwFile value (docs/registry.md)");
}

}  // namespace xrusbctl
