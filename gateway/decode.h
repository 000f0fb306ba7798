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
// The continuation frames are those the frame walk finds behind the first
// frame (type 1 or 2), so the bytes merged are the bytes the answer check
// looked at.
//
// Returns the bytes a block list may be read from: the first frame's header
// and payload, the appended data and two bytes as for a CRC (never more than
// were received), or `received` when nothing was written. Behind the
// appended data lie the marker 3 and what is left of the continuation
// frames: read as block words they would be values the panel never sent.
uint32_t AssembleBlockPayload(uint8_t* buffer, uint32_t received);

// How the decoder took an answer.
enum class DecodeResult : uint8_t {
    Stored,           // accepted: the value stored where the command has one
    NoFrame,          // the bytes do not start with a frame
    NotABlockAnswer,  // a block answer whose letter is not 'p'
    OtherRequest,     // a single answer whose letter is not the request's
    TooShort,         // the value's bytes do not lie inside the answer's payload
    Refused,          // the panel refused the write (status byte NAK, or its refusal frame)
};

struct DecodeVerdict {
    DecodeResult result = DecodeResult::Stored;
    uint8_t letter = 0;    // the answer's first payload byte
    uint8_t asked = 0;     // the letter the request asked with
    uint32_t payload = 0;  // payload bytes of the answer that arrived
};

// The panel's refusal: the status byte NAK in a write's acknowledgement
// (letter, 15), or the refusal frame (15, letter) of a request it cannot serve.
constexpr uint8_t kNak = 0x15;

// What a single read of the gate stores when it is a 16-bit word (a status,
// zone, group or point word): the command it is read as (1, 2, 3, 5 or 7);
// 0 for a text, a date, an action or a gate without a command.
uint16_t SingleWordKind(const PointRecord* point);

// Reads the value from the answer's first frame only, never from bytes
// behind it: the answer must start with a frame, carry the request's letter
// ('p' for a block answer, and for a zone or group answer too), and hold the
// value's bytes inside its payload. Stores nothing unless it accepts.
DecodeVerdict DecodeReply(VpiRequest* request, int32_t sessionMode);
