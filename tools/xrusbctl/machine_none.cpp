// Windows: real devices only; the simulated machine's commands do not exist.
#include "ctl.h"

namespace xrusbctl {

const Command kMachineCommands[] = {{nullptr, nullptr, nullptr, nullptr}};

bool SimulatedMachine() { return false; }
void StartMachine(const std::vector<std::string> &, const std::string &) {}
void StopMachine() {}

}  // namespace xrusbctl
