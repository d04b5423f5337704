#include "ptt/transmit_log.h"

#include "core/console.h"
#include "core/decided_ptt.h"

namespace {

constexpr std::int64_t MICROS_PER_TENTH = 100000;
constexpr char NOT_SENT[] = " - not sent, link down";

}  // namespace

bool LogPttChange(TransmitLog* log, const char* portName, int previous, int pttOn, bool sent,
                  std::int64_t now) {
  if (pttOn == previous) {
    return false;
  }
  const char* outcome = sent ? "" : NOT_SENT;
  if (pttOn != 0) {
    log->OnSince = now;
    PrintLater("TXGATE port %s PTT on%s\r\n", portName, outcome);
    return true;
  }
  if (previous == PTT_UNDECIDED) {
    return false;
  }
  std::int64_t tenths = (now - log->OnSince) / MICROS_PER_TENTH;
  PrintLater("TXGATE port %s PTT off after %d.%d s%s\r\n", portName, static_cast<int>(tenths / 10),
             static_cast<int>(tenths % 10), outcome);
  return true;
}
