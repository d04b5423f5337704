// A plain reading of a whole virtual-port stream, independent of how it is
// cut into reads: the model the decoder is checked against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct ReferenceResult {
  std::vector<int> Commands;  // PTT states sent, in order
  std::uint8_t LastStatus;
};

// Pairs 0xFF with the byte after it; 0xFF 0xFF is data, 0xFF S a status
// byte that acts when it differs from the last one acted upon. An escape
// with nothing after it is still waiting and does nothing yet.
inline ReferenceResult ReferenceDecode(const std::uint8_t* stream, std::size_t length,
                                       std::uint8_t lastStatus = 0) {
  ReferenceResult result{{}, lastStatus};
  std::size_t i = 0;
  while (i < length) {
    if (stream[i] != 0xFF) {
      i += 1;
      continue;
    }
    if (i + 1 == length) {
      break;
    }
    std::uint8_t status = stream[i + 1];
    i += 2;
    if (status != 0xFF && status != result.LastStatus) {
      result.Commands.push_back((status & 0x02) != 0 ? 1 : 0);
      result.LastStatus = status;
    }
  }
  return result;
}
