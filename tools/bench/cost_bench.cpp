// The driver's portable work per call, natively (Google Benchmark): the two
// address parsers, the reply decoding of single answers, the assembly and
// decoding of a four-frame block answer, and the frame helpers. The host log
// here formats each line into a buffer and drops it, as a cheap host would.
//
//   skbench_cost [--benchmark_min_time=0.5] [--benchmark_format=console|json]
#include <benchmark/benchmark.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "address/parsers.h"
#include "gateway/decode.h"
#include "gateway/frames.h"

extern "C" int err(int32_t level, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    benchmark::DoNotOptimize(text);
    (void)level;
    return 0;
}

namespace {

std::vector<uint8_t> Frame(uint8_t type, uint8_t sequence, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> f;
    f.reserve(payload.size() + 9);
    for (uint8_t b : {uint8_t{0x55}, uint8_t{0xAA}, uint8_t{0x55}, uint8_t{0xAA}, type, sequence}) f.push_back(b);
    f.push_back(static_cast<uint8_t>(payload.size()));
    for (uint8_t b : payload) f.push_back(b);
    const uint16_t crc = FrameCrc(f.data() + 4, static_cast<uint32_t>(payload.size() + 3));
    f.push_back(static_cast<uint8_t>(crc & 0xFF));
    f.push_back(static_cast<uint8_t>(crc >> 8));
    return f;
}

void Word(std::vector<uint8_t>& out, uint16_t w) {
    out.push_back(static_cast<uint8_t>(w & 0xFF));
    out.push_back(static_cast<uint8_t>(w >> 8));
}

// The answer to a list of loop 1, points 1..32, as the gateway sends it: a
// first frame with the list's head and 8 entries, then frames of 10, 10 and 4.
std::vector<uint8_t> BlockAnswer() {
    std::vector<uint8_t> wire;
    std::vector<uint8_t> first = {'p'};
    Word(first, 1);
    Word(first, 0);
    Word(first, 32);
    Word(first, 32);
    int point = 1;
    for (; point <= 8; ++point) {
        Word(first, static_cast<uint16_t>(0x10 + point));
        Word(first, static_cast<uint16_t>(point));
    }
    auto add = [&](const std::vector<uint8_t>& f) {
        for (uint8_t b : f) wire.push_back(b);
    };
    add(Frame(0x01, 0x21, first));
    for (int frame = 0; frame < 3; ++frame) {
        std::vector<uint8_t> more = {'p'};
        for (int k = 0; k < 10 && point <= 32; ++k, ++point) {
            Word(more, static_cast<uint16_t>(0x10 + point));
            Word(more, static_cast<uint16_t>(point));
        }
        add(Frame(point > 32 ? 0x02 : 0x01, static_cast<uint8_t>(0x31 + 0x10 * frame), more));
    }
    return wire;
}

struct Point {
    std::unique_ptr<VpiChannel> channel = std::make_unique<VpiChannel>();
    PointRecord point{};
    VpiRequest request{};
    alignas(4) uint8_t value[600] = {};
    explicit Point(const char* address, int32_t argB, int32_t count) {
        memset(channel.get(), 0, sizeof(VpiChannel));
        point.address = address;
        point.argB = argB;
        point.count = count;
        point.value = value;
        channel->valueHead = value;
        channel->valueTail = value + 2;
        request.channel = channel.get();
        request.params = &point;
    }
    void Receive(const std::vector<uint8_t>& bytes) {
        memcpy(channel->rxBuffer, bytes.data(), bytes.size());
        channel->rxCount = static_cast<uint16_t>(bytes.size());
    }
};

void Parse(benchmark::State& state, int32_t (*parser)(VpiRequest*), const char* address, int32_t gateType,
           int32_t expected) {
    auto channel = std::make_unique<VpiChannel>();
    memset(channel.get(), 0, sizeof(VpiChannel));
    strcpy(channel->name, "VpiSK01");
    GateRecord gate{};
    gate.address = address;
    gate.gateType = gateType;
    VpiRequest request{};
    request.channel = channel.get();
    request.params = &gate;
    for (auto _ : state) {
        const int32_t status = parser(&request);
        if (status != expected) state.SkipWithError("unexpected parse result");
        benchmark::DoNotOptimize(gate.slotB);
    }
}

void BM_SingleParserAccepts(benchmark::State& s) { Parse(s, SingleParser, "07_001005", 0, 0); }
void BM_SingleParserAcceptsText(benchmark::State& s) { Parse(s, SingleParser, "08_001004", 7, 0); }
void BM_SingleParserRefuses(benchmark::State& s) { Parse(s, SingleParser, "7A_", 0, 1); }
void BM_BlockParserAccepts(benchmark::State& s) { Parse(s, BlockAddressParser, "07_001001", 0, 0); }
void BM_BlockParserRefuses(benchmark::State& s) { Parse(s, BlockAddressParser, "03_005", 0, 1); }

void BM_DecodeSingleNumber(benchmark::State& state) {
    Point p("01_", 0, 16);
    p.Receive(Frame(0x02, 0x21, {'s', 0x24, 0x12}));
    for (auto _ : state) {
        if (DecodeReply(&p.request, kSingleSession).result != DecodeResult::Stored) state.SkipWithError("rejected");
        benchmark::DoNotOptimize(p.value[2]);
    }
}

void BM_DecodeSingleText(benchmark::State& state) {
    Point p("08_001004", 1 | (4 << 16), 16);
    std::vector<uint8_t> payload = {'q', 1, 0, 4, 0, 0x14, 0};
    const char label[] = "DET L1 D004 SECOND FLOOR EAST CORRIDOR";
    for (char c : label) payload.push_back(static_cast<uint8_t>(c));
    p.Receive(Frame(0x02, 0x21, payload));
    for (auto _ : state) {
        if (DecodeReply(&p.request, kSingleSession).result != DecodeResult::Stored) state.SkipWithError("rejected");
        benchmark::DoNotOptimize(p.value[0]);
    }
}

void BM_DecodeSingleDate(benchmark::State& state) {
    Point p("09_", 0, 16);
    std::vector<uint8_t> payload = {'i'};
    for (int w : {30, 15, 9, 24, 12, 101}) Word(payload, static_cast<uint16_t>(w));
    p.Receive(Frame(0x02, 0x21, payload));
    for (auto _ : state) {
        if (DecodeReply(&p.request, kSingleSession).result != DecodeResult::Stored) state.SkipWithError("rejected");
        benchmark::DoNotOptimize(p.value[0]);
    }
}

// A block read's decoding as the transaction runs it: the answer as received
// (copied in each time, 176 bytes), assembled, then decoded into 32 words.
void BM_AssembleAndDecodeBlock(benchmark::State& state) {
    Point p("07_001001", 7, 32);
    const std::vector<uint8_t> answer = BlockAnswer();
    for (auto _ : state) {
        p.Receive(answer);
        AssembleBlockPayload(p.channel->rxBuffer, ReceivedCount(p.channel.get()));
        if (DecodeReply(&p.request, kBlockSession).result != DecodeResult::Stored) state.SkipWithError("rejected");
        benchmark::DoNotOptimize(p.value[62]);
    }
    const uint16_t last = static_cast<uint16_t>(p.value[62] | (p.value[63] << 8));
    if (last != 0x10 + 32) state.SkipWithError("point 32 decoded wrong");
}

// The copy alone, to tell it from the work above.
void BM_ReceiveCopyOnly(benchmark::State& state) {
    Point p("07_001001", 7, 32);
    const std::vector<uint8_t> answer = BlockAnswer();
    for (auto _ : state) {
        p.Receive(answer);
        benchmark::DoNotOptimize(p.channel->rxBuffer[0]);
    }
}

void BM_FrameCrcRequest(benchmark::State& state) {
    uint8_t bytes[] = {0x02, 0x11, 0x05, 0x70, 0x21, 0x00, 0x00, 0x00};
    for (auto _ : state) {
        benchmark::DoNotOptimize(bytes);  // the bytes are not known to the compiler
        uint16_t crc = FrameCrc(bytes, sizeof bytes);
        benchmark::DoNotOptimize(crc);
    }
}

void BM_BuildRequestFrame(benchmark::State& state) {
    auto channel = std::make_unique<VpiChannel>();
    const uint8_t payload[] = {0x70, 0x01, 0x00, 0x05, 0x00};
    for (auto _ : state) {
        BuildRequestFrame(channel.get(), payload, sizeof payload);
        benchmark::DoNotOptimize(channel->txBuffer[13]);
    }
}

void BM_TakeReplySequenceBlock(benchmark::State& state) {
    const std::vector<uint8_t> answer = BlockAnswer();
    uint8_t sequence = 0;
    for (auto _ : state) {
        TakeReplySequence(answer.data(), static_cast<uint32_t>(answer.size()), &sequence);
        benchmark::DoNotOptimize(sequence);
    }
}

}  // namespace

BENCHMARK(BM_SingleParserAccepts);
BENCHMARK(BM_SingleParserAcceptsText);
BENCHMARK(BM_SingleParserRefuses);
BENCHMARK(BM_BlockParserAccepts);
BENCHMARK(BM_BlockParserRefuses);
BENCHMARK(BM_DecodeSingleNumber);
BENCHMARK(BM_DecodeSingleText);
BENCHMARK(BM_DecodeSingleDate);
BENCHMARK(BM_AssembleAndDecodeBlock);
BENCHMARK(BM_ReceiveCopyOnly);
BENCHMARK(BM_FrameCrcRequest);
BENCHMARK(BM_BuildRequestFrame);
BENCHMARK(BM_TakeReplySequenceBlock);
BENCHMARK_MAIN();
