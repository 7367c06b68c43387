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

}  // namespace

std::optional<Options> parseOptions(const std::vector<std::string>& args, std::string& error) {
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> inlineValue;
    if (name.rfind("--", 0) == 0) {
      const std::size_t eq = name.find('=');
      if (eq != std::string::npos) {
        inlineValue = name.substr(eq + 1);
        name.resize(eq);
      }
    }
    auto value = [&]() -> std::optional<std::string> {
      if (inlineValue) return inlineValue;
      if (i + 1 >= args.size()) {
        error = "option " + name + " needs a value";
        return std::nullopt;
      }
      return args[++i];
    };
    auto flag = [&](bool& target) {
      if (inlineValue) {
        error = "option " + name + " takes no value";
        return false;
      }
      target = true;
      return true;
    };
    auto bad = [&](const std::string& v) {
      error = "invalid value for " + name + ": '" + v + "'";
      return std::nullopt;
    };

    if (name == "--help" || name == "-h") {
      o.help = true;
      return o;
    } else if (name == "--pty") {
      if (!flag(o.pty)) return std::nullopt;
    } else if (name == "--echo") {
      if (!flag(o.echo)) return std::nullopt;
    } else if (name == "--verbose" || name == "-v") {
      if (!flag(o.verbose)) return std::nullopt;
    } else if (name == "--link") {
      auto v = value();
      if (!v) return std::nullopt;
      if (v->empty()) return bad(*v);
      o.link = *v;
    } else if (name == "--tcp") {
      auto v = value();
      if (!v) return std::nullopt;
      auto port = toUnsigned(*v, 65535);
      if (!port) return bad(*v);
      o.tcpPort = static_cast<int>(*port);
    } else if (name == "--bind") {
      auto v = value();
      if (!v) return std::nullopt;
      if (v->empty()) return bad(*v);
      o.bind = *v;
    } else if (name == "--telemetry") {
      auto v = value();
      if (!v) return std::nullopt;
      auto s = toSeconds(*v);
      if (!s || *s < 0.01 || *s > 86400) return bad(*v);
      o.telemetrySeconds = *s;
    } else if (name == "--send-file") {
      auto v = value();
      if (!v) return std::nullopt;
      if (v->empty()) return bad(*v);
      o.sendFile = *v;
    } else if (name == "--send-bytes") {
      auto v = value();
      if (!v) return std::nullopt;
      auto n = toUnsigned(*v, std::uint64_t{1} << 50);
      if (!n) return bad(*v);
      o.sendBytes = *n;
    } else if (name == "--state") {
      auto v = value();
      if (!v) return std::nullopt;
      if (v->empty()) return bad(*v);
      o.stateFile = *v;
    } else if (name == "--mask") {
      auto v = value();
      if (!v) return std::nullopt;
      auto m = toUnsigned(*v, kMaxScheduleMask);
      if (!m) return bad(*v);
      o.mask = static_cast<std::uint32_t>(*m);
    } else if (name == "--contact") {
      auto v = value();
      if (!v) return std::nullopt;
      auto c = toContact(*v);
      if (!c) return bad(*v);
      o.contacts.push_back(std::move(*c));
    } else if (name == "--pause") {
      auto v = value();
      if (!v) return std::nullopt;
      auto ms = toUnsigned(*v, 10000);
      if (!ms || *ms < 10) return bad(*v);
      o.pause = std::chrono::milliseconds(*ms);
    } else {
      error = "unknown option '" + args[i] + "' (try --help)";
      return std::nullopt;
    }
  }

  if (!o.pty && o.tcpPort < 0) {
    error = "nothing to serve: give --pty, --tcp PORT or both (try --help)";
    return std::nullopt;
  }
  if (!o.link.empty() && !o.pty) {
    error = "--link needs --pty";
    return std::nullopt;
  }
  if (!o.sendFile.empty() && o.sendBytes) {
    error = "--send-file and --send-bytes exclude each other";
    return std::nullopt;
  }
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
