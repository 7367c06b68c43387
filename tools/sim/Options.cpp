#include "tools/sim/Options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace kvl::sim {
namespace {

std::optional<std::uint64_t> toUnsigned(const std::string& s, std::uint64_t max) {
  if (s.empty() || s.size() > 20) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::uint64_t d = static_cast<std::uint64_t>(c - '0');
    if (d > max || v > (max - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

std::optional<double> toSeconds(const std::string& s) {
  if (s.empty() || s.size() > 32) return std::nullopt;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || c == '.')) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(s.c_str(), &end);
  if (errno != 0 || end != s.c_str() + s.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

// "N,NUMBER,NAME": entry N (1..4), the number, the name (may be empty).
std::optional<std::pair<int, PhoneEntry>> toContact(const std::string& s) {
  const std::size_t c1 = s.find(',');
  if (c1 == std::string::npos) return std::nullopt;
  const std::size_t c2 = s.find(',', c1 + 1);
  if (c2 == std::string::npos) return std::nullopt;
  auto index = toUnsigned(s.substr(0, c1), kPhonebookSize);
  if (!index || *index < 1) return std::nullopt;
  PhoneEntry e;
  e.number = s.substr(c1 + 1, c2 - c1 - 1);
  e.name = s.substr(c2 + 1);
  if (e.number.size() > kMaxNumberLength || e.name.size() > kMaxNameLength) return std::nullopt;
  for (const std::string* t : {&e.number, &e.name})
    for (char c : *t)
      if (c == '"' || static_cast<unsigned char>(c) < 0x20) return std::nullopt;
  e.type = (!e.number.empty() && e.number.front() == '+') ? 145 : 129;
  return std::make_pair(static_cast<int>(*index), e);
}

// A value option stores its value in the options; false: the value is invalid.
using SetValue = bool (*)(Options&, const std::string&);

// A value option that takes any text but an empty one.
template <std::string Options::*member>
bool SetText(Options& o, const std::string& v) {
  o.*member = v;
  return !v.empty();
}

// One command-line option: a flag sets its member, a value option passes its
// value (inline after '=' or the next argument) to its setter.
struct OptionRow {
  const char* name;
  const char* shortName;  // nullptr: none
  bool Options::*flag;    // nullptr: the option takes a value
  SetValue set;
};

const OptionRow kOptionRows[] = {
    {"--pty", nullptr, &Options::pty, nullptr},
    {"--echo", nullptr, &Options::echo, nullptr},
    {"--verbose", "-v", &Options::verbose, nullptr},
    {"--link", nullptr, nullptr,
     &SetText<&Options::link>},
    {"--tcp", nullptr, nullptr,
     [](Options& o, const std::string& v) {
       auto port = toUnsigned(v, 65535);
       if (port) o.tcpPort = static_cast<int>(*port);
       return port.has_value();
     }},
    {"--bind", nullptr, nullptr,
     &SetText<&Options::bind>},
    {"--telemetry", nullptr, nullptr,
     [](Options& o, const std::string& v) {
       auto s = toSeconds(v);
       if (!s || *s < 0.01 || *s > 86400) return false;
       o.telemetrySeconds = *s;
       return true;
     }},
    {"--send-file", nullptr, nullptr,
     &SetText<&Options::sendFile>},
    {"--send-bytes", nullptr, nullptr,
     [](Options& o, const std::string& v) {
       auto n = toUnsigned(v, std::uint64_t{1} << 50);
       if (n) o.sendBytes = *n;
       return n.has_value();
     }},
    {"--state", nullptr, nullptr,
     &SetText<&Options::stateFile>},
    {"--mask", nullptr, nullptr,
     [](Options& o, const std::string& v) {
       auto m = toUnsigned(v, kMaxScheduleMask);
       if (m) o.mask = static_cast<std::uint32_t>(*m);
       return m.has_value();
     }},
    {"--contact", nullptr, nullptr,
     [](Options& o, const std::string& v) {
       auto c = toContact(v);
       if (c) o.contacts.push_back(std::move(*c));
       return c.has_value();
     }},
    {"--pause", nullptr, nullptr,
     [](Options& o, const std::string& v) {
       auto ms = toUnsigned(v, 10000);
       if (!ms || *ms < 10) return false;
       o.pause = std::chrono::milliseconds(*ms);
       return true;
     }},
};

const OptionRow* FindOption(const std::string& name) {
  for (const OptionRow& row : kOptionRows)
    if (name == row.name || (row.shortName && name == row.shortName)) return &row;
  return nullptr;
}

// Applies one option whose row is found; a value not given inline is the
// next argument, taken by moving `i` on.
bool ApplyOption(const OptionRow& row, const std::string& name, const std::optional<std::string>& inlineValue,
                 const std::vector<std::string>& args, std::size_t& i, Options& o, std::string& error) {
  if (row.flag) {
    if (inlineValue) {
      error = "option " + name + " takes no value";
      return false;
    }
    o.*row.flag = true;
    return true;
  }
  if (!inlineValue && i + 1 >= args.size()) {
    error = "option " + name + " needs a value";
    return false;
  }
  const std::string value = inlineValue ? *inlineValue : args[++i];
  if (row.set(o, value)) return true;
  error = "invalid value for " + name + ": '" + value + "'";
  return false;
}

// The options that only make sense together with others.
bool CheckCombination(const Options& o, std::string& error) {
  if (!o.pty && o.tcpPort < 0) {
    error = "nothing to serve: give --pty, --tcp PORT or both (try --help)";
    return false;
  }
  if (!o.link.empty() && !o.pty) {
    error = "--link needs --pty";
    return false;
  }
  if (!o.sendFile.empty() && o.sendBytes) {
    error = "--send-file and --send-bytes exclude each other";
    return false;
  }
  return true;
}

}  // namespace

std::optional<Options> parseOptions(const std::vector<std::string>& args, std::string& error) {
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    // "--name=value" gives the value inline; short options never do.
    std::string name = args[i];
    std::optional<std::string> inlineValue;
    const std::size_t eq = name.rfind("--", 0) == 0 ? name.find('=') : std::string::npos;
    if (eq != std::string::npos) {
      inlineValue = name.substr(eq + 1);
      name.resize(eq);
    }
    if (name == "--help" || name == "-h") {
      o.help = true;
      return o;
    }
    const OptionRow* row = FindOption(name);
    if (!row) {
      error = "unknown option '" + args[i] + "' (try --help)";
      return std::nullopt;
    }
    if (!ApplyOption(*row, name, inlineValue, args, i, o, error)) return std::nullopt;
  }
  if (!CheckCombination(o, error)) return std::nullopt;
  return o;
}

std::string usage(const std::string& program) {
  return "Usage: " + program + R"( [OPTIONS]

Simulated KVL GSM/GPRS modem for trying and testing the service terminal
without hardware. It serves the device side of a pseudo-terminal and/or a
TCP port and answers the terminal's command texts.

Links (at least one):
  --pty               serve a new pseudo-terminal; prints "PTY <slave path>"
  --link PATH         keep a symlink at PATH to the pty's slave (removed at exit)
  --tcp PORT          listen on PORT (0: any free port); prints "TCP <addr>:<port>"
  --bind ADDR         IPv4 address to listen on (default 127.0.0.1)

Device:
  --mask N            start with this SIM schedule mask (0..16777215)
  --contact N,NUMBER,NAME
                      start with phonebook entry N (1..4) filled; repeatable
  --echo              echo command lines back (ATE1/ATE0 switch it too)
  --pause MS          pause that ends a command sent without a line end
                      (default 150)

Streams:
  --telemetry SECONDS send a "$TLM,..." telemetry line this often (off by default)
  --send-file FILE    send FILE as fast as the link takes it, once a terminal
                      opens the pty or for every TCP connection
  --send-bytes N      the same with N bytes of a generated text pattern
                      After each send, stderr gets
                      "SENT <link> bytes=<n> fnv1a64=<hex> ms=<t> [aborted]"

Observation:
  --state FILE        rewrite FILE with the device state after every command
  --verbose, -v       log commands and connections on stderr
  --help, -h          show this help

SIGINT, SIGTERM and SIGHUP stop the simulator cleanly.
)";
}

}  // namespace kvl::sim
