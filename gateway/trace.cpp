#include "gateway/trace.h"

#include <cstdio>
#include <cstring>

#include "address/command_table.h"
#include "gateway/frames.h"
#include "host/host_log.h"
#include "host/texts.h"
#include "gateway/line_settings.h"
#include "gateway/trace_file.h"

namespace {

constexpr size_t kTraceLineRoom = 400;  // the longest line: its name, 112 of what, the step, 48 bytes in hex
constexpr uint8_t kEndOfSessionByte = 0x06;

// The command number of a request letter, 0 for a letter no command has.
uint32_t CommandOfLetter(uint8_t letter) {
    for (uint32_t c = 1; c <= kCommandCount; ++c) {
        const CommandEntry* row = CommandRow(c);
        if (row != nullptr && static_cast<uint8_t>(row->code) == letter) return c;
    }
    return 0;
}

// What the driver sent: the announce text or one of its frames. The closing
// frames carry no letter: the end of session has the payload 06; of the two
// empty ones, the Zlz is the driver's frame 2 of a block session, the
// goodbye its frame 3 (single) or 4 (block).
void DescribeSent(char* out, size_t size, const uint8_t* bytes, uint32_t count) {
    if (count == kAnnounceLength && memcmp(bytes, kAnnounce, count) == 0) {
        snprintf(out, size, "announce");
    } else if (count < kFrameHeadSize || !StartsWithSync(bytes, count)) {
        snprintf(out, size, "bytes");
    } else if (bytes[kLengthOffset] == 0) {
        snprintf(out, size, "%s, seq %02X", (bytes[kSequenceOffset] >> 4) == 2 ? "Zlz" : "goodbye", bytes[kSequenceOffset]);
    } else if (bytes[kLengthOffset] == 1 && count > kFrameHeadSize && bytes[kPayloadOffset] == kEndOfSessionByte) {
        snprintf(out, size, "end of session, seq %02X", bytes[kSequenceOffset]);
    } else if (count > kFrameHeadSize) {
        const uint8_t letter = bytes[kPayloadOffset];
        snprintf(out, size, "request '%c' (command %u), seq %02X", letter >= 0x20 && letter < 0x7F ? letter : '?',
                 CommandOfLetter(letter), bytes[kSequenceOffset]);
    } else {
        snprintf(out, size, "frame, seq %02X", bytes[kSequenceOffset]);
    }
}

// What came back: bytes that are no frame, or frames (an answer may arrive
// as several: the sequence shown is the last one's), each checked as a value
// answer is: "crc ok", "crc BAD (want 1234)" for the first frame whose CRC
// does not check, or the frame that was cut short.
void DescribeReceived(char* out, size_t size, const uint8_t* bytes, uint32_t count) {
    if (!StartsWithSync(bytes, count)) {
        snprintf(out, size, "junk");
        return;
    }
    uint32_t frames = 0;
    FrameView frame;
    FrameView bad;
    bool badSeen = false;
    bool more = NextFrame(bytes, count, 0, &frame);
    while (more) {
        ++frames;
        if (!badSeen && !frame.crcGood) {
            bad = frame;
            badSeen = true;
        }
        FrameView next;
        more = FollowingFrame(bytes, count, frame, &next);
        if (more) frame = next;
    }
    char check[48];
    if (!badSeen) {
        snprintf(check, sizeof check, "crc ok");
    } else if (!bad.whole) {
        snprintf(check, sizeof check, "cut short: %u of %u bytes", bad.arrived, bad.size);
    } else {
        snprintf(check, sizeof check, "crc BAD (want %04X)", bad.crcWanted);
    }
    if (frames == 1) {
        snprintf(out, size, "answer frame, seq %02X, %s", frame.sequence, check);
    } else {
        snprintf(out, size, "answer in %u frames, last seq %02X, %s", frames, frame.sequence, check);
    }
}

// The first kTraceBytesShown bytes in hex, and how many more there were.
void Hex(char* out, size_t size, const uint8_t* bytes, uint32_t count) {
    const uint32_t shown = count < kTraceBytesShown ? count : kTraceBytesShown;
    size_t used = 0;
    out[0] = '\0';
    for (uint32_t i = 0; i < shown && used + 4 < size; ++i) {
        used += static_cast<size_t>(snprintf(out + used, size - used, i == 0 ? "%02X" : " %02X", bytes[i]));
    }
    if (count > shown) snprintf(out + used, size - used, " ..(+%u)", count - shown);
}

}  // namespace

void TraceExchange(VpiChannel* channel, const uint8_t* bytes, uint32_t count, int32_t direction,
                   const char* label) {
    if (!TraceOn(channel)) return;
    const char* arrow = direction == kTraceSent ? "->" : "<-";
    const ChannelName name = NameOf(channel);
    // With a trace file the same line goes there instead, unless the file fails.
    const bool toFile = TraceFileInUse(channel);
    char line[kTraceLineRoom];
    if (count == 0) {
        if (toFile) {
            snprintf(line, sizeof line, "%s: trace %s nothing [%s]", name.text, arrow, label);
            if (WriteTraceLine(channel, line)) return;
        }
        err(kLogLevel, "%s: trace %s nothing [%s]", name.text, arrow, label);
        return;
    }
    char what[112];
    if (direction == kTraceSent) {
        DescribeSent(what, sizeof what, bytes, count);
    } else {
        DescribeReceived(what, sizeof what, bytes, count);
    }
    char hex[kTraceBytesShown * 3 + 16];
    Hex(hex, sizeof hex, bytes, count);
    if (toFile) {
        snprintf(line, sizeof line, "%s: trace %s %s, %u bytes [%s]: %s", name.text, arrow, what, count, label, hex);
        if (WriteTraceLine(channel, line)) return;
    }
    err(kLogLevel, "%s: trace %s %s, %u bytes [%s]: %s", name.text, arrow, what, count, label, hex);
}
