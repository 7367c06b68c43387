// State the SIM settings window shares with the main window. GUI thread only.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kvl {

// The stored phone numbers of SIM contacts 1 to 4 (index 0 to 3), as
// Windows-1251 bytes: filled from the settings file, replaced by parsed
// phonebook replies, shown in the contact fields when the window opens.
extern std::array<std::string, 4> SimPhones;

// The one command of the SIM settings window that waits to be sent, and its
// flags: bit 0 set means PendingCmd waits.
extern std::string PendingCmd;
extern std::uint8_t PendingCmdFlags;

// Puts every global of this file back to its value at start-up.
void ResetSimState();

}  // namespace kvl
