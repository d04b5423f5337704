#include "ptt/status_stream.h"

namespace {

void ActOnStatus(std::uint8_t status, MonitoredPort* port, StatusDecision decide, void* context) {
  if (status == port->LastStatus) {
    return;
  }
  decide(context, port->Slot, (status & STATUS_PTT_BIT) != 0 ? 1 : 0);
  port->LastStatus = status;
}

}  // namespace

void DecodeStatusStream(const std::uint8_t* bytes, int count, MonitoredPort* port,
                        StatusDecision decide, void* context) {
  for (int i = 0; i < count; ++i) {
    std::uint8_t byte = bytes[i];
    if (port->EscapePending != 0) {
      port->EscapePending = 0;
      if (byte != STREAM_ESCAPE) {
        ActOnStatus(byte, port, decide, context);
      }
    } else if (byte == STREAM_ESCAPE) {
      port->EscapePending = 1;
    }
  }
}
