// The byte stream of a QVN virtual port: data bytes, with 0xFF escaping
// either a data byte 0xFF (0xFF 0xFF) or a line-status byte (0xFF S), whose
// bit 1 is PTT.
#pragma once

#include <cstdint>

#include "ptt/monitored_port.h"

constexpr std::uint8_t STREAM_ESCAPE = 0xFF;
constexpr std::uint8_t STATUS_PTT_BIT = 0x02;
// A LastStatus that no status byte equals (0xFF 0xFF is a data byte): the
// next status byte is acted upon, whatever it says.
constexpr std::uint8_t NO_STATUS_YET = 0xFF;

// Where the decoder's PTT states go: decide(context, slot, pttOn).
using StatusDecision = void (*)(void* context, int slot, int pttOn);

// Acts on the status bytes among count bytes of one read: each status byte
// that differs from the port's LastStatus hands its PTT state to decide, in
// order, and becomes LastStatus. An escape that ends the read is kept, and
// the next read's first byte completes it.
void DecodeStatusStream(const std::uint8_t* bytes, int count, MonitoredPort* port,
                        StatusDecision decide, void* context);
