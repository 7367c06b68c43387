#include "simset/SimState.h"

namespace kvl {

std::array<std::string, 4> SimPhones;
std::string PendingCmd;
std::uint8_t PendingCmdFlags = 0;

}  // namespace kvl
