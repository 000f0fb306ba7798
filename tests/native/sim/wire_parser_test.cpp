// The simulator's own frame code: the line's CRC (with its table quirk) and
// the receiver that picks announces and frames out of the byte stream.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "tools/sim/frame_parser.h"
#include "tools/sim/wire.h"

namespace sksim {
namespace {

Bytes H(const char* hex) {
    Bytes out;
    unsigned value = 0;
    int digits = 0;
    for (const char* p = hex; *p != 0; ++p) {
        const char c = *p;
        int d = -1;
        if (c >= '0' && c <= '9') d = c - '0';
        if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        if (d < 0) continue;
        value = value * 16 + static_cast<unsigned>(d);
        if (++digits == 2) {
            out.push_back(static_cast<uint8_t>(value));
            value = 0;
            digits = 0;
        }
    }
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const Bytes kAnnounce(kAnnounceText, kAnnounceText + kAnnounceSize);
const Bytes kRequestS = H("55 AA 55 AA 02 11 01 73 01 65");
const Bytes kEosSingle = H("55 AA 55 AA 02 22 01 06 44 63");
const Bytes kGoodbyeSingle = H("55 AA 55 AA 02 33 00 42 13");
// 'p' 79 0: its CRC runs through table entry 0x73.
const Bytes kRequestP79 = H("55 AA 55 AA 02 11 05 70 4F 00 00 00 F4 5E");

TEST(LineCrc, TableFollowsThePolynomialExceptEntry0x73) {
    for (unsigned i = 0; i < 256; ++i) {
        unsigned reg = i << 8;
        for (int bit = 0; bit < 8; ++bit) reg = ((reg & 0x8000u) != 0 ? (reg << 1) ^ 0x1021u : reg << 1) & 0xFFFFu;
        if (i == 0x73) {
            EXPECT_EQ(CrcTableEntry(0x73), 0x4CF4);
            EXPECT_EQ(reg, 0x4EF4u);
        } else {
            EXPECT_EQ(CrcTableEntry(static_cast<uint8_t>(i)), reg) << "entry " << i;
        }
    }
}

TEST(LineCrc, KnownFrames) {
    struct Case {
        const char* name;
        Bytes frame;  // a whole frame as the line carries it
    };
    const Case cases[] = {
        {"request s", kRequestS},
        {"request p 33 0", H("55 AA 55 AA 02 11 05 70 21 00 00 00 D1 74")},
        {"request p 79 0 (entry 0x73)", kRequestP79},
        {"request h 12", H("55 AA 55 AA 02 11 03 68 0C 00 C6 2D")},
        {"request Y", H("55 AA 55 AA 02 11 0D 59 0A 00 1C 00 16 00 07 00 0C 00 7E 00 D4 9E")},
        {"block Zlz", H("55 AA 55 AA 02 24 00 42 04")},
        {"block Zlz patched 0x30", H("55 AA 55 AA 02 23 00 42 03")},
        {"block Zlz patched 0x2A", H("55 AA 55 AA 02 20 00 42 00")},
        {"block eos", H("55 AA 55 AA 02 35 01 06 92 01")},
        {"block eos patched 0x20", H("55 AA 55 AA 02 32 01 06 75 71")},
        {"block goodbye", H("55 AA 55 AA 02 46 00 42 66")},
        {"block goodbye patched 0x40", H("55 AA 55 AA 02 44 00 42 64")},
        {"single eos", kEosSingle},
        {"single goodbye", kGoodbyeSingle},
    };
    for (const Case& c : cases) {
        FrameView v;
        ASSERT_TRUE(ViewFrame(c.frame, &v)) << c.name;
        EXPECT_TRUE(v.crcOk()) << c.name << ": carries " << std::hex << v.crcCarried << ", computed " << v.crcComputed;
        const Bytes payload(v.payload, v.payload + v.length);
        EXPECT_EQ(BuildFrame(v.type, v.sequence, payload), c.frame) << c.name;
    }
    const uint8_t goodbye[] = {0x02, 0x33, 0x00};
    EXPECT_EQ(LineCrc(goodbye, 3), 0x1342);  // the common CRC form would give 0x3EA6
    const uint8_t p33[] = {0x02, 0x11, 0x05, 0x70, 0x21, 0x00, 0x00, 0x00};
    EXPECT_EQ(LineCrc(p33, sizeof p33), 0x74D1);
}

TEST(LineCrc, TheQuirkChangesFramesThatPassEntry0x73) {
    // With the plain table value the 'p' 79 frame would end F4 5C.
    FrameView v;
    ASSERT_TRUE(ViewFrame(kRequestP79, &v));
    EXPECT_EQ(v.crcComputed, 0x5EF4);
    EXPECT_NE(v.crcComputed, 0x5CF4);
}

// Every two-bit error over the bytes the CRC covers and the CRC itself: the
// only ones that still check are the 16 that FlipUnseenPair makes.
TEST(LineCrc, SixteenTwoBitErrorsGoUnseen) {
    const Bytes frame = BuildFrame(kTypeLast, 0x21, H("7A 05 00 11 22 33 78 56"));  // 'z' ...
    const size_t bits = (frame.size() - 4) * 8;
    std::set<Bytes> unseen;
    for (size_t a = 0; a < bits; ++a) {
        for (size_t b = a + 1; b < bits; ++b) {
            Bytes hit = frame;
            hit[4 + a / 8] ^= static_cast<uint8_t>(1u << (a % 8));
            hit[4 + b / 8] ^= static_cast<uint8_t>(1u << (b % 8));
            FrameView v;
            if (ViewFrame(hit, &v) && v.crcOk()) unseen.insert(hit);
        }
    }
    std::set<Bytes> flipped;
    for (unsigned pair = 0; pair < 2; ++pair) {
        for (unsigned bit = 0; bit < 8; ++bit) {
            Bytes hit = frame;
            FlipUnseenPair(hit, pair, bit);
            flipped.insert(hit);
        }
    }
    EXPECT_EQ(unseen.size(), 16u);
    EXPECT_EQ(unseen, flipped);
}

struct Want {
    ParsedKind kind;
    Bytes bytes;
};

struct ParseCase {
    const char* name;
    Bytes stream;
    bool flush;             // the line goes quiet at the end
    std::vector<Want> want;
};

std::vector<Parsed> ParseAll(const Bytes& stream, bool flush, size_t step) {
    FrameParser parser;
    std::vector<Parsed> out;
    for (size_t at = 0; at < stream.size(); at += step) {
        parser.Feed(stream.data() + at, std::min(step, stream.size() - at), out);
    }
    if (flush) parser.Flush(out);
    return out;
}

const char* KindText(ParsedKind k) {
    switch (k) {
        case ParsedKind::Announce: return "announce";
        case ParsedKind::Frame: return "frame";
        case ParsedKind::Garbage: return "garbage";
        case ParsedKind::Incomplete: return "incomplete";
    }
    return "?";
}

TEST(FrameParser, StreamsWholeSplitAndDirty) {
    const Bytes badCrc = H("55 AA 55 AA 02 11 01 73 01 66");
    const Bytes falseStart = H("55 AA 55 AA 02 11 40");  // noise that looks like a header, length 64
    const ParseCase cases[] = {
        {"announce", kAnnounce, false, {{ParsedKind::Announce, kAnnounce}}},
        {"frame", kRequestS, false, {{ParsedKind::Frame, kRequestS}}},
        {"a whole single session", Cat({kAnnounce, kRequestS, kEosSingle, kGoodbyeSingle}), false,
         {{ParsedKind::Announce, kAnnounce},
          {ParsedKind::Frame, kRequestS},
          {ParsedKind::Frame, kEosSingle},
          {ParsedKind::Frame, kGoodbyeSingle}}},
        {"garbage before the announce", Cat({H("00 FF 53 4B 20"), kAnnounce}), false,
         {{ParsedKind::Garbage, H("00 FF 53 4B 20")}, {ParsedKind::Announce, kAnnounce}}},
        {"an announce that breaks off, then a whole one", Cat({Bytes{'S', 'K', ' ', 'G', 'A'}, kAnnounce}), false,
         {{ParsedKind::Garbage, Bytes{'S', 'K', ' ', 'G', 'A'}}, {ParsedKind::Announce, kAnnounce}}},
        {"SSK GATEWAY", Cat({Bytes{'S'}, kAnnounce}), false,
         {{ParsedKind::Garbage, Bytes{'S'}}, {ParsedKind::Announce, kAnnounce}}},
        {"garbage between frames", Cat({kRequestS, H("13 37 AA"), kEosSingle}), false,
         {{ParsedKind::Frame, kRequestS}, {ParsedKind::Garbage, H("13 37 AA")}, {ParsedKind::Frame, kEosSingle}}},
        {"a doubled first sync byte", Cat({H("55"), kRequestS}), false,
         {{ParsedKind::Garbage, H("55")}, {ParsedKind::Frame, kRequestS}}},
        {"a sync that breaks off", Cat({H("55 AA 55 00"), kRequestS}), false,
         {{ParsedKind::Garbage, H("55 AA 55 00")}, {ParsedKind::Frame, kRequestS}}},
        {"sync overlap 55 AA 55 55 AA 55 AA", Cat({H("55 AA"), kRequestS}), false,
         {{ParsedKind::Garbage, H("55 AA")}, {ParsedKind::Frame, kRequestS}}},
        {"bad CRC is reported and the next frame still found", Cat({badCrc, kEosSingle}), false,
         {{ParsedKind::Frame, badCrc}, {ParsedKind::Frame, kEosSingle}}},
        {"zero-length frame", kGoodbyeSingle, false, {{ParsedKind::Frame, kGoodbyeSingle}}},
        {"trailing garbage is reported when the line goes quiet", Cat({kRequestS, H("EE EE")}), true,
         {{ParsedKind::Frame, kRequestS}, {ParsedKind::Garbage, H("EE EE")}}},
        {"trailing garbage waits while the line is busy", Cat({kRequestS, H("EE EE")}), false,
         {{ParsedKind::Frame, kRequestS}}},
        {"a frame cut short", Bytes(kRequestS.begin(), kRequestS.begin() + 8), true,
         {{ParsedKind::Incomplete, Bytes(kRequestS.begin(), kRequestS.begin() + 8)}}},
        {"a half announce when the line goes quiet", Bytes{'S', 'K', ' '}, true,
         {{ParsedKind::Garbage, Bytes{'S', 'K', ' '}}}},
        {"a frame hidden behind a false header is found once the line goes quiet",
         Cat({falseStart, kRequestS}), true,
         {{ParsedKind::Incomplete, Cat({falseStart, kRequestS})}, {ParsedKind::Frame, kRequestS}}},
    };
    for (const ParseCase& c : cases) {
        for (size_t step : {c.stream.size(), size_t{1}, size_t{3}}) {
            if (step == 0) continue;
            const std::vector<Parsed> got = ParseAll(c.stream, c.flush, step);
            ASSERT_EQ(got.size(), c.want.size()) << c.name << " (fed " << step << " at a time)";
            for (size_t i = 0; i < got.size(); ++i) {
                EXPECT_EQ(KindText(got[i].kind), std::string(KindText(c.want[i].kind)))
                    << c.name << " item " << i << " (fed " << step << " at a time)";
                EXPECT_EQ(Hex(got[i].bytes), Hex(c.want[i].bytes))
                    << c.name << " item " << i << " (fed " << step << " at a time)";
            }
        }
    }
}

TEST(FrameParser, BadCrcFramesAreSeenAsSuch) {
    std::vector<Parsed> got = ParseAll(H("55 AA 55 AA 02 11 01 73 01 66"), false, 1);
    ASSERT_EQ(got.size(), 1u);
    FrameView v;
    ASSERT_TRUE(ViewFrame(got[0].bytes, &v));
    EXPECT_FALSE(v.crcOk());
    EXPECT_EQ(v.crcCarried, 0x6601);
    EXPECT_EQ(v.crcComputed, 0x6501);
}

TEST(FrameParser, LongestFrame) {
    Bytes payload(255);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i);
    const Bytes frame = BuildFrame(0x02, 0x11, payload);
    ASSERT_EQ(frame.size(), 264u);
    std::vector<Parsed> got = ParseAll(Cat({frame, kAnnounce}), false, 7);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].kind, ParsedKind::Frame);
    EXPECT_EQ(got[0].bytes, frame);
    EXPECT_EQ(got[1].kind, ParsedKind::Announce);
}

TEST(FrameParser, AfterAnIncompleteFrameNewStrayBytesAreReported) {
    FrameParser parser;
    std::vector<Parsed> out;
    parser.Feed(kRequestS.data(), 6, out);
    parser.Flush(out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].kind, ParsedKind::Incomplete);
    const uint8_t noise[] = {0x01, 0x02};
    parser.Feed(noise, 2, out);
    parser.Flush(out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].kind, ParsedKind::Garbage);
    EXPECT_EQ(out[1].bytes, Bytes(noise, noise + 2));
}

TEST(FrameParser, PartialStateIsVisible) {
    FrameParser parser;
    std::vector<Parsed> out;
    parser.Feed(kRequestS.data(), 5, out);
    EXPECT_TRUE(parser.Partial());
    parser.Feed(kRequestS.data() + 5, kRequestS.size() - 5, out);
    EXPECT_FALSE(parser.Partial());
    ASSERT_EQ(out.size(), 1u);
    const uint8_t noise[] = {0x01, 0x02};
    parser.Feed(noise, 2, out);
    EXPECT_TRUE(parser.GarbagePending());
}

}  // namespace
}  // namespace sksim
