// Texts of every command the terminal sends to a KVL device and the link each
// one takes. Plain composition: the windows read their fields, call these and
// hand the result to the send operation of the route. All texts are bytes in
// Windows-1251, taken exactly as typed: no trimming, no escaping.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvl {

// ---------------------------------------------------------------- routing

// How a command chooses its link.
enum class Route {
  Routed,                 // TCP link while "Connect" is checked, else serial
  SerialOnly,             // serial port whatever "Connect" says
  SerialUnlessConnected,  // serial port; nothing at all while "Connect" is checked
};

enum class Link { None, Serial, Tcp };

// The link a command of the route goes to, given the state of "Connect".
Link ResolveRoute(Route route, bool connectChecked);

// Prompt prefix of the device's command interpreter.
inline constexpr std::string_view kPromptPrefix = "cKVL>";

// Whether the bytes on the link carry the prompt prefix: always on the TCP
// link, on the serial link only while "pCSD" is checked.
bool PromptApplies(Link link, bool pcsdChecked);

// The bytes that leave on the link: the text, with the prefix when it applies.
std::string WireText(std::string_view text, Link link, bool pcsdChecked);

// Echo of a serial send in the text pane: the text as the sender gave it,
// never with the prefix.
std::string SerialEcho(std::string_view text);
// Echo of a TCP send: the text with its prefix, then a line end.
std::string TcpEcho(std::string_view prefixedText);

// ---------------------------------------------------------- command lines

// "Send": the text of the selected line (lines 1..5 in order, every selected
// one appended; the radio buttons make it exactly one), then "\r" when "CR"
// is checked and "\n" when "LF" is checked.
std::string ComposeCommandLine(const std::array<std::string, 5>& lines,
                               const std::array<bool, 5>& selected, bool cr, bool lf);

// Text of line 1 while "pCSD" is checked, and while it is not (the dial
// command with an example number: a plus sign and twelve digits).
inline constexpr std::string_view kCsdLineText = "config level";
inline constexpr std::string_view kDialLineText = "ATD+380442100000";
std::string_view CommandLine1ForPcsd(bool pcsdChecked);

// ------------------------------------------------------ one-click commands

// Items of the two outgoing baud-rate lists ("CBConfBaud", "CBConfBaud2");
// the code sent is the position.
inline constexpr std::array<std::string_view, 11> kConfBaudRates = {
    "1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200", "230400", "460800",
    "921600"};

// Code sent for a list selection: the item's position, -1 with nothing
// selected (any negative position).
int BaudCode(int selectedIndex);

// The buttons of the group "One click command".
enum class OneClick {
  SetApn1,
  AskApn1,
  SetApn2,
  AskApn2,
  SetConfBaud,
  AskConfBaud,
  SetPort,
  AskPort,
  SetConfBaud2,
  AskConfBaud2,
  SetPort2,
  AskPort2,
  SetRep,
  AskRep,
  SimSet,
  LogOn,
  LogOff,
  Restart,
  Factory,
};

// Field contents the one-click commands read, as they stand at the click.
struct OneClickFields {
  std::string apn1, login1, passw1;  // EdApn1, EdLogin1, EdPassw1
  std::string apn2, login2, passw2;  // EdApn2, EdLogin2, EdPassw2
  int confBaudIndex = -1;            // CBConfBaud selection, -1 for none
  int confBaud2Index = -1;           // CBConfBaud2 selection
  std::string confPort;              // EdtConfPort
  std::string confPort2;             // EdtConfPort2
  std::string repHost;               // edtRepHost
  std::string repPort;               // edtRepPort
};

// The control sets a control of the group belongs to: enabled while a
// serial port is open, enabled by a completed TCP connection, disabled by
// the close of the TCP link.
enum ControlSet : unsigned {
  kSerialSet = 1,
  kNetSet = 2,
  kNetCloseSet = 4,
  kEverySet = kSerialSet | kNetSet | kNetCloseSet,
};

// Where a button sits: in the group itself or in the report frame inside
// it, at x, y with width w and height h (pixels of the frame).
enum class Frame { Group, Report };
struct Place {
  Frame frame = Frame::Group;
  int x = 0, y = 0, w = 0, h = 0;
};

// One control of the group, in the order of the control sets. A button row
// is built, placed, put in its sets and connected by the window from the row
// alone; a field row names a control that the window's layout builds (the
// fields the commands read, and "Send" of the command lines) and puts it in
// its sets.
struct GroupControl {
  std::string_view name;  // objectName
  unsigned sets = 0;      // ControlSet bits
  // Buttons only (compose is null for a field).
  OneClick id{};
  std::string_view caption;
  std::string_view hint;  // tool tip; empty for none
  Route route = Route::Routed;
  Place place;
  // The command text (for "Sim Set", the log-on sent before the SIM
  // settings window opens), without a line end.
  std::string (*compose)(const OneClickFields&) = nullptr;

  bool isButton() const { return compose != nullptr; }
};

// Every control of the group in the order of the control sets.
const std::vector<GroupControl>& OneClickGroup();

// The row of a button.
const GroupControl& OneClickInfoOf(OneClick id);

// The command text of a button, composed from the fields.
std::string ComposeOneClick(OneClick id, const OneClickFields& fields);

// ------------------------------------------------------------ SIM schedule

inline constexpr std::string_view kScheduleAsk = "ActSim\r";

// Mask of a plan: bit h set when hour h runs on SIM2.
std::uint32_t ScheduleMask(const std::array<bool, 24>& hourOnSim2);
// The plan of a mask: bits 24..31 are ignored.
std::array<bool, 24> ScheduleHours(std::uint32_t mask);
// "ActSim=" + the mask in decimal (bits 24..31 dropped) + "\r".
std::string ScheduleSetCommand(std::uint32_t mask);

// ------------------------------------------------------------ SIM contacts

inline constexpr std::string_view kPhonebookRead = "AT+CPBR=1,4\r\n";
inline constexpr std::string_view kNameSmsadm = "SMSADM";
inline constexpr std::string_view kNameCsdpco = "CSDPCO";

enum class ContactName { Smsadm, Csdpco };

// A click on a name button of a contact row: the command to send and the
// caption colours of the row's two buttons afterwards (true = lime, false =
// the window-text colour).
struct ContactWrite {
  std::string command;
  bool smsLime = false;
  bool csdLime = false;
};

// Entry 1..4 (anything else throws std::out_of_range). A non-empty number
// writes "AT+CPBW=n,\"number\",145,\"NAME\"\r\n" and turns the clicked
// button lime; an empty one deletes the entry with "AT+CPBW=n\r\n" and leaves
// both buttons in the window-text colour.
ContactWrite ComposeContactWrite(int entry, ContactName name, std::string_view number);

}  // namespace kvl
