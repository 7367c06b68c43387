#include "simset/SimReadStatus.h"

namespace kvl {

void SimReadStatus::asked(Part part, std::int64_t nowMs) {
  parts_[Index(part)] = State{Kind::Waiting, nowMs, {}};
}

void SimReadStatus::replied(Part part, bool complete, const std::string& clock) {
  State& s = parts_[Index(part)];
  if (complete)
    s = State{Kind::Read, 0, clock};
  else if (s.kind != Kind::Waiting)
    s = State{};
}

void SimReadStatus::lost(Part part) {
  State& s = parts_[Index(part)];
  if (s.kind == Kind::Read) s = State{};
}

std::string SimReadStatus::Phrase(const State& state, std::int64_t nowMs) {
  switch (state.kind) {
    case Kind::Waiting:
      return nowMs - state.askedMs < kAnswerMs ? "waiting for the device's answer"
                                               : "no answer in 5 s, not the device's";
    case Kind::Read:
      return "read from the device at " + state.clock;
    case Kind::NotRead:
      break;
  }
  return "not read from the device";
}

std::string SimReadStatus::text(std::int64_t nowMs) const {
  const std::string plan = Phrase(parts_[0], nowMs);
  const std::string contacts = Phrase(parts_[1], nowMs);
  if (plan == contacts) return "Plan and contacts: " + plan + ".";
  return "Plan: " + plan + ".  Contacts: " + contacts + ".";
}

std::int64_t SimReadStatus::msUntilChange(std::int64_t nowMs) const {
  std::int64_t next = -1;
  for (const State& s : parts_) {
    if (s.kind != Kind::Waiting) continue;
    const std::int64_t left = s.askedMs + kAnswerMs - nowMs;
    if (left <= 0) continue;
    if (next < 0 || left < next) next = left;
  }
  return next;
}

}  // namespace kvl
