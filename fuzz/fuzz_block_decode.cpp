// Block assembly and reply decoding over arbitrary received data: any
// received count, value count, second slot word, address and session kind.
// The value buffer is exactly as large as the host must make it, so any
// store beyond `count` words or 255 text bytes is caught.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "address/gate_words.h"
#include "gateway/decode.h"
#include "gateway/frames.h"

namespace {

struct Input {
    const uint8_t* data;
    size_t size;
    uint32_t Take(size_t n) {
        uint32_t v = 0;
        for (size_t i = 0; i < n; ++i) {
            v |= static_cast<uint32_t>(size > 0 ? *data : 0) << (8 * i);
            if (size > 0) {
                ++data;
                --size;
            }
        }
        return v;
    }
};

void Check(bool ok) {
    if (!ok) abort();
}

// The request of `point` on `channel`, its value buffer `value`, as the
// read request prepares them.
void Bind(VpiChannel* channel, PointRecord* point, uint8_t* value, VpiRequest* request) {
    point->value = value;
    channel->valueHead = value;
    channel->valueTail = value + 2;
    request->channel = channel;
    request->params = point;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    const uint32_t flags = in.Take(1);
    const uint16_t rxCount = static_cast<uint16_t>(in.Take(2));
    const int32_t count = static_cast<int32_t>(static_cast<int16_t>(in.Take(2))) % 1300;
    const int32_t argB = static_cast<int32_t>(in.Take(4));
    char address[3] = {static_cast<char>(in.Take(1)), static_cast<char>(in.Take(1)), 0};
    if ((flags & 2) != 0) address[1] = '\0';  // also one-character and empty texts
    if ((flags & 4) != 0) address[0] = '\0';
    const int32_t mode = (flags & 1) != 0 ? kBlockSession : kSingleSession;
    const uint8_t fill = static_cast<uint8_t>(in.Take(1));

    auto channel = std::make_unique<VpiChannel>();
    memset(channel.get(), 0x5C, sizeof *channel);
    memset(channel->rxBuffer, fill, sizeof channel->rxBuffer);
    const size_t received = in.size < sizeof channel->rxBuffer ? in.size : sizeof channel->rxBuffer;
    if (received != 0) memcpy(channel->rxBuffer, in.data, received);
    channel->rxCount = rxCount;

    // The host's value buffer: a block list of command 7 needs `count` words
    // (the first word is always written), everything else at most 255 bytes.
    const uint16_t selector =
        mode == kBlockSession ? static_cast<uint16_t>(argB & 0xFFFF)
                              : (AddressCommand(address) == 7 ? static_cast<uint16_t>(argB & 0xFFFF) : AddressCommand(address));
    const bool list = mode == kBlockSession && selector == 7;
    const size_t words = count > 2 ? static_cast<size_t>(count) : 2;  // the host's buffer holds at least 4 bytes
    const size_t valueSize = list ? 2 * words : 255;
    auto* value = static_cast<uint8_t*>(malloc(valueSize));
    memset(value, 0xA5, valueSize);

    PointRecord point{};
    point.address = address;
    point.argB = argB;
    point.count = count;
    VpiRequest request{};
    Bind(channel.get(), &point, value, &request);

    // A single answer is read only from its first frame: the same bytes with
    // everything behind that frame changed must decode to the same result
    // and the same value.
    std::unique_ptr<VpiChannel> twin;
    if (mode == kSingleSession) {
        twin = std::make_unique<VpiChannel>(*channel);
        const FrameView first = ViewFrame(twin->rxBuffer, ReceivedCount(twin.get()), 0);
        for (uint32_t i = first.size; i < sizeof twin->rxBuffer; ++i) twin->rxBuffer[i] ^= 0xFF;
    }

    if (mode == kBlockSession) {
        uint8_t sequence = 0;
        TakeReplySequence(channel->rxBuffer, ReceivedCount(channel.get()), &sequence);
        // Bounds the count itself; the list is read from the assembled answer.
        channel->rxCount = static_cast<uint16_t>(AssembleBlockPayload(channel->rxBuffer, channel->rxCount));
    }
    const DecodeVerdict verdict = DecodeReply(&request, mode);
    const bool accepted = verdict.result == DecodeResult::Stored;
    if (twin != nullptr) {
        auto* twinValue = static_cast<uint8_t*>(malloc(valueSize));
        memset(twinValue, 0xA5, valueSize);
        PointRecord twinPoint = point;
        VpiRequest twinRequest{};
        Bind(twin.get(), &twinPoint, twinValue, &twinRequest);
        Check(DecodeReply(&twinRequest, mode).result == verdict.result);
        Check(memcmp(twinValue, value, valueSize) == 0);
        free(twinValue);
    }

    // Nothing written into the record's fields around the receive buffer.
    for (uint8_t b : channel->txBuffer) Check(b == 0x5C);
    const uint8_t* tail = reinterpret_cast<const uint8_t*>(channel.get()) + offsetof(VpiChannel, txCount);
    for (size_t i = 0; i < sizeof(VpiChannel) - offsetof(VpiChannel, txCount); ++i) {
        if (i == 2 || i == 3) continue;  // rxCount, set above
        Check(tail[i] == 0x5C);
    }
    // A text stored is NUL-terminated within 255 bytes.
    const bool text = selector == 4 || selector == 6 || selector == 8 || selector == 9 || selector == 10;
    if (accepted && text && !list) Check(memchr(value, 0, 255) != nullptr);
    if (!accepted) {
        for (size_t i = 0; i < valueSize; ++i) Check(value[i] == 0xA5);
    }
    free(value);
    return 0;
}
