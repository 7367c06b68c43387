// The simulated KVL modem: its settings, its SIM schedule and the four SIM
// phonebook entries, and the answers it gives to the command texts of the
// service terminal. No I/O here: one command text in, the reply bytes out.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace kvl::sim {

// The prompt prefix that the terminal puts in front of commands on the TCP
// link (and on the serial link in CSD mode).
inline constexpr std::string_view kPromptPrefix = "cKVL>";

// Marker and label of the schedule reply; the terminal's reply parser looks
// for the marker, then "SIM2 =", one space, the decimal mask and " -->".
inline constexpr std::string_view kScheduleMarker = "Bit registers work on SIM2";

// Highest schedule mask: one bit per hour, bit h set = hour h runs on SIM2.
inline constexpr std::uint32_t kMaxScheduleMask = 0xFFFFFFu;

inline constexpr int kPhonebookSize = 4;
inline constexpr std::size_t kMaxNumberLength = 40;
inline constexpr std::size_t kMaxNameLength = 14;
inline constexpr std::size_t kMaxTextLength = 63;  // APN fields and the server host
inline constexpr int kMaxBaudCode = 10;            // 0 = 1200 ... 10 = 921600

struct ApnSetting {
  std::string name;
  std::string login;
  std::string password;
  bool operator==(const ApnSetting&) const = default;
};

struct PhoneEntry {
  std::string number;
  int type = 145;  // 145 international ("+..."), 129 national
  std::string name;
  bool operator==(const PhoneEntry&) const = default;
};

struct DeviceState {
  std::array<ApnSetting, 2> apn;  // [0] = APN1 (SIM1), [1] = APN2 (SIM2)
  int myBaudRate = 7;             // out-port 1 baud code
  int u2BaudRate = 3;             // out-port 2 baud code
  int sPort = 5000;
  int dPort = 5001;
  std::string ipServ;
  int portServ = 8080;
  bool loggedOn = false;
  std::uint32_t simMask = 0;
  int myV = 0;  // a numeric setting of the default command lines ("MyV=7")
  std::array<std::optional<PhoneEntry>, kPhonebookSize> phonebook;  // entries 1..4
  bool operator==(const DeviceState&) const = default;
};

class DeviceModel {
 public:
  DeviceModel();

  // Factory settings. The phonebook lives on the SIM card, so the defaults
  // (and FACTORY) leave it alone; a fresh model starts with it empty.
  static DeviceState defaults();

  // Handles one command line (without its line end, with or without the
  // prompt prefix) and returns the bytes the modem sends back. An empty
  // command (a bare prompt) gets no answer.
  std::string handle(std::string_view command);

  // Reply to an over-long command line that the reader had to throw away.
  static std::string tooLongReply();

  const DeviceState& state() const { return state_; }
  DeviceState& state() { return state_; }

  // ATE0/ATE1 switch this; the program echoes command lines while it is set.
  bool echo() const { return echo_; }
  void setEcho(bool on) { echo_ = on; }

  unsigned restarts() const { return restarts_; }
  unsigned factoryResets() const { return factoryResets_; }
  unsigned long long commandCount() const { return commands_; }

  // One telemetry line for the given local time and sequence number, e.g.
  // "$TLM,14:05:09,GSM=21,U=12.3V,T=24C,SIM=1\r\n".
  std::string telemetryLine(const std::tm& localTime, unsigned seq) const;

  // The whole state as "Key=value" lines, for outside observers (tests,
  // demonstrations). Stable key order.
  std::string dump() const;

  // Reply pieces, public for reuse and for tests.
  static std::string scheduleReply(std::uint32_t mask);
  static std::string hoursText(std::uint32_t mask);  // "08", "00,12-23", "none"
  static std::string startupBanner();

 private:
  std::string handleAt(std::string_view cmd);
  std::string phonebookRead(std::string_view args);
  std::string phonebookWrite(std::string_view args);
  std::string handleSetting(std::string_view cmd);

  DeviceState state_;
  bool echo_ = false;
  unsigned restarts_ = 0;
  unsigned factoryResets_ = 0;
  unsigned long long commands_ = 0;
};

}  // namespace kvl::sim
