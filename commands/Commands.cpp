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

std::string ComposeCommandLine(std::string_view lineText, bool cr, bool lf) {
  std::string out(lineText);
  if (cr) out += '\r';
  if (lf) out += '\n';
  return out;
}

std::string_view CommandLine1ForPcsd(bool pcsdChecked) {
  return pcsdChecked ? kCsdLineText : kDialLineText;
}

int ConfBaudIndex(std::string_view rate) {
  for (std::size_t i = 0; i < kConfBaudRates.size(); ++i)
    if (kConfBaudRates[i] == rate) return static_cast<int>(i);
  return -1;
}

int BaudCode(int selectedIndex) { return selectedIndex < 0 ? -1 : selectedIndex; }

const std::array<OneClickInfo, kOneClickCount> kOneClickButtons = {{
    {OneClick::SetApn1, "BtnSetApn1", "APN1", Route::SerialUnlessConnected},
    {OneClick::AskApn1, "BtnAskApn1", "?", Route::Routed},
    {OneClick::SetApn2, "BtnSetApn2", "APN2", Route::Routed},
    {OneClick::AskApn2, "BtnAskApn2", "?", Route::Routed},
    {OneClick::SetConfBaud, "BtnSetConfBaud", "SET", Route::Routed},
    {OneClick::AskConfBaud, "BtnAskConfBaud", "?", Route::Routed},
    {OneClick::SetPort, "BtnSetPort", "PORT1", Route::SerialOnly},
    {OneClick::AskPort, "BtnAskPort", "?", Route::Routed},
    {OneClick::SetConfBaud2, "BtnSetConfBaud2", "SET", Route::Routed},
    {OneClick::AskConfBaud2, "BtnAskConfBaud2", "?", Route::Routed},
    {OneClick::SetPort2, "BtnSetPort2", "PORT2", Route::Routed},
    {OneClick::AskPort2, "BtnAskPort2", "?", Route::Routed},
    {OneClick::SetRep, "BtnSetRep", "SET", Route::Routed},
    {OneClick::AskRep, "BtnAskRep", "?", Route::Routed},
    {OneClick::SimSet, "BtnSimSet", "Sim Set", Route::Routed},
    {OneClick::LogOn, "BtnLogOn", "Log On", Route::SerialOnly},
    {OneClick::LogOff, "BtnLogOff", "Log Off", Route::SerialOnly},
    {OneClick::Restart, "BtnRestart", "Restart", Route::Routed},
    {OneClick::Factory, "BtnFactory", "Factory", Route::SerialOnly},
}};

const OneClickInfo& OneClickInfoOf(OneClick id) {
  for (const OneClickInfo& info : kOneClickButtons)
    if (info.id == id) return info;
  throw std::out_of_range("unknown one-click command");
}

std::string ComposeOneClick(OneClick id, const OneClickFields& f) {
  switch (id) {
    case OneClick::SetApn1: return ApnCommand("APN1", f.apn1, f.login1, f.passw1);
    case OneClick::AskApn1: return "APN1";
    case OneClick::SetApn2: return ApnCommand("APN2", f.apn2, f.login2, f.passw2);
    case OneClick::AskApn2: return "APN2";
    case OneClick::SetConfBaud: return "MyBaudRate=" + std::to_string(BaudCode(f.confBaudIndex));
    case OneClick::AskConfBaud: return "MyBaudRate";
    case OneClick::SetPort: return "sPORT=" + f.confPort;
    case OneClick::AskPort: return "sPORT";
    case OneClick::SetConfBaud2:
      return "U2BaudRate=" + std::to_string(BaudCode(f.confBaud2Index));
    case OneClick::AskConfBaud2: return "U2BaudRate";
    case OneClick::SetPort2: return "dPORT=" + f.confPort2;
    case OneClick::AskPort2: return "dPORT";
    case OneClick::SetRep: return "IPSERV=" + f.repHost + " PORTSERV=" + f.repPort;
    case OneClick::AskRep: return "IPSERV PORTSERV";
    case OneClick::SimSet: return "LogOn ActSim";
    case OneClick::LogOn: return "LogOn";
    case OneClick::LogOff: return "LogOff";
    case OneClick::Restart: return "RESTART";
    case OneClick::Factory: return "FACTORY";
  }
  throw std::out_of_range("unknown one-click command");
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
