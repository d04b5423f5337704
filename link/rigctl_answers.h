// The rigctl server's answers on one connection, read with --verbose or
// --fail-safe. rigctld answers each set command with "RPRT n": 0 when done,
// a negative Hamlib error code when not. Each "RPRT" line answers the
// oldest command still awaiting one (see TakeAnsweredCommand); any other
// line, and an answer with no command awaiting it, is ignored. A command
// left unanswered for ANSWER_DEADLINE_MICROS ends the matching on its
// connection, with a message (see EndMatchingIfOverdue).
#pragma once

#include <cstdint>

#include "link/hamlib_link.h"

// A line longer than this is no answer.
constexpr int ANSWER_LINE_SIZE = 32;
// --fail-safe: how soon after its refusal a release is sent again, and how
// often a release still refused is said again.
constexpr std::int64_t RESEND_PERIOD_MICROS = 1000000;
constexpr std::int64_t STILL_REFUSED_PERIOD_MICROS = std::int64_t{600} * 1000000;

// What a link's worker keeps of one connection's answers; zeroed when the
// connection begins.
struct AnswerReader {
  char Line[ANSWER_LINE_SIZE];
  int Length;
  bool Overlong;   // the line so far did not fit
  bool HintShown;  // a refusal has said what to check
  // --fail-safe: a refused release is being sent again; ResendDue while the
  // next send waits for ResendAt, not for an answer.
  bool Resending;
  bool ResendDue;
  std::int64_t ResendAt;
  std::int64_t RefusalShownAt;
};

// Reads what the server sent, at `now` on the monotonic clock in
// microseconds: matches each answer, says each refusal, and with
// --fail-safe starts or ends the sending again of a refused release.
void ReadAnswers(HamlibLink* link, AnswerReader* reader, const char* bytes, int count,
                 std::int64_t now);

// --fail-safe: sends the refused release again once its time has come,
// unless another command has gone out since (or none can): that ends the
// sending again, without a word.
void ResendIfDue(HamlibLink* link, AnswerReader* reader, std::int64_t now);

// Milliseconds until the next resend is due, rounded up, and at most
// longestMs.
int MsUntilResend(const AnswerReader& reader, std::int64_t now, int longestMs);

// Ends the matching on the link's connection, once, when its oldest
// command awaiting an answer is overdue at `now`, and says so.
void EndMatchingIfOverdue(HamlibLink* link, std::int64_t now);
