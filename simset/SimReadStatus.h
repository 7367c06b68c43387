// Where the values of the SIM settings window come from, as one line of
// text: the plan (the 24 hour pairs) and the contacts (the four rows) each
// are waiting for the device's answer, were read from the device at a time
// of day, or are not the device's (never read, or no answer in time).
//
// Plain C++ without a clock of its own: every call that depends on time
// takes the time in milliseconds of a monotonic clock, so the window passes
// the real time and a test passes whatever it likes.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kvl {

class SimReadStatus {
 public:
  enum class Part { Plan, Contacts };

  // How long a request may go without an answer before the values shown
  // are said not to be the device's.
  static constexpr std::int64_t kAnswerMs = 5000;

  // A request for the part went out at nowMs ("Sim Set", or a "?").
  void asked(Part part, std::int64_t nowMs);
  // A reply for the part was parsed. complete: it was the device's whole
  // answer, now shown; clock: the time of day, "14:03:22". An incomplete
  // reply leaves a request waiting, and otherwise leaves the part not the
  // device's (the parser has emptied what it showed).
  void replied(Part part, bool complete, const std::string& clock);
  // What the part shows is no longer what the device sent (refilled from
  // elsewhere). A request under way keeps waiting.
  void lost(Part part);

  bool waiting(Part part) const { return parts_[Index(part)].kind == Kind::Waiting; }
  bool read(Part part) const { return parts_[Index(part)].kind == Kind::Read; }

  // The status line at nowMs.
  std::string text(std::int64_t nowMs) const;
  // Milliseconds from nowMs until text() changes by itself (a request
  // becomes overdue), or -1 when it will not.
  std::int64_t msUntilChange(std::int64_t nowMs) const;

 private:
  enum class Kind { NotRead, Waiting, Read };
  struct State {
    Kind kind = Kind::NotRead;
    std::int64_t askedMs = 0;  // Waiting: when the request went out
    std::string clock;         // Read: the time of day of the reply
  };
  static std::size_t Index(Part part) { return part == Part::Plan ? 0 : 1; }
  static std::string Phrase(const State& state, std::int64_t nowMs);

  std::array<State, 2> parts_;
};

}  // namespace kvl
