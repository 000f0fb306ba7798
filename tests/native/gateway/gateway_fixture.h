// Shared pieces of the gateway tests: a gate on a channel with its request
// record, frames built as the gateway builds them, and a cooperative gateway
// that answers on the scripted line.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gateway/frames.h"
#include "host/records.h"
#include "tests/support/fake_comm.h"

namespace gwtest {

using fake_comm::Bytes;

inline Handle PortHandle(uintptr_t n = 0x300) {
    return reinterpret_cast<Handle>(n);
}

// A complete frame with its CRC, as the gateway sends it.
inline Bytes Frame(uint8_t type, uint8_t sequence, const Bytes& payload) {
    Bytes frame = {0x55, 0xAA, 0x55, 0xAA, type, sequence, static_cast<uint8_t>(payload.size())};
    frame.insert(frame.end(), payload.begin(), payload.end());
    const uint16_t crc = CrcWith(CrcTable, frame.data() + 4, static_cast<uint32_t>(payload.size() + 3));
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

inline Bytes Text(const char* text) {
    return Bytes(text, text + strlen(text));
}

// The gateway's answers of a cooperative session, each exactly as long as
// the driver asks for.
inline Bytes AnnounceReply() { return Frame(0x02, 0x10, {0x4D, 0x50}); }  // 11 bytes
inline Bytes ZlzReply(uint8_t sequence = 0x32) { return Frame(0x02, sequence, {0x4D, 0x50}); }  // 11
inline Bytes EosReply(uint8_t sequence = 0x43) { return Frame(0x02, sequence, {0x01, 0x00}); }  // 11
inline Bytes GoodByeReply(uint8_t sequence = 0x54) { return Frame(0x02, sequence, {0x06}); }  // 10

// A gate on a channel, with the request record the host hands over.
struct Gate {
    VpiChannel channel;
    PointRecord point;
    uint8_t value[600];
    std::string address;
    VpiRequest request;

    Gate(const char* addressText, int32_t argA, int32_t argB, int32_t argC, Handle port = PortHandle())
        : address(addressText) {
        memset(&channel, 0, sizeof channel);
        memset(&point, 0, sizeof point);
        memset(value, 0xEE, sizeof value);
        memset(&request, 0, sizeof request);
        channel.port = port;
        strcpy(channel.name, "VpiSK01");
        channel.health.started = 1;  // a channel the driver started
        // Each answer once: the confirmation of changed values has tests of its own.
        channel.line.changesUnconfirmed = 1;
        point.address = address.c_str();
        point.argA = argA;
        point.argB = argB;
        point.argC = argC;
        point.count = 16;
        point.value = value;
        channel.valueTail = value + 2;
        channel.valueHead = value;
        request.channel = &channel;
        request.params = &point;
    }

    Handle Port() const { return channel.port; }

    // The answer in the receive buffer, as a read leaves it.
    void Receive(const Bytes& bytes) {
        memset(channel.rxBuffer, 0, sizeof channel.rxBuffer);
        if (!bytes.empty()) memcpy(channel.rxBuffer, bytes.data(), bytes.size());
        channel.rxCount = static_cast<uint16_t>(bytes.size());
    }

    uint16_t Word(size_t offset) const { return static_cast<uint16_t>(value[offset] | (value[offset + 1] << 8)); }
    std::string TextValue() const { return std::string(reinterpret_cast<const char*>(value)); }
};

inline std::unique_ptr<Gate> MakeGate(const char* address, int32_t argA, int32_t argB, int32_t argC,
                                      Handle port = PortHandle()) {
    return std::make_unique<Gate>(address, argA, argB, argC, port);
}

}  // namespace gwtest
