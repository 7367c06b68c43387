// The SIM settings window's status line: what it says for each course of
// requests and replies, and when it changes by itself, on a driven clock.
#include "simset/SimReadStatus.h"

#include <cctype>
#include <functional>
#include <ostream>

#include <gtest/gtest.h>

namespace kvl {
namespace {

using Part = SimReadStatus::Part;

struct StatusCase {
  const char* name;
  std::function<void(SimReadStatus&)> events;  // at times up to 10000 ms
  std::int64_t now;
  std::string text;
  std::int64_t untilChange;
};

void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.name; }

class SimReadStatusCases : public ::testing::TestWithParam<StatusCase> {};

TEST_P(SimReadStatusCases, SaysWhereTheValuesComeFrom) {
  const StatusCase& c = GetParam();
  SimReadStatus s;
  c.events(s);
  EXPECT_EQ(s.text(c.now), c.text);
  EXPECT_EQ(s.msUntilChange(c.now), c.untilChange);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimReadStatusCases,
    ::testing::Values(
        StatusCase{"nothing asked", [](SimReadStatus&) {}, 0,
                   "Plan and contacts: not read from the device.", -1},
        StatusCase{"Sim Set just sent", [](SimReadStatus& s) { s.asked(Part::Plan, 10000); }, 14999,
                   "Plan: waiting for the device's answer.  Contacts: not read from the device.", 1},
        StatusCase{"five seconds without an answer",
                   [](SimReadStatus& s) { s.asked(Part::Plan, 10000); }, 15000,
                   "Plan: no answer in 5 s, not the device's.  Contacts: not read from the device.", -1},
        StatusCase{"plan read",
                   [](SimReadStatus& s) {
                     s.asked(Part::Plan, 10000);
                     s.replied(Part::Plan, true, "14:03:22");
                   },
                   60000, "Plan: read from the device at 14:03:22.  Contacts: not read from the device.", -1},
        StatusCase{"both waiting: the earlier deadline first",
                   [](SimReadStatus& s) {
                     s.asked(Part::Plan, 1000);
                     s.asked(Part::Contacts, 3000);
                   },
                   2000, "Plan and contacts: waiting for the device's answer.", 4000},
        StatusCase{"a new ask makes an earlier read wait again",
                   [](SimReadStatus& s) {
                     s.replied(Part::Contacts, true, "09:00:00");
                     s.asked(Part::Contacts, 1000);
                   },
                   7000, "Plan: not read from the device.  Contacts: no answer in 5 s, not the device's.",
                   -1},
        StatusCase{"a cut reply keeps the request waiting",
                   [](SimReadStatus& s) {
                     s.asked(Part::Contacts, 1000);
                     s.replied(Part::Contacts, false, "09:00:00");
                   },
                   2000, "Plan: not read from the device.  Contacts: waiting for the device's answer.", 4000},
        StatusCase{"a cut reply unasked empties a read",
                   [](SimReadStatus& s) {
                     s.replied(Part::Contacts, true, "09:00:00");
                     s.replied(Part::Contacts, false, "09:00:05");
                   },
                   2000, "Plan and contacts: not read from the device.", -1},
        StatusCase{"fields refilled from the settings",
                   [](SimReadStatus& s) {
                     s.replied(Part::Plan, true, "09:00:00");
                     s.replied(Part::Contacts, true, "09:00:00");
                     s.lost(Part::Contacts);
                   },
                   0, "Plan: read from the device at 09:00:00.  Contacts: not read from the device.", -1}),
    [](const ::testing::TestParamInfo<StatusCase>& info) {
      std::string name;
      for (const char* p = info.param.name; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
      return name;
    });

}  // namespace
}  // namespace kvl
