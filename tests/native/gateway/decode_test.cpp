// Decoding of the panel's answers into gate values, and the assembly of long
// block answers.
#include <gtest/gtest.h>

#include <vector>

#include "gateway/decode.h"
#include "tests/native/gateway/gateway_fixture.h"

namespace {

using fake_comm::Hex;
using gwtest::Bytes;
using gwtest::Frame;
using gwtest::MakeGate;

Bytes Head(const uint8_t* value, size_t n) {
    return Bytes(value, value + n);
}

Bytes Reply(std::initializer_list<uint8_t> payload) {
    return Frame(0x02, 0x20, Bytes(payload));
}

// One answer of each kind, decoded by a single read of its gate.
TEST(DecodeReply, EverySelectorOfASingleRead) {
    struct Case {
        const char* address;
        int32_t argB;
        Bytes reply;
        const char* head;   // the first 8 bytes of the value buffer afterwards
        const char* text;   // or the text stored (nullptr: not a text)
    } cases[] = {
        {"01_", 0, Reply({'s', 0x34, 0x12}), "EE EE 34 12 EE EE EE EE", nullptr},
        {"02_", 0, Reply({'t', 0xCD, 0xAB, 0x01}), "EE EE CD AB EE EE EE EE", nullptr},
        // z: the word 4 bytes before the end of the received data.
        {"03_005", 5, Reply({'z', 5, 0, 1, 0, 0x22, 0x11}), "EE EE 22 11 EE EE EE EE", nullptr},
        {"04_002", 2, Reply({'|', 2, 0, 'Z', 'o', 'n', 'e', ' ', '2', 0, 'x'}), nullptr, "Zone 2"},
        // g: the word 6 bytes before the end.
        {"05_001", 1, Reply({'g', 1, 0, 0x44, 0x33, 0, 0}), "EE EE 44 33 EE EE EE EE", nullptr},
        {"06_012", 12, Reply({'h', 12, 0, 'P', 'u', 'l', 'l', 0}), nullptr, "Pull"},
        // Command 7 decodes by its second slot word (7 from the parse).
        {"07_001002", 7, Reply({'p', 1, 0, 2, 0, 9, 9, 9, 9, 0x80, 0x00, 0xFF}), "EE EE 80 00 EE EE EE EE", nullptr},
        {"08_001002", 1 + (2 << 16), Reply({'q', 1, 0, 2, 0, 7, 7, 'L', 'o', 'b', 'b', 'y', 0}), nullptr, "Lobby"},
        {"09_", 0, Reply({'i', 30, 0, 15, 0, 9, 0, 24, 0, 12, 0, 101, 0}), nullptr, "24/12/2001 09:15:30"},
        {"10_", 0, Reply({'v', '5', '8', '2', '0', ' ', 'v', '3', 0, 'z'}), nullptr, "5820 v3"},
        // A single read of 07_ whose slot word says 3 decodes as a z answer.
        {"07_001002", 3, Reply({'p', 5, 0, 1, 0, 0x22, 0x11}), "EE EE 22 11 EE EE EE EE", nullptr},
        // The write commands store nothing.
        {"11_001002", 1 + (2 << 16), Reply({'B', 0x34, 0x12, 0, 0, 0, 0, 0, 0, 0x01, 0x02}), "EE EE EE EE EE EE EE EE", nullptr},
        {"12_001002", 1 + (2 << 16), Reply({'U', 0x34, 0x12}), "EE EE EE EE EE EE EE EE", nullptr},
        {"13_", 0, Reply({'D', 0x34, 0x12}), "EE EE EE EE EE EE EE EE", nullptr},
        {"14_", 0, Reply({'I', 0x34, 0x12}), "EE EE EE EE EE EE EE EE", nullptr},
        {"15_", 0, Reply({'Y', 0x34, 0x12}), "EE EE EE EE EE EE EE EE", nullptr},
        {"07_001002", 0, Reply({'p', 0x34, 0x12}), "EE EE EE EE EE EE EE EE", nullptr},
        {"07_001002", 11, Reply({'p', 0x34, 0x12}), "EE EE EE EE EE EE EE EE", nullptr},
    };
    for (const Case& c : cases) {
        auto gate = MakeGate(c.address, 0, c.argB, 0);
        gate->Receive(c.reply);
        EXPECT_EQ(DecodeReply(&gate->request, kSingleSession).result, DecodeResult::Stored) << c.address;
        if (c.head != nullptr) {
            EXPECT_EQ(Hex(Head(gate->value, 8)), c.head) << c.address << " argB " << c.argB;
        }
        if (c.text != nullptr) {
            EXPECT_EQ(gate->TextValue(), c.text) << c.address;
            EXPECT_EQ(gate->value[strlen(c.text) + 1], 0xEE) << "nothing behind the NUL";
        }
    }
}

TEST(DecodeReply, RejectedAnswersStoreNothing) {
    struct Case {
        const char* what;
        int32_t mode;
        Bytes reply;
    } cases[] = {
        {"no sync bytes", kSingleSession, {0x55, 0xAA, 0x55, 0xAB, 0x02, 0x20, 0x03, 's', 0x34, 0x12}},
        {"sync shifted by one", kSingleSession, gwtest::Concat({Bytes{0}, Reply({'s', 0x34, 0x12})})},
        {"nothing received", kSingleSession, {}},
        {"three sync bytes only", kSingleSession, {0x55, 0xAA, 0x55}},
        {"block answer with another letter", kBlockSession, Reply({'s', 0x34, 0x12, 0, 0, 0, 0, 0, 0, 0x80, 0, 0, 0})},
        {"block answer without its letter", kBlockSession, {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x20, 0x01}},
    };
    for (const Case& c : cases) {
        auto gate = MakeGate("07_001001", 1, 7, 1);
        gate->Receive(c.reply);
        EXPECT_NE(DecodeReply(&gate->request, c.mode).result, DecodeResult::Stored) << c.what;
        EXPECT_EQ(Hex(Head(gate->value, 8)), "EE EE EE EE EE EE EE EE") << c.what;
    }
}

// A block answer of command 7 with received length `received`: 4-byte groups
// from offset 16, each beginning with a word.
Bytes BlockAnswer(uint32_t received, std::initializer_list<uint16_t> words) {
    Bytes bytes(received, 0x00);
    const uint8_t head[] = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x20, 0xFF, 'p'};
    memcpy(bytes.data(), head, sizeof head);
    uint32_t at = 16;
    for (uint16_t w : words) {
        if (at + 1 < received) {
            bytes[at] = static_cast<uint8_t>(w & 0xFF);
            bytes[at + 1] = static_cast<uint8_t>(w >> 8);
            bytes[at + 2] = 0xA5;  // the rest of the group is not a value
            bytes[at + 3] = 0x5A;
        }
        at += 4;
    }
    return bytes;
}

TEST(DecodeReply, BlockLists) {
    struct Case {
        const char* what;
        uint32_t received;
        int32_t count;
        std::initializer_list<uint16_t> words;
        const char* head;  // the first 10 bytes of the value buffer
    } cases[] = {
        {"three of four groups, 128 marked", 40, 3, {0x0102, 0x0080, 0x0304, 0x0506}, "02 01 00 80 04 03 EE EE EE EE"},
        // Words of `count` the answer did not deliver are 0, never what the
        // buffer held before.
        {"received length 20: zero words only", 20, 3, {0x0102}, "00 00 00 00 00 00 EE EE EE EE"},
        {"a group 5 bytes before the end counts", 21, 3, {0x0102}, "02 01 00 00 00 00 EE EE EE EE"},
        {"the data ends the list, the rest is 0", 28, 5, {0x1111, 0x2222, 0x3333}, "11 11 22 22 00 00 00 00 00 00"},
        {"count 0: the zero word", 40, 0, {0x0102, 0x0304}, "00 00 EE EE EE EE EE EE EE EE"},
        {"negative count: the zero word", 40, -5, {0x0102, 0x0304}, "00 00 EE EE EE EE EE EE EE EE"},
        {"0x8000 as received stays", 40, 2, {0x8000, 0x0081}, "00 80 81 00 EE EE EE EE EE EE"},
        {"sync and letter only", 8, 3, {}, "00 00 00 00 00 00 EE EE EE EE"},
    };
    for (const Case& c : cases) {
        auto gate = MakeGate("07_001001", 1, 7, 1);
        gate->point.count = c.count;
        gate->Receive(BlockAnswer(c.received, c.words));
        EXPECT_EQ(DecodeReply(&gate->request, kBlockSession).result, DecodeResult::Stored) << c.what;
        EXPECT_EQ(Hex(Head(gate->value, 10)), c.head) << c.what;
    }
}

TEST(DecodeReply, ABlockListNeverExceedsCount) {
    for (int32_t count : {1, 2, 7, 16, 100}) {
        auto gate = MakeGate("07_001001", 1, 7, 1);
        gate->point.count = count;
        Bytes answer(2000, 0x07);
        const uint8_t head[] = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x20, 0xFF, 'p'};
        memcpy(answer.data(), head, sizeof head);
        gate->Receive(answer);
        EXPECT_EQ(DecodeReply(&gate->request, kBlockSession).result, DecodeResult::Stored);
        for (int32_t i = 0; i < count; ++i) EXPECT_EQ(gate->Word(2 * i), 0x0707) << count;
        EXPECT_EQ(gate->value[2 * count], 0xEE) << count;
        EXPECT_EQ(gate->value[2 * count + 1], 0xEE) << count;
    }
}

// A block answer cut after its first frame (8 of 32 words) must not leave the
// previous read's words 9-32 standing as if this read had brought them; and a
// bogus count clears no further than the longest list an answer can hold.
TEST(DecodeReply, ACutBlockAnswerLeavesNoOldWordsBehind) {
    struct Case {
        int32_t count;
        size_t clearedWords;  // words set to 0 behind the 8 delivered
    } cases[] = {{32, 24}, {8, 0}, {100000, 620 - 8}};
    for (const Case& c : cases) {
        auto gate = MakeGate("07_001001", 1, 7, 1);
        std::vector<uint8_t> value(2 * 700, 0xEE);  // the previous read's words
        gate->point.value = value.data();
        gate->channel.valueHead = value.data();
        gate->channel.valueTail = value.data() + 2;
        gate->point.count = c.count;
        // One frame of 8 groups and its CRC.
        gate->Receive(BlockAnswer(16 + 4 * 8 + 3, {0x101, 0x102, 0x103, 0x104, 0x105, 0x106, 0x107, 0x108}));
        EXPECT_EQ(DecodeReply(&gate->request, kBlockSession).result, DecodeResult::Stored) << c.count;
        for (size_t i = 0; i < 8; ++i) EXPECT_EQ(value[2 * i], 0x01 + i) << c.count << " word " << i;
        for (size_t i = 8; i < 8 + c.clearedWords; ++i)
            ASSERT_EQ(value[2 * i] | value[2 * i + 1], 0) << c.count << " word " << i;
        EXPECT_EQ(value[2 * (8 + c.clearedWords)], 0xEE) << c.count << ": nothing beyond";
    }
}

TEST(DecodeReply, BlockSelectorComesFromTheSlotWordNotTheAddress) {
    // A block gate 03_001 carries the command 3 in its second slot word; the
    // answer's letter must still be p.
    auto gate = MakeGate("07_001001", 0, 3, 1);
    gate->Receive(Reply({'p', 5, 0, 1, 0, 0x22, 0x11}));
    EXPECT_EQ(DecodeReply(&gate->request, kBlockSession).result, DecodeResult::Stored);
    EXPECT_EQ(Hex(Head(gate->value, 4)), "EE EE 22 11");
}

// A single answer counts only when it is this request's: its letter is the
// request's (a zone or group answer may carry 'p'), the value's bytes lie
// inside the first frame's payload as far as it arrived (never in bytes
// behind it), and a write acknowledged with NAK is refused. Turned down,
// nothing is stored.
TEST(DecodeReply, TheValueIsTakenOnlyFromThisRequestsPayload) {
    const Bytes stray(4, 0xA5);
    const Bytes date = Reply({'i', 30, 0, 15, 0, 9, 0, 24, 0, 12, 0, 101, 0});
    struct Case {
        const char* what;
        const char* address;
        int32_t argB;
        Bytes reply;
        uint16_t cutTo;  // received count (0: the whole reply)
        DecodeResult result;
        const char* head;  // the first 4 bytes of the value buffer afterwards, or ...
        const char* text;  // ... the text stored
    } cases[] = {
        {"text without NUL ends with the payload", "10_", 0, Reply({'v', 'A', 'B', 'C'}), 0, DecodeResult::Stored,
         nullptr, "ABC"},
        {"payload shorter than the text offset", "08_001002", 0, Reply({'q', 1, 0, 2}), 0, DecodeResult::TooShort,
         "EE EE EE EE", nullptr},
        {"letter only", "06_001", 0, Reply({'h'}), 0, DecodeResult::TooShort, "EE EE EE EE", nullptr},
        {"date with 12 payload bytes", "09_", 0, Reply({'i', 30, 0, 15, 0, 9, 0, 24, 0, 12, 0, 101}), 0,
         DecodeResult::TooShort, "EE EE EE EE", nullptr},
        {"date cut short by the end of the data", "09_", 0, date, 19, DecodeResult::TooShort, "EE EE EE EE", nullptr},
        {"date with exactly 13 received payload bytes", "09_", 0, date, 20, DecodeResult::Stored, nullptr,
         "24/12/2001 09:15:30"},
        {"date of large words, year in 16 bits", "09_", 0,
         Reply({'i', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), 0,
         DecodeResult::Stored, nullptr, "65535/65535/1899 65535:65535:65535"},
        {"text cut by the received count", "10_", 0, Reply({'v', 'A', 'B', 'C', 'D', 0}), 10, DecodeResult::Stored,
         nullptr, "AB"},
        {"length byte says more than arrived", "10_", 0, {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x20, 0xC8, 'v', 'O', 'K'},
         0, DecodeResult::Stored, nullptr, "OK"},
        {"word at 8-9 with one byte missing", "01_", 0, Reply({'s', 0x34, 0x12}), 9, DecodeResult::TooShort,
         "EE EE EE EE", nullptr},
        {"word at 8-9", "01_", 0, Reply({'s', 0x34, 0x12}), 10, DecodeResult::Stored, "EE EE 34 12", nullptr},
        {"a received count beyond the buffer", "01_", 0, Reply({'s', 0x34, 0x12}), 60000, DecodeResult::Stored,
         "EE EE 34 12", nullptr},
        {"point word at 16-17 with one byte missing", "07_001002", 7,
         Reply({'p', 1, 0, 2, 0, 9, 9, 9, 9, 0x80, 0x00}), 17, DecodeResult::TooShort, "EE EE EE EE", nullptr},
        {"point answer of 9 payload bytes", "07_001002", 7, Reply({'p', 1, 0, 2, 0, 9, 9, 9, 9}), 0,
         DecodeResult::TooShort, "EE EE EE EE", nullptr},
        // The zone and group words are the last words of the frame's payload.
        {"zone answer, stray bytes behind it", "03_005", 5, gwtest::Concat({Reply({'z', 5, 0, 1, 0, 0x22, 0x11}), stray}),
         0, DecodeResult::Stored, "EE EE 22 11", nullptr},
        {"group answer, stray bytes behind it", "05_001", 1,
         gwtest::Concat({Reply({'g', 1, 0, 0x44, 0x33, 0, 0}), stray}), 0, DecodeResult::Stored, "EE EE 44 33",
         nullptr},
        {"zone answer carrying 'p'", "03_005", 5, Reply({'p', 5, 0, 1, 0, 0x22, 0x11}), 0, DecodeResult::Stored,
         "EE EE 22 11", nullptr},
        {"zone answer of 2 payload bytes", "03_005", 5, Reply({'z', 5}), 0, DecodeResult::TooShort, "EE EE EE EE",
         nullptr},
        {"group answer of 4 payload bytes", "05_001", 1, Reply({'g', 1, 0, 0x44}), 0, DecodeResult::TooShort,
         "EE EE EE EE", nullptr},
        // Another request's answer: a late announce answer, the refusal
        // frame, an empty frame.
        {"'s' answered 'v'", "01_", 0, Reply({'v', 0x50, 0x01}), 0, DecodeResult::OtherRequest, "EE EE EE EE",
         nullptr},
        {"'s' answered by the refusal frame", "01_", 0, Reply({0x15, 's'}), 0, DecodeResult::OtherRequest,
         "EE EE EE EE", nullptr},
        {"'z' answered 's'", "03_005", 5, Reply({'s', 5, 0, 1, 0, 0x22, 0x11}), 0, DecodeResult::OtherRequest,
         "EE EE EE EE", nullptr},
        {"an empty frame", "01_", 0, Reply({}), 0, DecodeResult::TooShort, "EE EE EE EE", nullptr},
        // A write's acknowledgement: NAK is a refusal, anything else done.
        {"bypass acknowledged", "11_001002", 1 + (2 << 16), Reply({'B', 0x06}), 0, DecodeResult::Stored,
         "EE EE EE EE", nullptr},
        {"bypass acknowledged NAK", "11_001002", 1 + (2 << 16), Reply({'B', 0x15}), 0, DecodeResult::Refused,
         "EE EE EE EE", nullptr},
        {"clock write answered by the refusal frame", "15_", 0, Reply({0x15, 'Y'}), 0, DecodeResult::Refused,
         "EE EE EE EE", nullptr},
        {"drill answered 's'", "13_", 0, Reply({'s', 0x06}), 0, DecodeResult::OtherRequest, "EE EE EE EE", nullptr},
    };
    for (const Case& c : cases) {
        auto gate = MakeGate(c.address, 0, c.argB != 0 ? c.argB : 1 + (2 << 16), 0);
        if (std::string(c.address) == "07_001002") gate->point.argB = c.argB;
        gate->Receive(c.reply);
        if (c.cutTo != 0) gate->channel.rxCount = c.cutTo;
        EXPECT_EQ(DecodeReply(&gate->request, kSingleSession).result, c.result) << c.what;
        if (c.head != nullptr) {
            EXPECT_EQ(Hex(Head(gate->value, 4)), c.head) << c.what;
        }
        if (c.text != nullptr) {
            EXPECT_EQ(gate->TextValue(), c.text) << c.what;
        }
    }
}

TEST(DecodeReply, TheLongestTextIs254CharactersAndItsNul) {
    Bytes payload(255, 'A');
    payload[0] = 'v';
    auto gate = MakeGate("10_", 0, 0, 0);
    gate->Receive(Frame(2, 0x20, payload));
    EXPECT_EQ(DecodeReply(&gate->request, kSingleSession).result, DecodeResult::Stored);
    EXPECT_EQ(gate->TextValue(), std::string(254, 'A'));
    EXPECT_EQ(gate->value[255], 0xEE);
}

// --- assembly of long block answers -------------------------------------

struct Assembled {
    Bytes before, after;
};

Assembled Assemble(const Bytes& data, uint32_t received, size_t keep = 200) {
    Assembled a;
    auto channel = std::make_unique<VpiChannel>();
    memset(channel->rxBuffer, 0, sizeof channel->rxBuffer);
    memcpy(channel->rxBuffer, data.data(), data.size());
    a.before.assign(channel->rxBuffer, channel->rxBuffer + keep);
    AssembleBlockPayload(channel->rxBuffer, received);
    a.after.assign(channel->rxBuffer, channel->rxBuffer + keep);
    return a;
}

Bytes Numbered(uint8_t letter, size_t n, uint8_t first) {
    Bytes p(n);
    p[0] = letter;
    for (size_t i = 1; i < n; ++i) p[i] = static_cast<uint8_t>(first + i - 1);
    return p;
}

TEST(AssembleBlockPayload, HundredBytesOrFewerWithoutContinuationAreLeftAlone) {
    // A header-like run inside the first frame's payload is data, not a frame.
    Bytes first = Numbered('p', 40, 0x10);
    const uint8_t lookalike[] = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x21, 0x03};
    std::copy(std::begin(lookalike), std::end(lookalike), first.begin() + 20);
    const Bytes data = gwtest::Concat({Frame(2, 0x20, first), Bytes(100 - 49, 0)});
    ASSERT_EQ(data.size(), 100u);
    const Assembled a = Assemble(data, 100);
    EXPECT_EQ(a.after, a.before);
}

TEST(AssembleBlockPayload, ShortAnswersInSeveralFramesAreMergedToo) {
    // 49 + 14 + 18 = 81 bytes: without the merge, the second frame's header
    // and CRC would be read as block values.
    const Bytes data = gwtest::Concat({Frame(2, 0x20, Numbered('p', 40, 0x10)), Frame(1, 0x21, Numbered('p', 5, 0x60)),
                                       Frame(2, 0x22, Numbered('p', 9, 0x80))});
    ASSERT_EQ(data.size(), 81u);
    const Assembled a = Assemble(data, 81);
    Bytes expected = a.before;
    const Bytes appended = {0x60, 0x61, 0x62, 0x63, 0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x03};
    std::copy(appended.begin(), appended.end(), expected.begin() + 47);
    EXPECT_EQ(Hex(a.after), Hex(expected));

    // The list ends with the appended data: the marker 3 at offset 59 and
    // the frames' leftovers behind it are no block words.
    auto gate = MakeGate("07_001001", 1, 7, 1);
    gate->Receive(data);
    gate->channel.rxCount = static_cast<uint16_t>(AssembleBlockPayload(gate->channel.rxBuffer, 81));
    EXPECT_EQ(gate->channel.rxCount, 7 + 40 + 12 + 2);
    std::vector<uint8_t> value(2 * 16, 0xEE);
    gate->point.value = value.data();
    gate->point.count = 16;
    EXPECT_EQ(DecodeReply(&gate->request, kBlockSession).result, DecodeResult::Stored);
    for (size_t word = 0; word < 16; ++word) {
        const size_t from = 16 + 4 * word;
        const uint16_t wanted = from < 57 ? static_cast<uint16_t>(a.after[from] | (a.after[from + 1] << 8)) : 0;
        EXPECT_EQ(value[2 * word] | (value[2 * word + 1] << 8), wanted) << "word " << word;
    }
}

TEST(AssembleBlockPayload, WithoutContinuationOneByteThreeFollowsThePayload) {
    const Bytes data = gwtest::Concat({Frame(2, 0x20, Numbered('p', 40, 0x10)), Bytes(101 - 49, 0x00)});
    const Assembled a = Assemble(data, 101);
    Bytes expected = a.before;
    expected[47] = 3;
    EXPECT_EQ(a.after, expected);
}

TEST(AssembleBlockPayload, ContinuationPayloadsFollowTheFirstWithoutTheirLetters) {
    const Bytes data = gwtest::Concat({Frame(2, 0x20, Numbered('p', 40, 0x10)), Frame(2, 0x21, Numbered('p', 5, 0x60)),
                                       Frame(1, 0x22, Numbered('p', 9, 0x80)), Bytes(30, 0x00)});
    const Assembled a = Assemble(data, static_cast<uint32_t>(data.size()));
    Bytes expected = a.before;
    const Bytes appended = {0x60, 0x61, 0x62, 0x63, 0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x03};
    std::copy(appended.begin(), appended.end(), expected.begin() + 47);
    EXPECT_EQ(Hex(a.after), Hex(expected));
}

TEST(AssembleBlockPayload, OnlyTypesOneAndTwoFromOffset16AreContinuations) {
    // A header at offset 8 lies before the scan start; one of type 3 is no frame.
    Bytes data = Frame(2, 0x20, Numbered('p', 60, 0x10));
    const uint8_t early[] = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x21, 0x03, 'p', 0xE1, 0xE2};
    std::copy(std::begin(early), std::end(early), data.begin() + 8);
    data = gwtest::Concat({data, Frame(3, 0x21, Numbered('p', 5, 0x60)), Bytes(40, 0)});
    const Assembled a = Assemble(data, static_cast<uint32_t>(data.size()));
    Bytes expected = a.before;
    expected[67] = 3;
    EXPECT_EQ(Hex(a.after), Hex(expected));
}

TEST(AssembleBlockPayload, EmptyAndCutContinuationsCopyNothingNegative) {
    // Length 0 and length 1 continuations contribute nothing; a frame cut by
    // the end of the data contributes only the bytes that arrived.
    const Bytes first = Frame(2, 0x20, Numbered('p', 40, 0x10));
    const Bytes cut = Frame(2, 0x23, Numbered('p', 20, 0xA0));
    const Bytes data = gwtest::Concat({first, Bytes(60, 0), Frame(2, 0x21, {}), Frame(2, 0x22, {'p'}), cut});
    const uint32_t received = static_cast<uint32_t>(data.size() - cut.size() + 12);  // 4 payload bytes after the letter
    const Assembled a = Assemble(data, received, 400);
    Bytes expected = a.before;
    const Bytes appended = {0xA0, 0xA1, 0xA2, 0xA3, 0x03};
    std::copy(appended.begin(), appended.end(), expected.begin() + 47);
    EXPECT_EQ(Hex(a.after), Hex(expected));
}

TEST(AssembleBlockPayload, AtMost899BytesOfContinuationData) {
    Bytes data = Frame(2, 0x20, Numbered('p', 255, 0x00));
    for (uint8_t k = 0; k < 5; ++k) data = gwtest::Concat({data, Frame(2, static_cast<uint8_t>(0x21 + k), Bytes(255, static_cast<uint8_t>(0xB0 + k)))});
    auto channel = std::make_unique<VpiChannel>();
    memset(channel.get(), 0xCC, sizeof *channel);
    memcpy(channel->rxBuffer, data.data(), data.size());
    AssembleBlockPayload(channel->rxBuffer, static_cast<uint32_t>(data.size()));
    const uint32_t at = 7 + 255;
    // 254 bytes from each of the first three continuations, 137 of the fourth.
    EXPECT_EQ(channel->rxBuffer[at], 0xB0);
    EXPECT_EQ(channel->rxBuffer[at + 253], 0xB0);
    EXPECT_EQ(channel->rxBuffer[at + 254], 0xB1);
    EXPECT_EQ(channel->rxBuffer[at + 762], 0xB3);
    EXPECT_EQ(channel->rxBuffer[at + 898], 0xB3);
    // Behind the 899 bytes: the received data as it was.
    EXPECT_EQ(channel->rxBuffer[at + 899], data[at + 899]);
}

TEST(AssembleBlockPayload, ReceivedCountsBeyondTheBufferAreCutToIt) {
    auto channel = std::make_unique<VpiChannel>();
    memset(channel.get(), 0xCC, sizeof *channel);
    const Bytes first = Frame(2, 0x20, Numbered('p', 20, 0x10));
    memcpy(channel->rxBuffer, first.data(), first.size());
    // A header whose length byte would lie behind the buffer.
    const uint8_t tail[] = {0x55, 0xAA, 0x55, 0xAA, 0x02};
    memcpy(channel->rxBuffer + 2495, tail, sizeof tail);
    AssembleBlockPayload(channel->rxBuffer, 70000);
    EXPECT_EQ(channel->rxBuffer[27], 3);
    EXPECT_EQ(+channel->txCount, 0xCCCC);  // the field behind rxBuffer
}

}  // namespace
