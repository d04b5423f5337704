#include "link/rigctl_answers.h"

#include <algorithm>

#include "core/console.h"
#include "link/rigctl_command.h"

namespace {

// Hamlib's codes are small; more digits than this are no answer.
constexpr int MAX_CODE_DIGITS = 9;

// Whether the line is "RPRT n" (a trailing CR allowed), with n in *code.
bool ParseAnswer(const char* line, int length, int* code) {
  if (length > 0 && line[length - 1] == '\r') {
    --length;
  }
  constexpr char PREFIX[] = "RPRT ";
  constexpr int PREFIX_LENGTH = sizeof PREFIX - 1;
  if (length <= PREFIX_LENGTH || !std::equal(PREFIX, PREFIX + PREFIX_LENGTH, line)) {
    return false;
  }
  int at = PREFIX_LENGTH;
  bool negative = line[at] == '-';
  at += negative ? 1 : 0;
  int digits = length - at;
  if (digits < 1 || digits > MAX_CODE_DIGITS) {
    return false;
  }
  int value = 0;
  for (; at < length; ++at) {
    if (line[at] < '0' || line[at] > '9') {
      return false;
    }
    value = value * 10 + (line[at] - '0');
  }
  *code = negative ? -value : value;
  return true;
}

void StopResending(AnswerReader* reader) {
  reader->Resending = false;
  reader->ResendDue = false;
}

// Hamlib's codes that a hint explains: an invalid parameter, as rigctld
// answers PTT without -P or a command without its VFO, and the security
// error of a server started with a password.
constexpr int RIG_EINVAL = -1;
constexpr int RIG_ESECURITY = -19;

// What to check, for the first refusal on a connection that has a hint:
// once said, the next refusals are said without one. "" for none.
const char* TakeHint(const HamlibLink& link, AnswerReader* reader, int pttOn, int code) {
  const char* hint = "";
  if (code == RIG_ESECURITY) {
    hint = " - the server wants a password (rigctld -A), which Tarnwick cannot send";
  } else if (code == RIG_EINVAL && link.Settings.Vfo != 0) {
    hint = " - check --vfo: is rigctld started with --vfo?";
  } else if (pttOn == 1) {
    hint = " - check the server's PTT setting (rigctld: -P)";
  }
  if (reader->HintShown) {
    return "";
  }
  reader->HintShown = hint[0] != '\0';
  return hint;
}

void ShowRefusal(const HamlibLink& link, AnswerReader* reader, int pttOn, int code) {
  Print("HAMLIB Addr %s refused T %d with RPRT %d%s\r\n", link.AddrText, pttOn, code,
        TakeHint(link, reader, pttOn, code));
}

// --fail-safe: the release just refused goes out again a period from now.
void KeepResending(const HamlibLink& link, AnswerReader* reader, int code, std::int64_t now) {
  if (!reader->Resending) {
    Print("HAMLIB Addr %s refused T 0 (RPRT %d) - sending it again every second%s\r\n",
          link.AddrText, code, TakeHint(link, reader, 0, code));
    reader->RefusalShownAt = now;
  } else if (now - reader->RefusalShownAt >= STILL_REFUSED_PERIOD_MICROS) {
    Print("HAMLIB Addr %s still refuses T 0 (RPRT %d)\r\n", link.AddrText, code);
    reader->RefusalShownAt = now;
  }
  reader->Resending = true;
  reader->ResendDue = true;
  reader->ResendAt = now + RESEND_PERIOD_MICROS;
}

void OnAnswer(HamlibLink* link, AnswerReader* reader, int code, std::int64_t now) {
  int pttOn = 0;
  bool wasLast = false;
  if (!TakeAnsweredCommand(link, &pttOn, &wasLast)) {
    return;
  }
  // Only a release that nothing has followed is worth sending again.
  if (pttOn == 0 && code != 0 && wasLast && link->Settings.FailSafe != 0) {
    KeepResending(*link, reader, code, now);
    return;
  }
  if (pttOn == 0 && code == 0 && reader->Resending) {
    Print("HAMLIB Addr %s took T 0\r\n", link->AddrText);
  } else if (code != 0) {
    ShowRefusal(*link, reader, pttOn, code);
  }
  StopResending(reader);
}

void EndLine(HamlibLink* link, AnswerReader* reader, std::int64_t now) {
  int code = 0;
  if (!reader->Overlong && ParseAnswer(reader->Line, reader->Length, &code)) {
    OnAnswer(link, reader, code, now);
  }
  reader->Length = 0;
  reader->Overlong = false;
}

}  // namespace

void ReadAnswers(HamlibLink* link, AnswerReader* reader, const char* bytes, int count,
                 std::int64_t now) {
  for (int i = 0; i < count; ++i) {
    if (bytes[i] == '\n') {
      EndLine(link, reader, now);
    } else if (reader->Length < ANSWER_LINE_SIZE) {
      reader->Line[reader->Length++] = bytes[i];
    } else {
      reader->Overlong = true;
    }
  }
}

void ResendIfDue(HamlibLink* link, AnswerReader* reader, std::int64_t now) {
  if (!reader->ResendDue || now < reader->ResendAt) {
    return;
  }
  reader->ResendDue = false;
  if (!ResendRefusedRelease(link)) {
    StopResending(reader);
  }
}

int MsUntilResend(const AnswerReader& reader, std::int64_t now, int longestMs) {
  if (!reader.ResendDue) {
    return longestMs;
  }
  std::int64_t ms = std::max<std::int64_t>(reader.ResendAt - now + 999, 0) / 1000;
  return static_cast<int>(std::min<std::int64_t>(ms, longestMs));
}

void EndMatchingIfOverdue(HamlibLink* link, std::int64_t now) {
  int pttOn = 0;
  if (!GiveUpOverdueAnswer(link, now, &pttOn)) {
    return;
  }
  const char* cause = link->Settings.Vfo != 0
                          ? "a rigctld started without --vfo needs Tarnwick without --vfo"
                          : "rigctld --vfo needs --vfo";
  Print(
      "HAMLIB Addr %s did not answer T %d within %d s - answers ignored (%s, or the rig is not "
      "answering)\r\n",
      link->AddrText, pttOn, static_cast<int>(ANSWER_DEADLINE_MICROS / 1000000), cause);
}
