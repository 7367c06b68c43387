#include "simset/ReplyParser.h"

#include "core/Convert.h"

namespace kvl {
namespace {

constexpr std::string_view kScheduleMarker = "Bit registers work on SIM2";
constexpr std::string_view kScheduleLabel = "SIM2 =";
constexpr std::string_view kScheduleEnd = " -->";
// The mask starts after the label and one separator character, whatever
// that character is.
constexpr std::size_t kMaskOffset = kScheduleLabel.size() + 1;

// In a standard entry line "+CPBR: n,\"<number>\",145,\"<name>\"" the entry
// text starts at the number, 10 characters after the '+' ...
constexpr std::size_t kEntryOffset = 10;
// ... and the name stands at its 21st character when the number has exactly
// 13 characters.
constexpr std::size_t kNameOffset = 20;
constexpr std::string_view kNumberEnd = "\",";

std::string_view Tail(std::string_view s, std::size_t from) {
  return from >= s.size() ? std::string_view() : s.substr(from);
}


bool TrySchedule(std::string_view text, ReplyResult& r) {
  std::size_t marker = text.find(kScheduleMarker);
  if (marker == std::string_view::npos) return false;
  std::size_t label = text.find(kScheduleLabel, marker);
  if (label == std::string_view::npos) return false;
  std::string_view number = Tail(text, label + kMaskOffset);
  std::size_t end = number.find(kScheduleEnd);
  if (end != std::string_view::npos) number = number.substr(0, end);
  r.numberText = std::string(number);
  std::int32_t value = 0;
  if (!StrToInt32(number, value)) {
    r.kind = ReplyResult::ScheduleError;
    r.errorMessage = NotValidIntegerMessage(number);
    return true;
  }
  r.kind = ReplyResult::Schedule;
  r.mask = static_cast<std::uint32_t>(value) & 0xFFFFFFu;
  return true;
}

void ParsePhonebook(std::string_view text, ReplyResult& r) {
  r.kind = ReplyResult::Phonebook;
  const bool haveOk = text.find("OK") != std::string_view::npos;
  r.complete = haveOk;
  for (int n = 1; n <= 4; ++n) {
    ReplyResult::Row& row = r.rows[n - 1];
    row.touched = true;  // cleared unless filled below: empty, window-text colours
    std::string seq = "+CPBR: " + std::to_string(n);
    std::size_t at = text.find(seq);
    if (at == std::string_view::npos || !haveOk) continue;
    std::string_view entry = Tail(text, at + kEntryOffset);
    std::size_t cut = entry.find(kNumberEnd);
    if (cut == std::string_view::npos) {
      // Nothing (or no closed number) after the entry's start: show the batch
      // behind a marker naming the entry; SimPhones keeps its number.
      row.fieldText = " except " + std::to_string(n) + " " + std::string(text);
      continue;
    }
    row.smsLime = entry.find("SMSADM") == kNameOffset;
    row.csdLime = entry.find("CSDPCO") == kNameOffset;
    row.fieldText = std::string(entry.substr(0, cut));
    row.updatePhone = true;
    row.phone = row.fieldText;
  }
}

}  // namespace

ReplyResult ParseDeviceReply(std::string_view text) {
  ReplyResult r;
  if (text.empty()) return r;
  if (TrySchedule(text, r)) return r;
  if (text.find("+CPBR") == std::string_view::npos) return r;
  ParsePhonebook(text, r);
  return r;
}

}  // namespace kvl
