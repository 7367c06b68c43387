// The device reply parser: schedule and phonebook replies as the device sends
// them, malformed and cut replies, and the number conversion.
#include "core/Convert.h"
#include "simset/ReplyParser.h"

#include <climits>
#include <random>

#include <gtest/gtest.h>

namespace kvl {
namespace {

// ------------------------------------------------------------ number conversion

struct IntCase {
  std::string text;
  bool ok;
  std::int32_t value;
};

class StrToInt32Cases : public ::testing::TestWithParam<IntCase> {};

TEST_P(StrToInt32Cases, Converts) {
  const IntCase& c = GetParam();
  std::int32_t v = 12345;
  EXPECT_EQ(StrToInt32(c.text, v), c.ok);
  EXPECT_EQ(v, c.ok ? c.value : 12345) << "untouched on failure";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StrToInt32Cases,
    ::testing::Values(
        IntCase{"0", true, 0}, IntCase{"256", true, 256}, IntCase{"+256", true, 256},
        IntCase{"-1", true, -1}, IntCase{"   42", true, 42}, IntCase{" -0", true, 0},
        IntCase{"000000000000256", true, 256}, IntCase{"2147483647", true, INT_MAX},
        IntCase{"-2147483648", true, INT_MIN}, IntCase{"2147483648", false, 0},
        IntCase{"-2147483649", false, 0}, IntCase{"+2147483648", false, 0},
        IntCase{"99999999999999999999999", false, 0}, IntCase{"$100", true, 256},
        IntCase{"0x100", true, 256}, IntCase{"0X100", true, 256}, IntCase{"x100", true, 256},
        IntCase{"X100", true, 256}, IntCase{"$ffFF", true, 65535},
        IntCase{"$FFFFFFFF", true, -1}, IntCase{"$80000000", true, INT_MIN},
        IntCase{"$00000001", true, 1}, IntCase{"$100000000", false, 0},
        IntCase{"-$10", true, -16}, IntCase{" +0x10", true, 16}, IntCase{"$", false, 0},
        IntCase{"0x", false, 0}, IntCase{"$G", false, 0}, IntCase{"0x1g", false, 0},
        IntCase{"", false, 0}, IntCase{"   ", false, 0}, IntCase{"+", false, 0},
        IntCase{"-", false, 0}, IntCase{"- 5", false, 0}, IntCase{"\t5", false, 0},
        IntCase{"5 ", false, 0}, IntCase{"256 ", false, 0}, IntCase{"5\r\n", false, 0},
        IntCase{"12abc", false, 0}, IntCase{"1e3", false, 0}, IntCase{"--1", false, 0},
        IntCase{"0$1", false, 0}, IntCase{std::string("7\0", 2), false, 0}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

// ------------------------------------------------------------ schedule replies

const std::string kMarker = "Bit registers work on SIM2";

struct ScheduleCase {
  const char* name;
  std::string text;
  ReplyResult::Kind kind;
  std::uint32_t mask;
  std::string numberText;
};

class ScheduleReplies : public ::testing::TestWithParam<ScheduleCase> {};

TEST_P(ScheduleReplies, Parses) {
  const ScheduleCase& c = GetParam();
  ReplyResult r = ParseDeviceReply(c.text);
  ASSERT_EQ(r.kind, c.kind);
  if (c.kind == ReplyResult::Schedule) {
    EXPECT_EQ(r.mask, c.mask);
  }
  if (c.kind == ReplyResult::Schedule || c.kind == ReplyResult::ScheduleError) {
    EXPECT_EQ(r.numberText, c.numberText);
  }
  if (c.kind == ReplyResult::ScheduleError) {
    EXPECT_EQ(r.errorMessage, "'" + c.numberText + "' is not a valid integer value");
  }
  for (const auto& row : r.rows) EXPECT_FALSE(row.touched);
}

std::string Reply(const std::string& number, const std::string& label = "SIM2 = ") {
  return "ActSim\r\n" + kMarker + "\r\nSIM1 = 0\r\n" + label + number + " --> 1 = SIM2\r\n";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScheduleReplies,
    ::testing::Values(
        ScheduleCase{"Hour08", kMarker + "\r\nSIM2 = 256 -->", ReplyResult::Schedule, 256, "256"},
        ScheduleCase{"FullDeviceReply", Reply("16773120"), ReplyResult::Schedule, 16773120,
                     "16773120"},
        ScheduleCase{"NoSeparatorTakesFirstDigit", Reply("256", "SIM2 ="), ReplyResult::Schedule,
                     56, "56"},
        ScheduleCase{"TwoSpacesBeforeArrow", Reply("256 "), ReplyResult::ScheduleError, 0, "256 "},
        ScheduleCase{"MinusOneIsEveryHour", Reply("-1"), ReplyResult::Schedule, 0xFFFFFF, "-1"},
        ScheduleCase{"HexDollar", Reply("$100"), ReplyResult::Schedule, 256, "$100"},
        ScheduleCase{"Hex0x", Reply("0x100"), ReplyResult::Schedule, 256, "0x100"},
        ScheduleCase{"HexX", Reply("X100"), ReplyResult::Schedule, 256, "X100"},
        ScheduleCase{"HighBitsIgnored", Reply("$FF000100"), ReplyResult::Schedule, 256,
                     "$FF000100"},
        ScheduleCase{"OutOfRangeDecimal", Reply("2147483648"), ReplyResult::ScheduleError, 0,
                     "2147483648"},
        ScheduleCase{"LowestDecimal", Reply("-2147483648"), ReplyResult::Schedule, 0,
                     "-2147483648"},
        ScheduleCase{"NoArrowRunsToEnd", kMarker + " SIM2 = 8388609", ReplyResult::Schedule,
                     8388609, "8388609"},
        ScheduleCase{"NoArrowWithLineEnd", kMarker + " SIM2 = 5\r\n", ReplyResult::ScheduleError,
                     0, "5\r\n"},
        ScheduleCase{"LabelAtEndOfText", kMarker + " SIM2 =", ReplyResult::ScheduleError, 0, ""},
        ScheduleCase{"LeadingSpacesAllowed", Reply("  7"), ReplyResult::Schedule, 7, "  7"},
        ScheduleCase{"NotANumber", Reply("abc"), ReplyResult::ScheduleError, 0, "abc"},
        ScheduleCase{"FirstArrowEndsNumber", kMarker + "SIM2 = 3 --> 4 -->",
                     ReplyResult::Schedule, 3, "3"},
        ScheduleCase{"LabelBeforeMarkerNotUsed", "SIM2 = 256 -->\r\n" + kMarker,
                     ReplyResult::None, 0, ""},
        ScheduleCase{"MarkerWithoutLabelFallsToPhonebook", kMarker + "\r\nSIM1 = 0\r\n",
                     ReplyResult::None, 0, ""},
        ScheduleCase{"ScheduleWinsOverPhonebook",
                     Reply("256") + "+CPBR: 1,\"+380670000001\",145,\"SMSADM\"\r\nOK\r\n",
                     ReplyResult::Schedule, 256, "256"},
        ScheduleCase{"ErrorAlsoSkipsPhonebook",
                     Reply("x") + "+CPBR: 1,\"+380670000001\",145,\"SMSADM\"\r\nOK\r\n",
                     ReplyResult::ScheduleError, 0, "x"},
        ScheduleCase{"CaseMatters", "bit registers work on sim2\r\nSIM2 = 256 -->",
                     ReplyResult::None, 0, ""},
        ScheduleCase{"Empty", "", ReplyResult::None, 0, ""},
        ScheduleCase{"BareOk", "\r\nOK\r\n", ReplyResult::None, 0, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ScheduleReplies, MarkerWithoutLabelReadsPhonebook) {
  ReplyResult r =
      ParseDeviceReply(kMarker + "\r\n+CPBR: 2,\"+380670000002\",145,\"CSDPCO\"\r\nOK\r\n");
  ASSERT_EQ(r.kind, ReplyResult::Phonebook);
  EXPECT_EQ(r.rows[1].phone, "+380670000002");
  EXPECT_TRUE(r.rows[1].csdLime);
}

// ------------------------------------------------------------ phonebook replies

struct RowExpect {
  std::string field;
  bool sms = false, csd = false;
  bool update = false;  // SimPhones entry takes field
};

const RowExpect kCleared{"", false, false, false};

struct PhonebookCase {
  const char* name;
  std::string text;
  std::array<RowExpect, 4> rows;
};

class PhonebookReplies : public ::testing::TestWithParam<PhonebookCase> {};

TEST_P(PhonebookReplies, FillsRows) {
  const PhonebookCase& c = GetParam();
  ReplyResult r = ParseDeviceReply(c.text);
  ASSERT_EQ(r.kind, ReplyResult::Phonebook);
  for (int n = 0; n < 4; ++n) {
    SCOPED_TRACE("row " + std::to_string(n + 1));
    const auto& got = r.rows[n];
    const RowExpect& want = c.rows[n];
    EXPECT_TRUE(got.touched);
    EXPECT_EQ(got.fieldText, want.field);
    EXPECT_EQ(got.smsLime, want.sms);
    EXPECT_EQ(got.csdLime, want.csd);
    EXPECT_EQ(got.updatePhone, want.update);
    if (want.update) {
      EXPECT_EQ(got.phone, want.field);
    }
  }
}

std::string Entry(int n, const std::string& number, const std::string& name) {
  return "+CPBR: " + std::to_string(n) + ",\"" + number + "\",145,\"" + name + "\"\r\n";
}

const std::string kEcho = "AT+CPBR=1,4\r\r\n";
const std::string kOk = "\r\nOK\r\n";

const std::string kCutEntry2 = "OK\r\n+CPBR: 2,";
const std::string kUnclosedEntry1 = "OK\r\n+CPBR: 1,\"+38067";

INSTANTIATE_TEST_SUITE_P(
    Cases, PhonebookReplies,
    ::testing::Values(
        PhonebookCase{"AllFour",
                      kEcho + Entry(1, "+380670000001", "SMSADM") +
                          Entry(2, "+380670000002", "CSDPCO") +
                          Entry(3, "+380670000003", "SMSADM") +
                          Entry(4, "+380670000004", "CSDPCO") + kOk,
                      {RowExpect{"+380670000001", true, false, true},
                       RowExpect{"+380670000002", false, true, true},
                       RowExpect{"+380670000003", true, false, true},
                       RowExpect{"+380670000004", false, true, true}}},
        PhonebookCase{"Entries1And3",
                      kEcho + Entry(1, "+380670000001", "SMSADM") +
                          Entry(3, "+380670000003", "CSDPCO") + kOk,
                      {RowExpect{"+380670000001", true, false, true}, kCleared,
                       RowExpect{"+380670000003", false, true, true}, kCleared}},
        PhonebookCase{"TwelveCharacterNumberNoName",
                      Entry(2, "+38067000000", "SMSADM") + kOk,
                      {kCleared, RowExpect{"+38067000000", false, false, true}, kCleared,
                       kCleared}},
        PhonebookCase{"FourteenCharacterNumberNoName",
                      Entry(2, "+3806700000000", "CSDPCO") + kOk,
                      {kCleared, RowExpect{"+3806700000000", false, false, true}, kCleared,
                       kCleared}},
        PhonebookCase{"OtherNameNoColour", Entry(1, "+380670000001", "ADMIN") + kOk,
                      {RowExpect{"+380670000001", false, false, true}, kCleared, kCleared,
                       kCleared}},
        PhonebookCase{"FirstOccurrenceOfNameCounts", Entry(1, "SMSADM0000000", "SMSADM") + kOk,
                      {RowExpect{"SMSADM0000000", false, false, true}, kCleared, kCleared,
                       kCleared}},
        PhonebookCase{"EmptyEntry4",
                      Entry(1, "+380670000001", "SMSADM") + Entry(4, "", "SMSADM") + kOk,
                      {RowExpect{"+380670000001", true, false, true}, kCleared, kCleared,
                       RowExpect{"", false, false, true}}},
        PhonebookCase{"EchoOnlyClearsAll", "AT+CPBR=1,4\r\n",
                      {kCleared, kCleared, kCleared, kCleared}},
        PhonebookCase{"NoOkClearsAll",
                      kEcho + Entry(1, "+380670000001", "SMSADM") +
                          Entry(3, "+380670000003", "CSDPCO"),
                      {kCleared, kCleared, kCleared, kCleared}},
        PhonebookCase{"OkAnywhereCounts",
                      "OK\r\n" + Entry(1, "+380670000001", "SMSADM"),
                      {RowExpect{"+380670000001", true, false, true}, kCleared, kCleared,
                       kCleared}},
        PhonebookCase{"FirstOfDuplicateEntriesWins",
                      Entry(1, "+380670000001", "SMSADM") + Entry(1, "+380670000009", "CSDPCO") +
                          kOk,
                      {RowExpect{"+380670000001", true, false, true}, kCleared, kCleared,
                       kCleared}},
        PhonebookCase{"EmptyEntryTextShowsExcept", kCutEntry2,
                      {kCleared, RowExpect{" except 2 " + kCutEntry2}, kCleared, kCleared}},
        PhonebookCase{"EntryEndingAtOpeningQuote", "OK\r\n+CPBR: 3,\"",
                      {kCleared, kCleared, RowExpect{" except 3 OK\r\n+CPBR: 3,\""}, kCleared}},
        PhonebookCase{"UnclosedNumberShowsExcept", kUnclosedEntry1,
                      {RowExpect{" except 1 " + kUnclosedEntry1}, kCleared, kCleared, kCleared}},
        PhonebookCase{"NumberCutAtFirstQuoteComma", Entry(1, "+38\",0", "SMSADM") + kOk,
                      {RowExpect{"+38", false, false, true}, kCleared, kCleared, kCleared}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PhonebookReplies, NameTestRunsIntoLaterEntries) {
  // Entry 1 carries no name of its own; the first "CSDPCO" after its number
  // lies in entry 2's line and is not at the 21st character.
  ReplyResult r = ParseDeviceReply(Entry(1, "+380670000001", "") +
                                   Entry(2, "+380670000002", "CSDPCO") + kOk);
  EXPECT_FALSE(r.rows[0].csdLime);
  EXPECT_TRUE(r.rows[1].csdLime);

  // Here the first "SMSADM" after entry 1's number lies inside entry 2's
  // number, exactly at the 21st character of entry 1's text: it counts.
  r = ParseDeviceReply("+CPBR: 1,\"1\",\"\"\r\n+CPBR: 2,\"abcSMSADM\",145,\"\"\r\nOK");
  EXPECT_EQ(r.rows[0].fieldText, "1");
  EXPECT_TRUE(r.rows[0].smsLime);
  EXPECT_EQ(r.rows[1].fieldText, "abcSMSADM");
  EXPECT_FALSE(r.rows[1].smsLime);
}

// A phonebook reply cut at every position, and a schedule reply likewise:
// no access outside the text, and a prefix without "OK" always clears.
TEST(ReplyRobustness, RepliesCutAtEveryPosition) {
  const std::string phonebook = kEcho + Entry(1, "+380670000001", "SMSADM") +
                                Entry(3, "+380670000003", "CSDPCO") + kOk;
  for (std::size_t len = 0; len <= phonebook.size(); ++len) {
    std::string part = phonebook.substr(0, len);
    ReplyResult r = ParseDeviceReply(part);
    if (part.find("+CPBR") == std::string::npos) {
      EXPECT_EQ(r.kind, ReplyResult::None) << len;
      continue;
    }
    ASSERT_EQ(r.kind, ReplyResult::Phonebook) << len;
    if (part.find("OK") == std::string::npos) {
      for (const auto& row : r.rows) EXPECT_TRUE(row.fieldText.empty() && !row.updatePhone);
    }
    // Also the tail end of the reply, as the next batch would see it.
    ParseDeviceReply(phonebook.substr(len));
  }
  const std::string schedule = Reply("16773120");
  for (std::size_t len = 0; len <= schedule.size(); ++len) {
    ParseDeviceReply(schedule.substr(0, len));
    ParseDeviceReply(schedule.substr(len));
  }
}

TEST(ReplyRobustness, RandomBatchesOfReplyPieces) {
  const std::vector<std::string> pieces = {
      "+CPBR: 1", "+CPBR: 2", "+CPBR: 3", "+CPBR: 4", "+CPBR", ",\"", "\",", "\"", ",",
      "145", "SMSADM", "CSDPCO", "OK", "\r\n", " ", "SIM2 =", kMarker, " -->", "-", "$",
      "0x", "7", "+380670000000", std::string(1, '\0'), "\xFF", "x"};
  std::mt19937 rng(424242);
  for (int iter = 0; iter < 20000; ++iter) {
    std::string text;
    int n = std::uniform_int_distribution<int>(0, 24)(rng);
    for (int i = 0; i < n; ++i) text += pieces[rng() % pieces.size()];
    ReplyResult r = ParseDeviceReply(text);
    if (r.kind == ReplyResult::Schedule) {
      EXPECT_EQ(r.mask & 0xFF000000u, 0u);
    }
    if (r.kind != ReplyResult::Phonebook) continue;
    for (const auto& row : r.rows) {
      ASSERT_TRUE(row.touched);
      if (row.updatePhone) {
        EXPECT_EQ(row.phone, row.fieldText);
      }
      if (row.smsLime || row.csdLime) {
        EXPECT_TRUE(row.updatePhone);
      }
      EXPECT_LE(row.fieldText.size(), text.size() + 10);
    }
  }
}

}  // namespace
}  // namespace kvl
