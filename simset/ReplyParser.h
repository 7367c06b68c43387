// Recognition of the device's SIM replies in a batch of received text: the
// schedule reply (the hour plan as a mask) and the phonebook reply (entries 1
// to 4 and the result code "OK"). Plain C++: the result says what to put into
// the SIM settings window and SimPhones, the window applies it.
//
// The batch is device text and is trusted for nothing: every position is
// checked against its length.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kvl {

struct ReplyResult {
  enum Kind {
    None,           // neither reply: nothing changes
    Schedule,       // set the 24 hour pairs from mask
    ScheduleError,  // the mask did not convert: show errorMessage, nothing changes
    Phonebook,      // apply rows (all four are touched)
  };

  // One contact row and its SimPhones entry.
  struct Row {
    bool touched = false;    // the row is to be set from this result
    std::string fieldText;   // new text of the number field EdCn
    bool smsLime = false;    // caption colour of SpBtnSMSCn: lime, else window text
    bool csdLime = false;    // caption colour of SpBtnCSDCn
    bool updatePhone = false;  // SimPhones entry n takes phone
    std::string phone;
  };

  Kind kind = None;
  std::uint32_t mask = 0;     // Schedule: bits 0..23, bit h set = hour h on SIM2
  std::string numberText;     // Schedule, ScheduleError: the text converted
  std::string errorMessage;   // ScheduleError: "'<numberText>' is not a valid integer value"
  std::array<Row, 4> rows;    // Phonebook: rows 1..4
  bool complete = false;      // Phonebook: the result code "OK" came with it
};

// Parses one batch (the whole RxText taken by the timer). The schedule reply
// is tried first; a batch that holds one is not searched for phonebook
// entries.
ReplyResult ParseDeviceReply(std::string_view text);

}  // namespace kvl
