// Bounded texts of the host's records: a channel's name (VpiSK01), the names
// of its kernel objects and its .int file name, and fields the host may have
// filled to the last byte without a terminator. Writers with no CRT
// formatting, so every text ends inside its field whatever number it carries;
// readers that never read past a field.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/records.h"

// The client name every channel name carries after "Vpi".
constexpr char kClientName[] = "SK";
// "Vpi" and the client name: channel names (VpiSK01) and .int file names
// (vpiSK03.int) continue with a number of at least two digits.
constexpr char kChannelNamePrefix[] = "VpiSK";
constexpr char kFileNamePrefix[] = "vpiSK";

// Writes `prefix`, then `number` in decimal with at least two digits (as
// "%02d" does: 7 -> "07", -3 -> "-3"), then `suffix`, into `out` of `size`
// bytes. The text is cut at size - 1 characters and always NUL-terminated.
inline void FormatNumbered(char* out, size_t size, const char* prefix, int32_t number, const char* suffix) {
    if (size == 0) return;
    char digits[12];
    size_t n = 0;
    // Magnitude as unsigned so INT32_MIN needs no special case.
    uint32_t magnitude = number < 0 ? 0u - static_cast<uint32_t>(number) : static_cast<uint32_t>(number);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10u);
        magnitude /= 10u;
    } while (magnitude != 0);
    if (number >= 0 && n < 2) digits[n++] = '0';
    if (number < 0) digits[n++] = '-';

    size_t at = 0;
    auto put = [&](char c) {
        if (at + 1 < size) out[at++] = c;
    };
    for (const char* p = prefix; *p != '\0'; ++p) put(*p);
    while (n > 0) put(digits[--n]);
    for (const char* p = suffix; *p != '\0'; ++p) put(*p);
    out[at] = '\0';
}

// Copies the NUL-terminated `from` into `out`, cut at size - 1 characters.
inline void CopyText(char* out, size_t size, const char* from) {
    if (size == 0) return;
    size_t at = 0;
    while (at + 1 < size && from[at] != '\0') {
        out[at] = from[at];
        ++at;
    }
    out[at] = '\0';
}

// A port's plain name: "COM12" for a port opened through the device
// namespace as \\.\COM12 (its settings section and its log lines use it).
inline const char* PlainPortName(const char* name) {
    return name[0] == '\\' && name[1] == '\\' && name[2] == '.' && name[3] == '\\' ? name + 4 : name;
}

// Copies a field of `width` bytes that may lack its NUL (a record the host
// never cleared) into `out`, which must hold width + 1 bytes.
inline void CopyField(char* out, const char* field, size_t width) {
    size_t at = 0;
    while (at < width && field[at] != '\0') {
        out[at] = field[at];
        ++at;
    }
    out[at] = '\0';
}

// True when the `width` bytes of `field` hold a terminator: a text that ends
// inside its field (a port name that does not is refused, never cut).
inline bool FieldHoldsText(const char* field, size_t width) {
    for (size_t at = 0; at < width; ++at) {
        if (field[at] == '\0') return true;
    }
    return false;
}

// The catch thread's and the start's check of the client name: the two
// characters after "Vpi" are "SK" in either case.
inline bool HasClientName(const char* clientName) {
    auto upper = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; };
    return upper(clientName[3]) == kClientName[0] && upper(clientName[4]) == kClientName[1];
}

// The channel's name as every message prints it, cut to its field even when
// the record holds no NUL there.
struct ChannelName {
    char text[32];
};

inline ChannelName NameOf(const VpiChannel* channel) {
    ChannelName name;
    CopyField(name.text, channel->name, sizeof channel->name);
    return name;
}
