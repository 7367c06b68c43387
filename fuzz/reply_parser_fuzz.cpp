// Fuzz target: the device reply parser and its number conversion, on
// arbitrary received text.
//
// Checked on every input:
//  - StrToInt32 agrees with an independent model of the documented syntax
//    (blanks, sign, decimal range, hex prefixes and 1-8 digits) and leaves the
//    value alone when it refuses; a decimal result printed and converted
//    again, and a hex pattern printed and converted again, give the same value;
//  - the parser's verdict (none / schedule / schedule error / phonebook)
//    follows from which markers the text holds;
//  - a schedule result carries the number text cut from the right place, a
//    mask below 2^24 that is the converted value's low 24 bits, and touches no
//    contact row; an error carries the message for that text;
//  - a phonebook result touches all four rows, each row either cleared, or
//    showing the number up to its closing quote-comma, or showing the batch
//    behind the " except n " marker; lime only for a stored number.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "core/Convert.h"
#include "simset/ReplyParser.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The conversion as documented, written without looking at how the parser
// does it.
std::optional<std::int32_t> ModelStrToInt32(std::string_view s) {
  std::size_t start = s.find_first_not_of(' ');
  if (start == std::string_view::npos) return std::nullopt;
  s.remove_prefix(start);
  bool negative = false;
  if (s.front() == '+' || s.front() == '-') {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  std::string_view digits;
  bool hex = true;
  if (s.starts_with("0x") || s.starts_with("0X"))
    digits = s.substr(2);
  else if (s.starts_with("$") || s.starts_with("x") || s.starts_with("X"))
    digits = s.substr(1);
  else {
    hex = false;
    digits = s;
  }
  if (digits.empty()) return std::nullopt;
  if (hex) {
    if (digits.size() > 8) return std::nullopt;
    for (char c : digits)
      if (!IsHex(c)) return std::nullopt;
    std::uint32_t v = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), v, 16);
    if (negative) v = ~v + 1u;
    return static_cast<std::int32_t>(v);
  }
  for (char c : digits)
    if (c < '0' || c > '9') return std::nullopt;
  std::uint64_t magnitude = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  if (negative) {
    if (magnitude > 2147483648ull) return std::nullopt;
    return static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude));
  }
  if (magnitude > 2147483647ull) return std::nullopt;
  return static_cast<std::int32_t>(magnitude);
}

bool HasOnlyDecimalSyntax(std::string_view s) {
  std::size_t i = s.find_first_not_of(' ');
  if (i == std::string_view::npos) return false;
  if (s[i] == '+' || s[i] == '-') ++i;
  if (i == s.size()) return false;
  for (; i < s.size(); ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

void CheckConversion(std::string_view text) {
  constexpr std::int32_t kUntouched = 0x5A5A5A5A;
  std::int32_t value = kUntouched;
  const bool ok = kvl::StrToInt32(text, value);
  const std::optional<std::int32_t> expected = ModelStrToInt32(text);
  Check(ok == expected.has_value(), "StrToInt32 accepts exactly the documented syntax");
  if (!ok) {
    Check(value == kUntouched, "StrToInt32 leaves the value alone on failure");
    return;
  }
  Check(value == *expected, "StrToInt32 gives the documented value");

  if (HasOnlyDecimalSyntax(text)) {
    const std::string printed = std::to_string(value);
    std::int32_t again = 0;
    Check(kvl::StrToInt32(printed, again) && again == value, "decimal round trip");
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "$%08X", static_cast<unsigned>(value));
  std::int32_t again = 0;
  Check(kvl::StrToInt32(hex, again) && again == value, "hex round trip");
}

constexpr std::string_view kMarker = "Bit registers work on SIM2";
constexpr std::string_view kLabel = "SIM2 =";

bool RowIsUntouched(const kvl::ReplyResult::Row& row) {
  return !row.touched && row.fieldText.empty() && !row.smsLime && !row.csdLime &&
         !row.updatePhone && row.phone.empty();
}

bool RowIsCleared(const kvl::ReplyResult::Row& row) {
  return row.touched && row.fieldText.empty() && !row.smsLime && !row.csdLime &&
         !row.updatePhone && row.phone.empty();
}

// A schedule reply: `label` is where "SIM2 =" stands after the marker.
void CheckScheduleReply(std::string_view text, const kvl::ReplyResult& r, std::size_t label) {
  using kvl::ReplyResult;
  Check(r.kind == ReplyResult::Schedule || r.kind == ReplyResult::ScheduleError,
        "a schedule reply gives a schedule verdict");
  std::size_t from = label + kLabel.size() + 1;
  std::string_view number = from < text.size() ? text.substr(from) : std::string_view();
  number = number.substr(0, number.find(" -->"));
  Check(r.numberText == number, "number text cut after the separator, before \" -->\"");
  for (const auto& row : r.rows) Check(RowIsUntouched(row), "a schedule touches no row");
  const std::optional<std::int32_t> value = ModelStrToInt32(number);
  if (r.kind == ReplyResult::Schedule) {
    Check(value.has_value(), "schedule verdict only for a number that converts");
    Check(r.mask < (1u << 24), "mask has 24 bits");
    Check(r.mask == (static_cast<std::uint32_t>(*value) & 0xFFFFFFu), "mask is the low 24 bits");
    Check(r.errorMessage.empty(), "no message with a valid schedule");
  } else {
    Check(!value.has_value(), "error verdict only for a number that does not convert");
    Check(r.mask == 0, "no mask with an error");
    Check(r.errorMessage == "'" + std::string(number) + "' is not a valid integer value",
          "error message names the number text");
  }
}

// A phonebook reply ("+CPBR" without a schedule): every row is touched, each
// from its own entry when the batch holds it and ends in OK.
void CheckPhonebookReply(std::string_view text, const kvl::ReplyResult& r) {
  using kvl::ReplyResult;
  Check(r.kind == ReplyResult::Phonebook, "\"+CPBR\" gives a phonebook verdict");
  const bool haveOk = text.find("OK") != std::string_view::npos;
  for (int n = 1; n <= 4; ++n) {
    const ReplyResult::Row& row = r.rows[n - 1];
    Check(row.touched, "a phonebook verdict touches every row");
    const std::size_t at = text.find("+CPBR: " + std::to_string(n));
    if (at == std::string_view::npos || !haveOk) {
      Check(RowIsCleared(row), "a missing entry or a reply without OK clears the row");
      continue;
    }
    const std::size_t entryStart = at + 10;
    const std::string_view entry =
        entryStart < text.size() ? text.substr(entryStart) : std::string_view();
    if (!row.updatePhone) {
      Check(entry.find("\",") == std::string_view::npos, "an entry with a closed number is stored");
      Check(row.fieldText == " except " + std::to_string(n) + " " + std::string(text),
            "an entry without a closed number shows the batch behind its marker");
      Check(!row.smsLime && !row.csdLime && row.phone.empty(), "a failed entry has no lime");
      continue;
    }
    Check(row.phone == row.fieldText, "the stored number is the one shown");
    Check(row.fieldText.find("\",") == std::string::npos, "the number stops at its closing quote");
    Check(entry.starts_with(row.fieldText + "\","), "the number is the entry text up to \"\\\",\"");
    Check(row.smsLime == (entry.find("SMSADM") == 20), "SMSADM lime exactly at character 21");
    Check(row.csdLime == (entry.find("CSDPCO") == 20), "CSDPCO lime exactly at character 21");
  }
}

void CheckReply(std::string_view text) {
  using kvl::ReplyResult;
  const ReplyResult r = kvl::ParseDeviceReply(text);

  // Which reply the text holds, from the markers alone.
  std::optional<std::size_t> label;
  if (std::size_t m = text.find(kMarker); m != std::string_view::npos) {
    if (std::size_t l = text.find(kLabel, m); l != std::string_view::npos) label = l;
  }
  if (label) {
    CheckScheduleReply(text, r, *label);
    return;
  }
  Check(r.mask == 0 && r.numberText.empty() && r.errorMessage.empty(),
        "no schedule fields without a schedule reply");
  if (text.find("+CPBR") != std::string_view::npos) {
    CheckPhonebookReply(text, r);
    return;
  }
  Check(r.kind == ReplyResult::None, "text without a reply gives no verdict");
  for (const auto& row : r.rows) Check(RowIsUntouched(row), "no verdict touches no row");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CheckReply(text);
  CheckConversion(text);
  // Number texts are short: also convert every line of the input, so that
  // corpus entries holding several candidates exercise each of them.
  std::size_t pos = 0;
  for (int lines = 0; pos < text.size() && lines < 16; ++lines) {
    std::size_t lf = text.find('\n', pos);
    if (lf == std::string_view::npos) lf = text.size();
    CheckConversion(text.substr(pos, lf - pos));
    pos = lf + 1;
  }
  return 0;
}
