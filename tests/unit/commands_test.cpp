// Command texts and routes: every byte the device receives from a button,
// a command line or the SIM settings window.
#include "commands/Commands.h"

#include "commands/CommandHistory.h"

#include <set>

#include <gtest/gtest.h>

#include "core/Cp1251.h"

namespace kvl {
namespace {

struct RouteCase {
  Route route;
  bool connect;
  Link link;
};

TEST(CommandRoutes, LinkFollowsOnlyTheConnectBox) {
  for (const RouteCase& c : std::vector<RouteCase>{
           {Route::Routed, false, Link::Serial},
           {Route::Routed, true, Link::Tcp},
           {Route::SerialOnly, false, Link::Serial},
           {Route::SerialOnly, true, Link::Serial},
           {Route::SerialUnlessConnected, false, Link::Serial},
           {Route::SerialUnlessConnected, true, Link::None}}) {
    EXPECT_EQ(ResolveRoute(c.route, c.connect), c.link)
        << static_cast<int>(c.route) << " connect=" << c.connect;
  }
}

struct WireCase {
  Link link;
  bool pcsd;
  std::string wire;
};

TEST(CommandRoutes, PromptPrefixOnTcpAlwaysOnSerialWithPcsd) {
  for (const WireCase& c : std::vector<WireCase>{{Link::Tcp, false, "cKVL>MyV=7\r\n"},
                                                 {Link::Tcp, true, "cKVL>MyV=7\r\n"},
                                                 {Link::Serial, true, "cKVL>MyV=7\r\n"},
                                                 {Link::Serial, false, "MyV=7\r\n"}}) {
    EXPECT_EQ(WireText("MyV=7\r\n", c.link, c.pcsd), c.wire);
  }
  EXPECT_EQ(WireText("", Link::Tcp, false), "cKVL>") << "an empty line sends the prefix alone";
}

TEST(CommandRoutes, Echoes) {
  EXPECT_EQ(SerialEcho("MyV=7\r\n"), "\r\nTo Com: MyV=7\r\n");
  EXPECT_EQ(SerialEcho(""), "\r\nTo Com: ");
  EXPECT_EQ(TcpEcho("cKVL>RESTART"),
            EncodeCp1251(u"Отправка данных серверу: ") + "cKVL>RESTART\r\n");
}

struct LineCase {
  bool cr, lf;
  std::string out;
};

TEST(CommandLines, LineEndsFollowCrAndLf) {
  for (const LineCase& c : std::vector<LineCase>{{true, true, "MyV=7\r\n"},
                                                 {true, false, "MyV=7\r"},
                                                 {false, true, "MyV=7\n"},
                                                 {false, false, "MyV=7"}}) {
    EXPECT_EQ(ComposeCommandLine({"", "MyV=7", "", "", ""}, {false, true, false, false, false},
                                 c.cr, c.lf),
              c.out);
  }
}

TEST(CommandLines, SelectedLineTakenUnchanged) {
  const std::array<std::string, 5> lines = {"config level", " MyV=7 ", "KvlFact",
                                            "SVDWL=1.2.3.4 restart", ""};
  for (int n = 0; n < 5; ++n) {
    std::array<bool, 5> sel{};
    sel[n] = true;
    EXPECT_EQ(ComposeCommandLine(lines, sel, true, true), lines[n] + "\r\n") << "line " << n + 1;
  }
  EXPECT_EQ(ComposeCommandLine(lines, {false, false, false, false, true}, false, false), "");
}

TEST(CommandLines, PcsdSwitchesLineOne) {
  EXPECT_EQ(CommandLine1ForPcsd(true), "config level");
  std::string_view dial = CommandLine1ForPcsd(false);
  ASSERT_TRUE(dial.starts_with("ATD+")) << dial;
  EXPECT_EQ(dial.size(), 4u + 12u) << dial;
  EXPECT_EQ(dial.substr(4).find_first_not_of("0123456789"), std::string_view::npos) << dial;
}

TEST(OneClickCommands, BaudCodeIsThePosition) {
  EXPECT_EQ(BaudCode(-1), -1);
  EXPECT_EQ(BaudCode(-5), -1);
  EXPECT_EQ(BaudCode(7), 7);
}

OneClickFields Fields() {
  OneClickFields f;
  f.apn1 = "www.kyivstar.net";
  f.login1 = "user";
  f.passw1 = "pw";
  f.apn2 = "telematika";
  f.confBaudIndex = 7;
  f.confBaud2Index = 3;
  f.confPort = "7777";
  f.confPort2 = "7778";
  f.repHost = "192.168.1.1";
  f.repPort = "8080";
  return f;
}

// The group's controls in the order of the control sets, each with its
// sets; a button also with its caption, hint, the command it composes from
// Fields() and its route. A row added to the group is not pinned here; the
// rule below and the window's tests take it up.
struct RowPin {
  std::string_view name;
  unsigned sets;
  std::string_view caption = {}, hint = {}, text = {};
  Route route = Route::Routed;
};

constexpr unsigned kS = kSerialSet, kAll = kEverySet;
const RowPin kRowPins[] = {
    {"EdApn1", kS}, {"EdLogin1", kS}, {"EdPassw1", kS},
    {"BtnSetApn1", kS, "APN1", "Set APN1 SIM1", "APN1=\"www.kyivstar.net\",\"user\",\"pw\"",
     Route::SerialUnlessConnected},
    {"BtnAskApn1", kAll, "?", "Ask APN1 SIM1", "APN1"},
    {"EdApn2", kAll}, {"EdLogin2", kAll}, {"EdPassw2", kAll},
    {"BtnSetApn2", kAll, "APN2", "Set APN2 SIM2", "APN2=\"telematika\",\"\",\"\""},
    {"BtnAskApn2", kAll, "?", "Ask APN2 SIM2", "APN2"},
    {"CBConfBaud", kAll},
    {"BtnSetConfBaud", kAll, "SET", "Set out port baudrate", "MyBaudRate=7"},
    {"BtnAskConfBaud", kAll, "?", "Ask out port baudrate", "MyBaudRate"},
    {"CBConfBaud2", kAll},
    {"BtnSetConfBaud2", kAll, "SET", "Set out port baudrate", "U2BaudRate=3"},
    {"BtnAskConfBaud2", kAll, "?", "Ask out port baudrate", "U2BaudRate"},
    {"EdtConfPort", kAll}, {"EdtConfPort2", kAll},
    {"BtnSetPort", kS | kNetCloseSet, "PORT1", "Set modem source port 1", "sPORT=7777", Route::SerialOnly},
    {"BtnSetPort2", kAll, "PORT2", "Set modem source port 2", "dPORT=7778"},
    {"BtnAskPort", kAll, "?", "Ask modem source port 1", "sPORT"},
    {"BtnAskPort2", kAll, "?", "Ask modem source port 2", "dPORT"},
    {"edtRepHost", kAll}, {"edtRepPort", kAll},
    {"BtnSetRep", kAll, "SET", "Set AC report IP and port", "IPSERV=192.168.1.1 PORTSERV=8080"},
    {"BtnAskRep", kAll, "?", "Ask AC report IP and port", "IPSERV PORTSERV"},
    {"BtnLogOn", kS, "Log On", {}, "LogOn", Route::SerialOnly},
    {"BtnLogOff", kS, "Log Off", {}, "LogOff", Route::SerialOnly},
    {"BtnRestart", kAll, "Restart", {}, "RESTART"},
    {"BtnFactory", kS, "Factory", {}, "FACTORY", Route::SerialOnly},
    {"BtnSendCmd", kAll},
    {"BtnSimSet", kAll, "Sim Set", "SIM card's settings mode", "LogOn ActSim"},
};

TEST(OneClickGroup, KnownRowsKeepTheirOrderAndValues) {
  std::size_t next = 0;
  for (const GroupControl& c : OneClickGroup()) {
    if (next == std::size(kRowPins) || c.name != kRowPins[next].name) continue;
    const RowPin& pin = kRowPins[next++];
    EXPECT_EQ(c.sets, pin.sets) << pin.name;
    EXPECT_EQ(c.caption, pin.caption) << pin.name;
    EXPECT_EQ(c.hint, pin.hint) << pin.name;
    ASSERT_EQ(c.isButton(), !pin.text.empty()) << pin.name;
    if (!c.isButton()) continue;
    EXPECT_EQ(ComposeOneClick(c.id, Fields()), pin.text) << pin.name;
    EXPECT_EQ(c.route, pin.route) << pin.name;
  }
  ASSERT_EQ(next, std::size(kRowPins)) << "missing or out of order: " << kRowPins[next].name;
}

bool Overlap(const Place& a, const Place& b) {
  return a.frame == b.frame && a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h &&
         b.y < a.y + a.h;
}

// Every row, an added one too: a name of its own and a set; a button also
// a caption, an id of its own that finds its row, a command, and a place
// no other button of its frame takes.
TEST(OneClickGroup, EveryRowIsWellFormed) {
  std::set<std::string_view> names;
  std::vector<const GroupControl*> buttons;
  for (const GroupControl& c : OneClickGroup()) {
    EXPECT_TRUE(names.insert(c.name).second) << "twice: " << c.name;
    EXPECT_NE(c.sets, 0u) << c.name;
    if (!c.isButton()) continue;
    EXPECT_FALSE(c.caption.empty()) << c.name;
    EXPECT_EQ(&OneClickInfoOf(c.id), &c) << c.name << ": its id belongs to another row";
    EXPECT_FALSE(c.compose(Fields()).empty()) << c.name;
    for (const GroupControl* b : buttons)
      EXPECT_FALSE(Overlap(b->place, c.place)) << b->name << " and " << c.name;
    buttons.push_back(&c);
  }
}

// The fields go into the commands exactly as they stand.
TEST(OneClickGroup, FieldsTakenUnchanged) {
  struct Case {
    OneClick id;
    void (*edit)(OneClickFields&);
    std::string text;
  };
  for (const Case& c : std::vector<Case>{
           {OneClick::SetApn1, [](auto& f) { f.login1 = f.passw1 = ""; },
            "APN1=\"www.kyivstar.net\",\"\",\"\""},
           {OneClick::SetApn1, [](auto& f) { f.apn1 = "a\"b "; }, "APN1=\"a\"b \",\"user\",\"pw\""},
           {OneClick::SetApn2, [](auto& f) { f.login2 = "\xC8\xE2\xE0\xED"; },
            "APN2=\"telematika\",\"\xC8\xE2\xE0\xED\",\"\""},
           {OneClick::SetConfBaud, [](auto& f) { f.confBaudIndex = -1; }, "MyBaudRate=-1"},
           {OneClick::SetPort, [](auto& f) { f.confPort = ""; }, "sPORT="},
           {OneClick::SetRep, [](auto& f) { f.repHost = " h "; f.repPort = ""; },
            "IPSERV= h  PORTSERV="}}) {
    OneClickFields f = Fields();
    c.edit(f);
    EXPECT_EQ(ComposeOneClick(c.id, f), c.text);
  }
}

// ------------------------------------------------------------ SIM schedule

struct PlanCase {
  const char* name;
  std::set<int> sim2Hours;
  std::uint32_t mask;
};

class SchedulePlans : public ::testing::TestWithParam<PlanCase> {};

TEST_P(SchedulePlans, MaskAndCommand) {
  const PlanCase& c = GetParam();
  std::array<bool, 24> hours{};
  for (int h : c.sim2Hours) hours[h] = true;
  EXPECT_EQ(ScheduleMask(hours), c.mask);
  EXPECT_EQ(ScheduleSetCommand(ScheduleMask(hours)), "ActSim=" + std::to_string(c.mask) + "\r");
  EXPECT_EQ(ScheduleHours(c.mask), hours);
}

std::set<int> Hours(int from, int to) {
  std::set<int> s;
  for (int h = from; h <= to; ++h) s.insert(h);
  return s;
}

INSTANTIATE_TEST_SUITE_P(Cases, SchedulePlans,
                         ::testing::Values(PlanCase{"AllSim1", {}, 0},
                                           PlanCase{"AllSim2", Hours(0, 23), 16777215},
                                           PlanCase{"Hours00And23", {0, 23}, 8388609},
                                           PlanCase{"Hour08", {8}, 256},
                                           PlanCase{"Hours12To23", Hours(12, 23), 16773120}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ScheduleCommands, FixedTextsAndHighBits) {
  EXPECT_EQ(kScheduleAsk, "ActSim\r");
  EXPECT_EQ(ScheduleSetCommand(0xFF000100u), "ActSim=256\r") << "bits 24..31 never sent";
  EXPECT_EQ(ScheduleHours(0xFFFFFFFFu), ScheduleHours(0x00FFFFFFu));
}

// ------------------------------------------------------------ SIM contacts

struct ContactCase {
  const char* name;
  int entry;
  ContactName which;
  std::string number;
  std::string command;
  bool smsLime, csdLime;
};

class ContactWrites : public ::testing::TestWithParam<ContactCase> {};

TEST_P(ContactWrites, CommandAndColours) {
  const ContactCase& c = GetParam();
  ContactWrite w = ComposeContactWrite(c.entry, c.which, c.number);
  EXPECT_EQ(w.command, c.command);
  EXPECT_EQ(w.smsLime, c.smsLime);
  EXPECT_EQ(w.csdLime, c.csdLime);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ContactWrites,
    ::testing::Values(
        ContactCase{"Sms1", 1, ContactName::Smsadm, "+380670000000",
                    "AT+CPBW=1,\"+380670000000\",145,\"SMSADM\"\r\n", true, false},
        ContactCase{"Csd2", 2, ContactName::Csdpco, "+380670000000",
                    "AT+CPBW=2,\"+380670000000\",145,\"CSDPCO\"\r\n", false, true},
        ContactCase{"Csd3EmptyDeletes", 3, ContactName::Csdpco, "", "AT+CPBW=3\r\n", false, false},
        ContactCase{"Sms4EmptyDeletes", 4, ContactName::Smsadm, "", "AT+CPBW=4\r\n", false, false},
        ContactCase{"NumberSentUnchanged", 4, ContactName::Smsadm, " 067 00-00\"x",
                    "AT+CPBW=4,\" 067 00-00\"x\",145,\"SMSADM\"\r\n", true, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ContactCommands, ReadAndEntryRange) {
  EXPECT_EQ(kPhonebookRead, "AT+CPBR=1,4\r\n");
  EXPECT_THROW(ComposeContactWrite(0, ContactName::Smsadm, "1"), std::out_of_range);
  EXPECT_THROW(ComposeContactWrite(5, ContactName::Csdpco, "1"), std::out_of_range);
}

TEST(CommandHistory, NewestFirstWithoutRepeatsOrEmptyLinesUpToFifty) {
  CommandHistory h;
  for (const char* line : {"MyV=7", "", "KvlFact", "MyV=7"}) h.add(line);
  ASSERT_EQ(h.size(), 2u);
  EXPECT_EQ(h.at(0), "MyV=7");
  EXPECT_EQ(h.at(1), "KvlFact");
  for (int i = 0; i < 60; ++i) h.add("line " + std::to_string(i));
  ASSERT_EQ(h.size(), CommandHistory::kLimit);
  EXPECT_EQ(h.at(0), "line 59");
  EXPECT_EQ(h.at(49), "line 10");
}

TEST(CommandHistory, UpAndDownWalkBackToWhatWasTyped) {
  CommandHistory h;
  for (const char* line : {"first", "second", "third"}) h.add(line);
  CommandHistory::Walk walk;
  // Each step: true for Up, false for Down; what the line shows after it
  // ("-" when the key changes nothing).
  const std::vector<std::pair<bool, std::string>> steps = {
      {false, "-"},     {true, "third"}, {true, "second"}, {true, "first"}, {true, "-"},
      {false, "second"}, {false, "third"}, {false, "typed"}, {false, "-"},   {true, "third"}};
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const auto got = steps[i].first ? walk.older(h, "typed") : walk.newer(h);
    EXPECT_EQ(got.value_or("-"), steps[i].second) << "step " << i;
  }
  walk.reset();
  EXPECT_EQ(walk.older(h, "new").value_or("-"), "third");
  EXPECT_EQ(walk.newer(h).value_or("-"), "new");
}

}  // namespace
}  // namespace kvl
