// Turning the panel's answer in a channel's receive buffer into the gate's
// value: a 16-bit number, a list of 16-bit numbers, a text or a date text.
#pragma once

#include <cstdint>

#include "host/records.h"

// The kind of session a request runs: one value, or a block of values.
enum : int32_t { kSingleSession = 0, kBlockSession = 1 };

constexpr uint32_t kRxBufferSize = sizeof(VpiChannel::rxBuffer);  // 2500
constexpr uint32_t kAssemblyArea = 900;  // continuation data: positions 1..899
constexpr uint32_t kTextLimit = 255;     // longest text stored, with its NUL

// The bytes the last read delivered, never more than the receive buffer holds.
uint32_t ReceivedCount(const VpiChannel* channel);

// A long block answer arrives as several frames: appends the payloads of the
// continuation frames (each without its command letter) behind the first
// frame's payload, in place, followed by one byte 3. Nothing is appended when
// 100 bytes or fewer were received. Reads only received bytes, writes at most
// 899 bytes of continuation data.
//
// Returns the bytes a block list may be read from: the first frame's header
// and payload, the appended data and two bytes as for a CRC (never more than
// were received), or `received` when nothing was written. Behind the
// appended data lie the marker 3 and what is left of the continuation
// frames: read as block words they would be values the panel never sent.
uint32_t AssembleBlockPayload(uint8_t* buffer, uint32_t received);

// Checks the answer's header and stores the value the command asks for.
// True when the answer was accepted (whether or not a value was stored),
// false when it was rejected: no sync bytes, or a block answer whose letter
// is not 'p'.
bool DecodeReply(VpiRequest* request, int32_t sessionMode);
