#include "simset/SimState.h"

namespace kvl {

std::array<std::string, 4> SimPhones;
std::string PendingCmd;
std::uint8_t PendingCmdFlags = 0;

void ResetSimState() {
  for (std::string& phone : SimPhones) phone.clear();
  PendingCmd.clear();
  PendingCmdFlags = 0;
}

}  // namespace kvl
