// The gateway's frame numbers: the scan for the last frame header and the
// patch of a session frame, against a plain model; then whole block sessions
// on the scripted line whose every answer comes from the input, checking each
// frame the driver sends.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "gateway/decode.h"
#include "gateway/frames.h"
#include "gateway/transaction.h"
#include "tests/support/fake_comm.h"
#include "tools/kestra/kestra_api.h"

namespace {

void Check(bool ok) {
    if (!ok) abort();
}

bool FrameIsSound(const std::vector<uint8_t>& frame) {
    if (frame.size() < 9 || memcmp(frame.data(), kSyncBytes, 4) != 0 || frame[4] != 2) return false;
    if (frame[6] + 9u != frame.size()) return false;
    const uint16_t crc = FrameCrc(frame.data() + 4, static_cast<uint32_t>(frame[6] + 3));
    return frame[frame.size() - 2] == (crc & 0xFF) && frame[frame.size() - 1] == (crc >> 8);
}

void ScanAndPatch(const uint8_t* data, size_t size) {
    if (size < 2) return;
    const uint8_t last = data[0];
    const uint32_t count = data[1] % 64 + (size > 2 ? static_cast<uint32_t>(size - 2) : 0) / 2;
    std::vector<uint8_t> bytes(data + 2, data + size);
    bytes.resize(count + 8, 0xEE);  // the scan must not use what lies behind `count`
    const std::vector<uint8_t> before = bytes;

    // Model: the frame walk. The first position whose four sync bytes lie
    // within count; behind a whole frame (its length byte and n + 9 bytes
    // within count) the next such position at or after its end; the last
    // frame found gives the sequence.
    int64_t found = -1;
    for (uint32_t s = 0; s + 4 <= count;) {
        if (memcmp(&bytes[s], kSyncBytes, 4) != 0) {
            ++s;
            continue;
        }
        found = s;
        if (s + 7 > count || s + bytes[s + 6] + 9u > count) break;  // not whole: the walk ends
        s += bytes[s + 6] + 9u;
    }
    uint8_t sequence = last;
    const bool taken = TakeReplySequence(bytes.data(), count, &sequence);
    Check(bytes == before);
    if (found < 0) {
        Check(!taken && sequence == last);
    } else {
        const uint32_t s = static_cast<uint32_t>(found);
        Check(taken && sequence == (s + 5 < count ? bytes[s + 5] : 0));
    }

    // The answer check reads only the received bytes (an exact copy, so the
    // sanitizer sees any read past them) and agrees with a plain model of the
    // first frame: whole, and its CRC by the line's table.
    const std::vector<uint8_t> exact(bytes.begin(), bytes.begin() + count);
    const AnswerVerdict single = CheckAnswer(exact.data(), count, false);
    const AnswerVerdict block = CheckAnswer(exact.data(), count, true);
    if (count < 4 || memcmp(exact.data(), kSyncBytes, 4) != 0) {
        Check(single.check == AnswerCheck::NoFrame && block.check == AnswerCheck::NoFrame);
    } else {
        const uint32_t frameSize = count > 6 ? exact[6] + 9u : 9u;
        const bool whole = count >= 7 && count >= frameSize;
        bool good = false;
        if (whole) {
            const uint16_t carried = static_cast<uint16_t>(exact[frameSize - 2] | (exact[frameSize - 1] << 8));
            good = carried == CrcWith(CrcTable, &exact[4], frameSize - 6);
        }
        const AnswerCheck first = !whole ? AnswerCheck::CutShort : good ? AnswerCheck::Good : AnswerCheck::BadCrc;
        Check(single.check == first);
        Check(first != AnswerCheck::Good ? block.check == first : block.check != AnswerCheck::NoFrame);
        if (first == AnswerCheck::CutShort) Check(single.frame.arrived == count && single.frame.size == frameSize);
    }

    // Patching each session frame keeps its own number, takes the BCD tens
    // digit and leaves a frame with a sound CRC; without sync it changes nothing.
    SessionFrames frames;
    SetBlockSessionFrames(&frames);
    uint8_t zlz[9];
    memcpy(zlz, frames.zlz, 9);
    const bool patched = PatchFrameSequence(zlz, 9, bytes.data(), count, sequence);
    if (!StartsWithSync(bytes.data(), count)) {
        Check(!patched && memcmp(zlz, frames.zlz, 9) == 0);
    } else {
        const uint8_t hi = sequence >> 4, lo = sequence & 0xF;
        Check(patched && zlz[5] == (0x20 | ((hi <= 9 && lo <= 9) ? hi : 0)));
        Check(FrameIsSound(std::vector<uint8_t>(zlz, zlz + 9)));
    }
    uint8_t eos[10];
    memcpy(eos, frames.eos, 10);
    PatchFrameSequence(eos, 10, bytes.data(), count, sequence);
    Check((eos[5] >> 4) == 3 && FrameIsSound(std::vector<uint8_t>(eos, eos + 10)));
}

void WholeSession(const uint8_t* data, size_t size) {
    // The host log and the scripted line keep everything: start each input
    // with both empty, or a long run only grows.
    KestraClear();
    fake_comm::Reset();
    const Handle port = reinterpret_cast<Handle>(0x300);
    // Each answer: a 2-byte length (cut to what is left), then its bytes.
    size_t at = 0;
    int answers = 0;
    while (at + 2 <= size && answers < 24) {
        size_t n = (data[at] | (data[at + 1] << 8)) % 2100;
        at += 2;
        if (n > size - at) n = size - at;
        fake_comm::Answer(port, fake_comm::Bytes(data + at, data + at + n));
        at += n;
        ++answers;
    }

    auto channel = std::make_unique<VpiChannel>();
    memset(channel.get(), 0, sizeof *channel);
    channel->port = port;
    uint8_t value[64];
    PointRecord point{};
    point.address = "07_020001";
    point.argA = 20;
    point.argB = 7;
    point.argC = 1;
    point.count = 32;
    point.value = value;
    channel->valueHead = value;
    channel->valueTail = value + 2;
    VpiRequest request{};
    request.channel = channel.get();
    request.params = &point;
    const GatewayOutcome outcome = GatewayTransaction(&request, kBlockSession).outcome;

    const auto writes = fake_comm::Writes(port);
    const fake_comm::Bytes announce = {'S', 'K', ' ', 'G', 'A', 'T', 'E', 'W', 'A', 'Y'};
    size_t sends = 0;
    while (sends < writes.size() && writes[sends] == announce) ++sends;
    Check(sends >= 1 && sends <= 7);
    if (sends == writes.size()) {  // the announce was never answered
        Check(sends == 7 && outcome == GatewayOutcome::NoAnnounceAnswer);
        return;
    }
    Check(FrameIsSound(writes[sends]) && writes[sends][5] == 0x11);
    // Then 3 to 12 session frames, each with its own number in the high
    // nibble, in order, and the gateway's number as a decimal digit.
    const size_t closing = writes.size() - sends - 1;
    Check(closing >= 3 && closing <= 12);
    uint8_t previous = 2;
    for (size_t i = sends + 1; i < writes.size(); ++i) {
        Check(FrameIsSound(writes[i]));
        const uint8_t own = writes[i][5] >> 4;
        Check(own >= previous && own <= 4);
        previous = own;
        Check((writes[i][5] & 0xF) <= 9);
        Check(writes[i].size() == (own == 3 ? 10u : 9u));
    }
    Check(writes.back()[5] >> 4 == 4);
    Check(fake_comm::CurrentTimeout(port) == 500);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    if ((data[0] & 1) == 0) {
        ScanAndPatch(data + 1, size - 1);
    } else {
        WholeSession(data + 1, size - 1);
    }
    return 0;
}
