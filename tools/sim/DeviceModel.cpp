#include "tools/sim/DeviceModel.h"

#include <cstdio>

namespace kvl::sim {
namespace {

constexpr std::string_view kOk = "\r\nOK\r\n";
constexpr std::string_view kError = "\r\nERROR\r\n";
constexpr std::string_view kModelName = "KVL GSM/GPRS modem";
constexpr std::string_view kRevision = "KVL-SIM 1.0";

constexpr int kBaudRates[kMaxBaudCode + 1] = {1200,  2400,   4800,   9600,   19200, 38400,
                                             57600, 115200, 230400, 460800, 921600};

// A V.250 style information response: the lines, a blank line, OK.
std::string info(std::string_view line) {
  std::string r = "\r\n";
  r += line;
  r += "\r\n";
  r += kOk;
  return r;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool startsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool startsWithNoCase(std::string_view s, std::string_view p) {
  if (s.size() < p.size()) return false;
  for (std::size_t i = 0; i < p.size(); ++i)
    if (upper(s[i]) != upper(p[i])) return false;
  return true;
}

bool equalsNoCase(std::string_view s, std::string_view p) {
  return s.size() == p.size() && startsWithNoCase(s, p);
}

// Decimal digits only (no sign, no spaces), value at most `max`.
std::optional<std::uint32_t> parseUnsigned(std::string_view s, std::uint32_t max) {
  if (s.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<unsigned>(c - '0');
    if (v > max) return std::nullopt;
  }
  return static_cast<std::uint32_t>(v);
}

// Takes a double-quoted field off the front of `s`. The field may hold any
// printable byte except the quote, up to `maxLen` bytes.
std::optional<std::string> takeQuoted(std::string_view& s, std::size_t maxLen) {
  if (s.empty() || s.front() != '"') return std::nullopt;
  const std::size_t close = s.find('"', 1);
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view body = s.substr(1, close - 1);
  if (body.size() > maxLen) return std::nullopt;
  for (char c : body)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return std::nullopt;
  s.remove_prefix(close + 1);
  return std::string(body);
}

bool takeComma(std::string_view& s) {
  if (s.empty() || s.front() != ',') return false;
  s.remove_prefix(1);
  return true;
}

// "name","login","password"
std::optional<ApnSetting> parseApn(std::string_view s) {
  ApnSetting a;
  auto name = takeQuoted(s, kMaxTextLength);
  if (!name || !takeComma(s)) return std::nullopt;
  auto login = takeQuoted(s, kMaxTextLength);
  if (!login || !takeComma(s)) return std::nullopt;
  auto pass = takeQuoted(s, kMaxTextLength);
  if (!pass || !s.empty()) return std::nullopt;
  a.name = std::move(*name);
  a.login = std::move(*login);
  a.password = std::move(*pass);
  return a;
}

std::string apnText(const ApnSetting& a) {
  return "\"" + a.name + "\",\"" + a.login + "\",\"" + a.password + "\"";
}

// Server host: a dotted address or a host name.
bool validHost(std::string_view s) {
  if (s.empty() || s.size() > kMaxTextLength) return false;
  for (char c : s) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                    c == '.' || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::optional<int> parsePort(std::string_view s) {
  auto v = parseUnsigned(s, 65535);
  if (!v || *v == 0) return std::nullopt;
  return static_cast<int>(*v);
}

std::string baudText(int code) {
  std::string r = std::to_string(code);
  if (code >= 0 && code <= kMaxBaudCode) r += " (" + std::to_string(kBaudRates[code]) + ")";
  return r;
}

std::string two(int v) {
  char b[4];
  std::snprintf(b, sizeof b, "%02d", v % 100);
  return b;
}

std::string phoneLine(int index, const PhoneEntry& e) {
  return "+CPBR: " + std::to_string(index) + ",\"" + e.number + "\"," + std::to_string(e.type) +
         ",\"" + e.name + "\"";
}

}  // namespace

DeviceModel::DeviceModel() : state_(defaults()) {}

DeviceState DeviceModel::defaults() {
  DeviceState s;
  s.apn[0] = {"internet", "", ""};
  s.apn[1] = {"internet", "", ""};
  s.myBaudRate = 7;
  s.u2BaudRate = 3;
  s.sPort = 5000;
  s.dPort = 5001;
  s.ipServ = "10.0.0.1";
  s.portServ = 8080;
  s.loggedOn = false;
  s.simMask = 0;
  return s;
}

std::string DeviceModel::tooLongReply() { return std::string(kError); }

std::string DeviceModel::hoursText(std::uint32_t mask) {
  std::string r;
  int h = 0;
  while (h < 24) {
    if (!(mask & (1u << h))) {
      ++h;
      continue;
    }
    int end = h;
    while (end + 1 < 24 && (mask & (1u << (end + 1)))) ++end;
    if (!r.empty()) r += ',';
    r += two(h);
    if (end > h) r += "-" + two(end);
    h = end + 1;
  }
  return r.empty() ? "none" : r;
}

std::string DeviceModel::scheduleReply(std::uint32_t mask) {
  mask &= kMaxScheduleMask;
  std::string r = "\r\n";
  r += kScheduleMarker;
  r += "\r\nSIM2 = " + std::to_string(mask) + " --> hours on SIM2: " + hoursText(mask) + "\r\n";
  std::string hours = "Hour:";
  std::string sims = "SIM: ";
  for (int h = 0; h < 24; ++h) {
    hours += " " + two(h);
    sims += (mask & (1u << h)) ? "  2" : "  1";
  }
  r += hours + "\r\n" + sims + "\r\n";
  return r;
}

std::string DeviceModel::startupBanner() {
  std::string r = "\r\nRDY\r\n\r\n+CFUN: 1\r\n\r\n+CPIN: READY\r\n\r\n";
  r += kModelName;
  r += ", revision ";
  r += kRevision;
  r += "\r\n\r\nCall Ready\r\n";
  return r;
}

std::string DeviceModel::handle(std::string_view command) {
  std::string_view cmd = command;
  if (startsWith(cmd, kPromptPrefix)) cmd.remove_prefix(kPromptPrefix.size());
  cmd = trim(cmd);
  if (cmd.empty()) return {};
  ++commands_;

  if (startsWithNoCase(cmd, "AT")) return handleAt(cmd);

  if (cmd == "LogOn") {
    state_.loggedOn = true;
    return info("Config mode: ON");
  }
  if (cmd == "LogOff") {
    state_.loggedOn = false;
    return info("Config mode: OFF");
  }
  if (cmd == "LogOn ActSim") {
    state_.loggedOn = true;
    return "\r\nConfig mode: ON\r\n" + scheduleReply(state_.simMask) + std::string(kOk);
  }
  if (cmd == "ActSim") return scheduleReply(state_.simMask) + std::string(kOk);
  if (startsWith(cmd, "ActSim=")) {
    auto mask = parseUnsigned(cmd.substr(7), kMaxScheduleMask);
    if (!mask) return std::string(kError);
    state_.simMask = *mask;
    return std::string(kOk);
  }
  if (cmd == "RESTART") {
    state_.loggedOn = false;
    ++restarts_;
    return std::string(kOk) + startupBanner();
  }
  // The other texts of the terminal's default command lines.
  if (cmd == "config level") return info("Config level: " + std::string(state_.loggedOn ? "2" : "1"));
  if (cmd == "KvlFact") return info("KVL factory data: S/N 00012345, firmware 1.04, board rev. C");
  if (cmd == "MyV") return info("MyV=" + std::to_string(state_.myV));
  if (startsWith(cmd, "MyV=")) {
    auto v = parseUnsigned(cmd.substr(4), 255);
    if (!v) return std::string(kError);
    state_.myV = static_cast<int>(*v);
    return std::string(kOk);
  }
  if (cmd == "FACTORY") {
    DeviceState fresh = defaults();
    fresh.phonebook = state_.phonebook;
    fresh.loggedOn = state_.loggedOn;
    state_ = std::move(fresh);
    ++factoryResets_;
    return info("Factory settings restored");
  }
  return handleSetting(cmd);
}

std::string DeviceModel::handleSetting(std::string_view cmd) {
  if (cmd == "IPSERV PORTSERV")
    return info("IPSERV=" + state_.ipServ + " PORTSERV=" + std::to_string(state_.portServ));
  if (startsWith(cmd, "IPSERV=")) {
    const std::size_t sep = cmd.find(" PORTSERV=");
    if (sep != std::string_view::npos) {
      std::string_view host = cmd.substr(7, sep - 7);
      auto port = parsePort(cmd.substr(sep + 10));
      if (!validHost(host) || !port) return std::string(kError);
      state_.ipServ = std::string(host);
      state_.portServ = *port;
      return std::string(kOk);
    }
  }

  const std::size_t eq = cmd.find('=');
  const std::string_view key = cmd.substr(0, eq);
  const bool set = eq != std::string_view::npos;
  const std::string_view value = set ? cmd.substr(eq + 1) : std::string_view{};

  if (key == "APN1" || key == "APN2") {
    ApnSetting& a = state_.apn[key == "APN1" ? 0 : 1];
    if (!set) return info(std::string(key) + "=" + apnText(a));
    auto parsed = parseApn(value);
    if (!parsed) return std::string(kError);
    a = std::move(*parsed);
    return std::string(kOk);
  }
  if (key == "MyBaudRate" || key == "U2BaudRate") {
    int& code = key == "MyBaudRate" ? state_.myBaudRate : state_.u2BaudRate;
    if (!set) return info(std::string(key) + "=" + baudText(code));
    auto v = parseUnsigned(value, kMaxBaudCode);
    if (!v) return std::string(kError);
    code = static_cast<int>(*v);
    return std::string(kOk);
  }
  if (key == "sPORT" || key == "dPORT" || key == "PORTSERV") {
    int& port = key == "sPORT" ? state_.sPort : key == "dPORT" ? state_.dPort : state_.portServ;
    if (!set) return info(std::string(key) + "=" + std::to_string(port));
    auto v = parsePort(value);
    if (!v) return std::string(kError);
    port = *v;
    return std::string(kOk);
  }
  if (key == "IPSERV") {
    if (!set) return info("IPSERV=" + state_.ipServ);
    if (!validHost(value)) return std::string(kError);
    state_.ipServ = std::string(value);
    return std::string(kOk);
  }
  return std::string(kError);
}

std::string DeviceModel::handleAt(std::string_view cmd) {
  if (equalsNoCase(cmd, "AT")) return std::string(kOk);
  if (equalsNoCase(cmd, "ATI")) return info(std::string(kModelName) + "\r\nRevision: " + std::string(kRevision));
  if (equalsNoCase(cmd, "ATE0") || equalsNoCase(cmd, "ATE")) {
    echo_ = false;
    return std::string(kOk);
  }
  if (equalsNoCase(cmd, "ATE1")) {
    echo_ = true;
    return std::string(kOk);
  }
  if (startsWithNoCase(cmd, "AT+CPBR=")) return phonebookRead(cmd.substr(8));
  if (startsWithNoCase(cmd, "AT+CPBW=")) return phonebookWrite(cmd.substr(8));
  return std::string(kError);
}

std::string DeviceModel::phonebookRead(std::string_view args) {
  if (args == "?")
    return info("+CPBR: (1-" + std::to_string(kPhonebookSize) + ")," +
                std::to_string(kMaxNumberLength) + "," + std::to_string(kMaxNameLength));
  const std::size_t comma = args.find(',');
  auto first = parseUnsigned(args.substr(0, comma), kPhonebookSize);
  auto last = comma == std::string_view::npos ? first
                                              : parseUnsigned(args.substr(comma + 1), kPhonebookSize);
  if (!first || !last || *first < 1 || *last < *first) return std::string(kError);

  std::string r;
  for (std::uint32_t i = *first; i <= *last; ++i) {
    const auto& e = state_.phonebook[i - 1];
    if (!e) continue;
    r += (r.empty() ? "\r\n" : "") + phoneLine(static_cast<int>(i), *e) + "\r\n";
  }
  return r + std::string(kOk);
}

std::string DeviceModel::phonebookWrite(std::string_view args) {
  if (args == "?")
    return info("+CPBW: (1-" + std::to_string(kPhonebookSize) + ")," +
                std::to_string(kMaxNumberLength) + ",(129,145)," + std::to_string(kMaxNameLength));
  const std::size_t comma = args.find(',');
  auto index = parseUnsigned(args.substr(0, comma), kPhonebookSize);
  if (!index || *index < 1) return std::string(kError);
  auto& slot = state_.phonebook[*index - 1];
  if (comma == std::string_view::npos) {
    slot.reset();
    return std::string(kOk);
  }

  std::string_view rest = args.substr(comma + 1);
  auto number = takeQuoted(rest, kMaxNumberLength);
  if (!number) return std::string(kError);
  PhoneEntry e;
  e.type = (!number->empty() && number->front() == '+') ? 145 : 129;
  if (takeComma(rest)) {
    const std::size_t next = rest.find(',');
    auto type = parseUnsigned(rest.substr(0, next), 255);
    if (!type) return std::string(kError);
    e.type = static_cast<int>(*type);
    rest = next == std::string_view::npos ? std::string_view{} : rest.substr(next);
    if (takeComma(rest)) {
      auto name = takeQuoted(rest, kMaxNameLength);
      if (!name) return std::string(kError);
      e.name = std::move(*name);
    }
  }
  if (!rest.empty()) return std::string(kError);
  e.number = std::move(*number);
  slot = std::move(e);
  return std::string(kOk);
}

std::string DeviceModel::telemetryLine(const std::tm& t, unsigned seq) const {
  const int gsm = 14 + static_cast<int>((seq * 7u) % 12u);
  const int tenths = static_cast<int>((seq * 3u) % 7u);
  const int temp = 23 + static_cast<int>(seq % 3u);
  const int hour = (t.tm_hour >= 0 && t.tm_hour < 24) ? t.tm_hour : 0;
  const int sim = (state_.simMask & (1u << hour)) ? 2 : 1;
  char b[96];
  std::snprintf(b, sizeof b, "$TLM,%02d:%02d:%02d,GSM=%d,U=12.%dV,T=%dC,SIM=%d\r\n", hour,
                t.tm_min % 60, t.tm_sec % 61, gsm, tenths, temp, sim);
  return b;
}

std::string DeviceModel::dump() const {
  std::string r;
  r += "APN1=" + apnText(state_.apn[0]) + "\n";
  r += "APN2=" + apnText(state_.apn[1]) + "\n";
  r += "MyBaudRate=" + std::to_string(state_.myBaudRate) + "\n";
  r += "U2BaudRate=" + std::to_string(state_.u2BaudRate) + "\n";
  r += "sPORT=" + std::to_string(state_.sPort) + "\n";
  r += "dPORT=" + std::to_string(state_.dPort) + "\n";
  r += "IPSERV=" + state_.ipServ + "\n";
  r += "PORTSERV=" + std::to_string(state_.portServ) + "\n";
  r += std::string("LogOn=") + (state_.loggedOn ? "1" : "0") + "\n";
  r += "ActSim=" + std::to_string(state_.simMask) + "\n";
  for (int i = 0; i < kPhonebookSize; ++i) {
    r += "CPB" + std::to_string(i + 1) + "=";
    if (const auto& e = state_.phonebook[i])
      r += "\"" + e->number + "\"," + std::to_string(e->type) + ",\"" + e->name + "\"";
    r += "\n";
  }
  r += std::string("Echo=") + (echo_ ? "1" : "0") + "\n";
  r += "Restarts=" + std::to_string(restarts_) + "\n";
  r += "FactoryResets=" + std::to_string(factoryResets_) + "\n";
  r += "Commands=" + std::to_string(commands_) + "\n";
  return r;
}

}  // namespace kvl::sim
