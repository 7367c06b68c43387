// The simulated modem's command handling: what it stores and what it answers.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tools/sim/DeviceModel.h"

using kvl::sim::DeviceModel;
using kvl::sim::DeviceState;
using kvl::sim::PhoneEntry;

namespace {

const std::string kOk = "\r\nOK\r\n";
const std::string kError = "\r\nERROR\r\n";

std::string infoReply(const std::string& line) { return "\r\n" + line + "\r\n\r\nOK\r\n"; }

// Reads the mask out of a reply the way the terminal does: after the marker,
// the first "SIM2 =", one separator, the digits up to " -->".
std::string scheduleNumber(const std::string& reply) {
  const auto marker = reply.find("Bit registers work on SIM2");
  if (marker == std::string::npos) return "<no marker>";
  const auto label = reply.find("SIM2 =", marker);
  if (label == std::string::npos) return "<no label>";
  if (reply.size() <= label + 6 || reply[label + 6] != ' ') return "<no space>";
  const auto end = reply.find(" -->", label);
  if (end == std::string::npos) return "<no arrow>";
  return reply.substr(label + 7, end - (label + 7));
}

// The terminal's reading of phonebook entry n: the number starts 10
// characters after "+CPBR: n" and runs to the first "\","; a name counts
// when it starts at the 21st character of that text.
struct ParsedEntry {
  bool found = false;
  std::string number;
  std::string nameAt21;
};
ParsedEntry parseEntry(const std::string& reply, int n) {
  ParsedEntry p;
  const auto at = reply.find("+CPBR: " + std::to_string(n));
  if (at == std::string::npos || reply.find("OK") == std::string::npos) return p;
  const std::string text = reply.substr(at + 10);
  p.found = true;
  p.number = text.substr(0, text.find("\","));
  if (text.size() >= 26) p.nameAt21 = text.substr(20, 6);
  return p;
}

}  // namespace

TEST(SimDevice, PromptPrefixIsOptionalAndSpacesAroundTheCommandAreIgnored) {
  DeviceModel a, b;
  EXPECT_EQ(a.handle("sPORT=6000"), kOk);
  EXPECT_EQ(b.handle("cKVL>sPORT=6000"), kOk);
  EXPECT_EQ(a.state(), b.state());
  EXPECT_EQ(a.handle("cKVL>sPORT"), infoReply("sPORT=6000"));
  EXPECT_EQ(a.handle("  sPORT\t"), infoReply("sPORT=6000"));
  // A bare prompt (an empty command line on TCP) gets no answer at all.
  EXPECT_EQ(a.handle("cKVL>"), "");
  EXPECT_EQ(a.handle(""), "");
  // Only one prefix is taken off; the prompt is not part of any command.
  EXPECT_EQ(a.handle("cKVL>cKVL>sPORT"), kError);
  EXPECT_EQ(a.handle("ckvl>sPORT"), kError);
}

TEST(SimDevice, EverySettingIsStoredAndReportedBack) {
  struct Case {
    const char* set;
    const char* ask;
    const char* reported;
  };
  const Case cases[] = {
      {"APN1=\"www.kyivstar.net\",\"igprs\",\"secret\"", "APN1",
       "APN1=\"www.kyivstar.net\",\"igprs\",\"secret\""},
      {"APN2=\"internet\",\"\",\"\"", "APN2", "APN2=\"internet\",\"\",\"\""},
      {"MyBaudRate=3", "MyBaudRate", "MyBaudRate=3 (9600)"},
      {"U2BaudRate=10", "U2BaudRate", "U2BaudRate=10 (921600)"},
      {"sPORT=7001", "sPORT", "sPORT=7001"},
      {"dPORT=65535", "dPORT", "dPORT=65535"},
      {"IPSERV=192.168.1.1 PORTSERV=8081", "IPSERV PORTSERV", "IPSERV=192.168.1.1 PORTSERV=8081"},
      {"IPSERV=report.example.net", "IPSERV", "IPSERV=report.example.net"},
      {"PORTSERV=1", "PORTSERV", "PORTSERV=1"},
  };
  DeviceModel m;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.set);
    EXPECT_EQ(m.handle(c.set), kOk);
    EXPECT_EQ(m.handle(c.ask), infoReply(c.reported));
  }
  // The two APN settings and the two baud codes are separate.
  EXPECT_EQ(m.state().apn[0].name, "www.kyivstar.net");
  EXPECT_EQ(m.state().apn[1].name, "internet");
  EXPECT_EQ(m.state().myBaudRate, 3);
  EXPECT_EQ(m.state().u2BaudRate, 10);
}

TEST(SimDevice, InvalidSettingsAreRefusedAndChangeNothing) {
  const char* bad[] = {
      "APN1=internet,user,pass",             // not quoted
      "APN1=\"internet\",\"user\"",          // two fields
      "APN1=\"a\",\"b\",\"c\",\"d\"",        // four fields
      "APN1=\"a\", \"b\",\"c\"",             // stray space
      "APN2=\"a\",\"b\",\"c",                // unterminated quote
      "MyBaudRate=11",                       // beyond the table
      "MyBaudRate=-1",                       // nothing selected in the terminal
      "U2BaudRate=",                         // empty
      "U2BaudRate=3x",
      "sPORT=",                              // the terminal's empty field
      "sPORT=0",
      "dPORT=65536",
      "PORTSERV=99999999999999999999999",    // overflow
      "IPSERV=1.2.3.4 PORTSERV=",            // both or nothing
      "IPSERV=bad host PORTSERV=80",
      "IPSERV=",
  };
  DeviceModel m;
  const DeviceState before = m.state();
  for (const char* cmd : bad) {
    SCOPED_TRACE(cmd);
    EXPECT_EQ(m.handle(cmd), kError);
  }
  EXPECT_EQ(m.state(), before);

  // Over-long APN fields are refused too.
  EXPECT_EQ(m.handle("APN1=\"" + std::string(64, 'a') + "\",\"\",\"\""), kError);
  EXPECT_EQ(m.handle("APN1=\"" + std::string(63, 'a') + "\",\"\",\"\""), kOk);
}

TEST(SimDevice, LogOnLogOffRestartAndFactory) {
  DeviceModel m;
  EXPECT_FALSE(m.state().loggedOn);
  EXPECT_EQ(m.handle("LogOn"), infoReply("Config mode: ON"));
  EXPECT_TRUE(m.state().loggedOn);
  EXPECT_EQ(m.handle("LogOff"), infoReply("Config mode: OFF"));
  EXPECT_FALSE(m.state().loggedOn);

  // RESTART: OK, then the start-up burst; the session is over.
  m.handle("LogOn");
  const std::string r = m.handle("RESTART");
  EXPECT_EQ(r.rfind(kOk, 0), 0u);
  EXPECT_NE(r.find("RDY"), std::string::npos);
  EXPECT_NE(r.find("Call Ready"), std::string::npos);
  EXPECT_FALSE(m.state().loggedOn);
  EXPECT_EQ(m.restarts(), 1u);

  // FACTORY: every device setting back to its default; the SIM phonebook
  // is on the card and stays.
  m.handle("APN1=\"x\",\"y\",\"z\"");
  m.handle("APN2=\"x\",\"y\",\"z\"");
  m.handle("MyBaudRate=0");
  m.handle("U2BaudRate=0");
  m.handle("sPORT=1");
  m.handle("dPORT=2");
  m.handle("IPSERV=9.9.9.9 PORTSERV=9");
  m.handle("ActSim=77");
  m.handle("AT+CPBW=2,\"+380501112233\",145,\"CSDPCO\"");
  const auto phonebook = m.state().phonebook;
  ASSERT_NE(m.state(), DeviceModel::defaults());
  EXPECT_EQ(m.handle("FACTORY"), infoReply("Factory settings restored"));
  DeviceState expected = DeviceModel::defaults();
  expected.phonebook = phonebook;
  EXPECT_EQ(m.state(), expected);
  EXPECT_EQ(m.factoryResets(), 1u);
}

TEST(SimDevice, ScheduleReplyCarriesTheMaskWhereTheTerminalReadsIt) {
  for (std::uint32_t mask : {0u, 1u, 256u, 8388609u, 16773120u, 16777215u}) {
    SCOPED_TRACE(mask);
    DeviceModel m;
    ASSERT_EQ(m.handle("ActSim=" + std::to_string(mask)), kOk);
    EXPECT_EQ(m.state().simMask, mask);
    const std::string ask = m.handle("ActSim");
    EXPECT_EQ(scheduleNumber(ask), std::to_string(mask));
    EXPECT_EQ(ask.substr(ask.size() - kOk.size()), kOk);
    // The marker and the label are on separate lines.
    EXPECT_NE(ask.find("Bit registers work on SIM2\r\nSIM2 = "), std::string::npos);

    // "LogOn ActSim" logs on and answers with the same schedule.
    DeviceModel n;
    n.state().simMask = mask;
    const std::string logon = n.handle("cKVL>LogOn ActSim");
    EXPECT_TRUE(n.state().loggedOn);
    EXPECT_EQ(scheduleNumber(logon), std::to_string(mask));
  }

  EXPECT_EQ(DeviceModel::scheduleReply(256),
            "\r\nBit registers work on SIM2\r\n"
            "SIM2 = 256 --> hours on SIM2: 08\r\n"
            "Hour: 00 01 02 03 04 05 06 07 08 09 10 11 12 13 14 15 16 17 18 19 20 21 22 23\r\n"
            "SIM:   1  1  1  1  1  1  1  1  2  1  1  1  1  1  1  1  1  1  1  1  1  1  1  1\r\n");
  EXPECT_EQ(DeviceModel::hoursText(0), "none");
  EXPECT_EQ(DeviceModel::hoursText(8388609), "00,23");
  EXPECT_EQ(DeviceModel::hoursText(16773120), "12-23");
  EXPECT_EQ(DeviceModel::hoursText(0b1110110), "01-02,04-06");
  EXPECT_EQ(DeviceModel::hoursText(16777215), "00-23");
}

TEST(SimDevice, ScheduleSetRefusesWhatIsNotAMask) {
  DeviceModel m;
  m.handle("ActSim=5");
  for (const char* cmd : {"ActSim=", "ActSim=16777216", "ActSim=-1", "ActSim=abc", "ActSim=12a",
                          "ActSim= 5", "ActSim=0x10", "ActSim=99999999999999999999", "ActSim 5"}) {
    SCOPED_TRACE(cmd);
    EXPECT_EQ(m.handle(cmd), kError);
  }
  EXPECT_EQ(m.state().simMask, 5u);
  EXPECT_EQ(m.handle("ActSim=007"), kOk);  // leading zeros are still a number
  EXPECT_EQ(m.state().simMask, 7u);
}

TEST(SimDevice, PhonebookWriteReadDeleteRoundTrip) {
  DeviceModel m;
  EXPECT_EQ(m.handle("AT+CPBR=1,4"), kOk);  // empty phonebook: just OK

  EXPECT_EQ(m.handle("AT+CPBW=1,\"+380670000000\",145,\"SMSADM\""), kOk);
  EXPECT_EQ(m.handle("cKVL>AT+CPBW=3,\"+380671234567\",145,\"CSDPCO\""), kOk);
  const std::string read = m.handle("AT+CPBR=1,4");
  EXPECT_EQ(read,
            "\r\n+CPBR: 1,\"+380670000000\",145,\"SMSADM\"\r\n"
            "+CPBR: 3,\"+380671234567\",145,\"CSDPCO\"\r\n"
            "\r\nOK\r\n");

  // What the terminal makes of that reply.
  const ParsedEntry e1 = parseEntry(read, 1);
  EXPECT_TRUE(e1.found);
  EXPECT_EQ(e1.number, "+380670000000");
  EXPECT_EQ(e1.nameAt21, "SMSADM");
  EXPECT_FALSE(parseEntry(read, 2).found);
  EXPECT_EQ(parseEntry(read, 3).nameAt21, "CSDPCO");
  EXPECT_FALSE(parseEntry(read, 4).found);

  // Rewriting replaces, "AT+CPBW=n" deletes.
  EXPECT_EQ(m.handle("AT+CPBW=1,\"+380670000000\",145,\"CSDPCO\""), kOk);
  EXPECT_EQ(m.handle("AT+CPBW=3"), kOk);
  EXPECT_EQ(m.handle("AT+CPBR=1,4"), "\r\n+CPBR: 1,\"+380670000000\",145,\"CSDPCO\"\r\n\r\nOK\r\n");
  EXPECT_EQ(m.handle("AT+CPBW=1"), kOk);
  EXPECT_EQ(m.handle("AT+CPBR=1,4"), kOk);
  EXPECT_EQ(m.handle("AT+CPBW=4"), kOk);  // deleting an empty entry is fine
}

TEST(SimDevice, PhonebookAcceptsWhatTheTerminalSendsAndRefusesMalformedCommands) {
  DeviceModel m;
  // Numbers are taken as typed, also empty or with spaces; the type and the
  // name may be left out, the type then follows the number's form.
  EXPECT_EQ(m.handle("AT+CPBW=1,\"067 000 00 00\",145,\"SMSADM\""), kOk);
  EXPECT_EQ(m.handle("AT+CPBW=2,\"\",145,\"SMSADM\""), kOk);
  EXPECT_EQ(m.handle("at+cpbw=3,\"0670000000\""), kOk);
  EXPECT_EQ(m.handle("AT+CPBW=4,\"+380670000000\",145"), kOk);
  EXPECT_EQ(m.state().phonebook[0]->number, "067 000 00 00");
  EXPECT_EQ(m.state().phonebook[1]->number, "");
  EXPECT_EQ((PhoneEntry{"0670000000", 129, ""}), *m.state().phonebook[2]);
  EXPECT_EQ((PhoneEntry{"+380670000000", 145, ""}), *m.state().phonebook[3]);
  EXPECT_EQ(m.handle("AT+CPBR=2"), "\r\n+CPBR: 2,\"\",145,\"SMSADM\"\r\n\r\nOK\r\n");
  EXPECT_EQ(m.handle("AT+CPBR=3,4"),
            "\r\n+CPBR: 3,\"0670000000\",129,\"\"\r\n+CPBR: 4,\"+380670000000\",145,\"\"\r\n\r\nOK\r\n");

  const DeviceState before = m.state();
  for (const char* cmd : {
           "AT+CPBW=0,\"1\",145,\"A\"", "AT+CPBW=5,\"1\",145,\"A\"", "AT+CPBW=", "AT+CPBW=x",
           "AT+CPBW=1,1,145,\"A\"", "AT+CPBW=1,\"1\",abc,\"A\"", "AT+CPBW=1,\"1\",145,A",
           "AT+CPBW=1,\"1\",145,\"A\",", "AT+CPBW=1,\"1\",145,\"A\"x", "AT+CPBW=1,\"1\",256,\"A\"",
           "AT+CPBW=1,\"1\",145,\"NAMEMUCHTOOLONG\"", "AT+CPBW=1,\"1",
           "AT+CPBR=0,4", "AT+CPBR=1,5", "AT+CPBR=3,1", "AT+CPBR=", "AT+CPBR=1,", "AT+CPBR=a,b"}) {
    SCOPED_TRACE(cmd);
    EXPECT_EQ(m.handle(cmd), kError);
  }
  EXPECT_EQ(m.state(), before);
  EXPECT_EQ(m.handle("AT+CPBW=1,\"" + std::string(41, '1') + "\",129,\"A\""), kError);
}

TEST(SimDevice, ModemBasicsAndUnknownCommands) {
  DeviceModel m;
  EXPECT_EQ(m.handle("AT"), kOk);
  EXPECT_EQ(m.handle("at"), kOk);
  EXPECT_NE(m.handle("ATI").find("KVL"), std::string::npos);
  EXPECT_EQ(m.handle("AT+CPBR=?"), infoReply("+CPBR: (1-4),40,14"));

  EXPECT_FALSE(m.echo());
  EXPECT_EQ(m.handle("ATE1"), kOk);
  EXPECT_TRUE(m.echo());
  EXPECT_EQ(m.handle("ATE0"), kOk);
  EXPECT_FALSE(m.echo());

  // The device's own vocabulary is case-sensitive.
  for (const char* cmd : {"logon", "LOGON", "LogOnActSim", "LogOn  ActSim", "actsim", "Restart",
                          "APN3", "APN1?", "IPSERV  PORTSERV", "ATD+380670000000", "Config Level", "MyV=x", "\x01\xff",
                          "MyBaudRate 3"}) {
    SCOPED_TRACE(cmd);
    EXPECT_EQ(m.handle(cmd), kError);
  }
  EXPECT_EQ(DeviceModel::tooLongReply(), kError);
}

TEST(SimDevice, DefaultCommandLinesOfTheTerminalGetAnswers) {
  DeviceModel m;
  EXPECT_EQ(m.handle("config level"), infoReply("Config level: 1"));
  EXPECT_EQ(m.handle("MyV=7"), kOk);
  EXPECT_EQ(m.handle("cKVL>MyV"), infoReply("MyV=7"));
  EXPECT_EQ(m.handle("MyV=256"), kError);
  EXPECT_NE(m.handle("KvlFact").find("S/N"), std::string::npos);
}

TEST(SimDevice, TelemetryLineAndStateDump) {
  DeviceModel m;
  m.state().simMask = 1u << 14;
  std::tm t{};
  t.tm_hour = 14;
  t.tm_min = 5;
  t.tm_sec = 9;
  const std::string line = m.telemetryLine(t, 0);
  EXPECT_EQ(line.rfind("$TLM,14:05:09,GSM=", 0), 0u);
  EXPECT_NE(line.find(",SIM=2\r\n"), std::string::npos);
  t.tm_hour = 13;
  EXPECT_NE(m.telemetryLine(t, 1).find(",SIM=1\r\n"), std::string::npos);
  EXPECT_NE(m.telemetryLine(t, 2).find("V,T="), std::string::npos);

  m.handle("LogOn");
  m.handle("AT+CPBW=2,\"+380670000000\",145,\"SMSADM\"");
  const std::string d = m.dump();
  for (const char* line : {"APN1=\"internet\",\"\",\"\"\n", "LogOn=1\n", "ActSim=16384\n", "CPB1=\n",
                           "CPB2=\"+380670000000\",145,\"SMSADM\"\n", "Commands=2\n"}) {
    EXPECT_NE(d.find(line), std::string::npos) << line << " missing in\n" << d;
  }
}

TEST(SimDevice, ArbitraryInputAlwaysGetsAWellFormedAnswer) {
  // Pieces of real commands glued at random, plus arbitrary bytes.
  const std::vector<std::string> pieces = {
      "cKVL>", "AT", "+CPBW=", "+CPBR=", "ActSim", "=", ",", "\"", "1", "4", "145", "16777215", "99999999999",
      "APN1", "IPSERV", " PORTSERV=", "LogOn", " ", "\t", "SMSADM", "-", "?", std::string(1, '\0'), "\xff"};
  std::mt19937 rng(7);
  DeviceModel m;
  for (int i = 0; i < 20000; ++i) {
    std::string cmd;
    for (int n = static_cast<int>(rng() % 8); n > 0; --n) cmd += pieces[rng() % pieces.size()];
    const std::string r = m.handle(cmd);
    if (r.empty()) continue;
    ASSERT_EQ(r.substr(0, 2), "\r\n") << cmd;
    ASSERT_EQ(r.substr(r.size() - 2), "\r\n") << cmd;
    ASSERT_TRUE(r.find("OK\r\n") != std::string::npos || r == kError) << cmd;
  }
  // Whatever was accepted left a state the device can report.
  EXPECT_LE(m.state().simMask, kvl::sim::kMaxScheduleMask);
  for (const auto& e : m.state().phonebook)
    if (e) {
      EXPECT_LE(e->number.size(), kvl::sim::kMaxNumberLength);
    }
}
