#include "commands/Commands.h"

#include <stdexcept>

namespace kvl {
namespace {

std::string Quoted(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  out += '"';
  out += s;
  out += '"';
  return out;
}

std::string ApnCommand(std::string_view key, std::string_view apn, std::string_view login,
                       std::string_view passw) {
  return std::string(key) + "=" + Quoted(apn) + "," + Quoted(login) + "," + Quoted(passw);
}

}  // namespace

Link ResolveRoute(Route route, bool connectChecked) {
  switch (route) {
    case Route::Routed: return connectChecked ? Link::Tcp : Link::Serial;
    case Route::SerialOnly: return Link::Serial;
    case Route::SerialUnlessConnected: return connectChecked ? Link::None : Link::Serial;
  }
  return Link::None;
}

bool PromptApplies(Link link, bool pcsdChecked) {
  return link == Link::Tcp || (link == Link::Serial && pcsdChecked);
}

std::string WireText(std::string_view text, Link link, bool pcsdChecked) {
  std::string out;
  if (PromptApplies(link, pcsdChecked)) out = kPromptPrefix;
  out += text;
  return out;
}

std::string SerialEcho(std::string_view text) { return "\r\nTo Com: " + std::string(text); }

std::string TcpEcho(std::string_view prefixedText) {
  // "Отправка данных серверу: " in Windows-1251.
  static constexpr std::string_view kSending =
      "\xCE\xF2\xEF\xF0\xE0\xE2\xEA\xE0 \xE4\xE0\xED\xED\xFB\xF5 "
      "\xF1\xE5\xF0\xE2\xE5\xF0\xF3: ";
  return std::string(kSending) + std::string(prefixedText) + "\r\n";
}

std::string ComposeCommandLine(const std::array<std::string, 5>& lines,
                               const std::array<bool, 5>& selected, bool cr, bool lf) {
  std::string out;
  for (std::size_t n = 0; n < lines.size(); ++n)
    if (selected[n]) out += lines[n];
  if (cr) out += '\r';
  if (lf) out += '\n';
  return out;
}

std::string_view CommandLine1ForPcsd(bool pcsdChecked) {
  return pcsdChecked ? kCsdLineText : kDialLineText;
}

int BaudCode(int selectedIndex) { return selectedIndex < 0 ? -1 : selectedIndex; }

namespace {

GroupControl Field(std::string_view name, unsigned sets) {
  GroupControl c;
  c.name = name;
  c.sets = sets;
  return c;
}

GroupControl Button(OneClick id, std::string_view name, std::string_view caption, Route route,
                    unsigned sets, Place place, std::string_view hint,
                    std::string (*compose)(const OneClickFields&)) {
  return GroupControl{name, sets, id, caption, hint, route, place, compose};
}

constexpr unsigned kSerialOnly = kSerialSet;
constexpr Frame kGroup = Frame::Group;
constexpr Frame kReport = Frame::Report;

}  // namespace

const std::vector<GroupControl>& OneClickGroup() {
  using F = const OneClickFields&;
  static const std::vector<GroupControl> group = {
      Field("EdApn1", kSerialOnly),
      Field("EdLogin1", kSerialOnly),
      Field("EdPassw1", kSerialOnly),
      Button(OneClick::SetApn1, "BtnSetApn1", "APN1", Route::SerialUnlessConnected, kSerialOnly,
             {kGroup, 254, 16, 42, 21}, "Set APN1 SIM1",
             [](F f) { return ApnCommand("APN1", f.apn1, f.login1, f.passw1); }),
      Button(OneClick::AskApn1, "BtnAskApn1", "?", Route::Routed, kEverySet, {kGroup, 298, 16, 26, 21},
             "Ask APN1 SIM1", [](F) { return std::string("APN1"); }),
      Field("EdApn2", kEverySet),
      Field("EdLogin2", kEverySet),
      Field("EdPassw2", kEverySet),
      Button(OneClick::SetApn2, "BtnSetApn2", "APN2", Route::Routed, kEverySet,
             {kGroup, 254, 40, 42, 21}, "Set APN2 SIM2",
             [](F f) { return ApnCommand("APN2", f.apn2, f.login2, f.passw2); }),
      Button(OneClick::AskApn2, "BtnAskApn2", "?", Route::Routed, kEverySet, {kGroup, 298, 40, 26, 21},
             "Ask APN2 SIM2", [](F) { return std::string("APN2"); }),
      Field("CBConfBaud", kEverySet),
      Button(OneClick::SetConfBaud, "BtnSetConfBaud", "SET", Route::Routed, kEverySet,
             {kGroup, 79, 64, 36, 21}, "Set out port baudrate",
             [](F f) { return "MyBaudRate=" + std::to_string(BaudCode(f.confBaudIndex)); }),
      Button(OneClick::AskConfBaud, "BtnAskConfBaud", "?", Route::Routed, kEverySet,
             {kGroup, 117, 64, 26, 21}, "Ask out port baudrate",
             [](F) { return std::string("MyBaudRate"); }),
      Field("CBConfBaud2", kEverySet),
      Button(OneClick::SetConfBaud2, "BtnSetConfBaud2", "SET", Route::Routed, kEverySet,
             {kGroup, 79, 88, 36, 21}, "Set out port baudrate",
             [](F f) { return "U2BaudRate=" + std::to_string(BaudCode(f.confBaud2Index)); }),
      Button(OneClick::AskConfBaud2, "BtnAskConfBaud2", "?", Route::Routed, kEverySet,
             {kGroup, 117, 88, 26, 21}, "Ask out port baudrate",
             [](F) { return std::string("U2BaudRate"); }),
      Field("EdtConfPort", kEverySet),
      Field("EdtConfPort2", kEverySet),
      // Serial only, but the close of the TCP link switches it off too.
      Button(OneClick::SetPort, "BtnSetPort", "PORT1", Route::SerialOnly, kSerialSet | kNetCloseSet,
             {kGroup, 228, 64, 48, 21}, "Set modem source port 1",
             [](F f) { return "sPORT=" + f.confPort; }),
      Button(OneClick::SetPort2, "BtnSetPort2", "PORT2", Route::Routed, kEverySet,
             {kGroup, 228, 88, 48, 21}, "Set modem source port 2",
             [](F f) { return "dPORT=" + f.confPort2; }),
      Button(OneClick::AskPort, "BtnAskPort", "?", Route::Routed, kEverySet, {kGroup, 298, 64, 26, 21},
             "Ask modem source port 1", [](F) { return std::string("sPORT"); }),
      Button(OneClick::AskPort2, "BtnAskPort2", "?", Route::Routed, kEverySet,
             {kGroup, 298, 88, 26, 21}, "Ask modem source port 2",
             [](F) { return std::string("dPORT"); }),
      Field("edtRepHost", kEverySet),
      Field("edtRepPort", kEverySet),
      Button(OneClick::SetRep, "BtnSetRep", "SET", Route::Routed, kEverySet, {kReport, 204, 6, 36, 21},
             "Set AC report IP and port",
             [](F f) { return "IPSERV=" + f.repHost + " PORTSERV=" + f.repPort; }),
      Button(OneClick::AskRep, "BtnAskRep", "?", Route::Routed, kEverySet, {kReport, 244, 6, 26, 21},
             "Ask AC report IP and port", [](F) { return std::string("IPSERV PORTSERV"); }),
      Button(OneClick::LogOn, "BtnLogOn", "Log On", Route::SerialOnly, kSerialOnly,
             {kGroup, 70, 150, 60, 25}, {}, [](F) { return std::string("LogOn"); }),
      Button(OneClick::LogOff, "BtnLogOff", "Log Off", Route::SerialOnly, kSerialOnly,
             {kGroup, 134, 150, 60, 25}, {}, [](F) { return std::string("LogOff"); }),
      Button(OneClick::Restart, "BtnRestart", "Restart", Route::Routed, kEverySet,
             {kGroup, 198, 150, 60, 25}, {}, [](F) { return std::string("RESTART"); }),
      Button(OneClick::Factory, "BtnFactory", "Factory", Route::SerialOnly, kSerialOnly,
             {kGroup, 262, 150, 62, 25}, {}, [](F) { return std::string("FACTORY"); }),
      Field("BtnSendCmd", kEverySet),  // "Send" of the command lines
      Button(OneClick::SimSet, "BtnSimSet", "Sim Set", Route::Routed, kEverySet,
             {kGroup, 6, 150, 60, 25}, "SIM card's settings mode",
             [](F) { return std::string("LogOn ActSim"); }),
  };
  return group;
}

const GroupControl& OneClickInfoOf(OneClick id) {
  for (const GroupControl& c : OneClickGroup())
    if (c.isButton() && c.id == id) return c;
  throw std::out_of_range("unknown one-click command");
}

std::string ComposeOneClick(OneClick id, const OneClickFields& fields) {
  return OneClickInfoOf(id).compose(fields);
}

std::uint32_t ScheduleMask(const std::array<bool, 24>& hourOnSim2) {
  std::uint32_t mask = 0;
  for (unsigned h = 0; h < 24; ++h)
    if (hourOnSim2[h]) mask |= std::uint32_t{1} << h;
  return mask;
}

std::array<bool, 24> ScheduleHours(std::uint32_t mask) {
  std::array<bool, 24> hours{};
  for (unsigned h = 0; h < 24; ++h) hours[h] = (mask >> h) & 1u;
  return hours;
}

std::string ScheduleSetCommand(std::uint32_t mask) {
  return "ActSim=" + std::to_string(mask & 0xFFFFFFu) + "\r";
}

ContactWrite ComposeContactWrite(int entry, ContactName name, std::string_view number) {
  if (entry < 1 || entry > 4) throw std::out_of_range("phonebook entry must be 1..4");
  ContactWrite w;
  std::string n = std::to_string(entry);
  if (number.empty()) {
    w.command = "AT+CPBW=" + n + "\r\n";
    return w;  // deletion: both buttons in the window-text colour
  }
  std::string_view label = name == ContactName::Smsadm ? kNameSmsadm : kNameCsdpco;
  w.command = "AT+CPBW=" + n + ",\"" + std::string(number) + "\",145,\"" + std::string(label) +
              "\"\r\n";
  w.smsLime = name == ContactName::Smsadm;
  w.csdLime = name == ContactName::Csdpco;
  return w;
}

}  // namespace kvl
