#include "gateway/line_counters.h"

#include <cstdio>

namespace {

constexpr const char* kCauseNames[kFailCauseCount] = {
    "no announce", "no answer", "CRC", "cut", "too short", "not this request's",
    "lost frame", "refused", "at once", "no goodbye", "no request",
};

// Text appended piece by piece, cut at the end of `out`.
struct Text {
    char* out;
    uint32_t size;
    uint32_t used = 0;
    void Add(const char* piece) {
        for (; *piece != '\0' && used + 1 < size; ++piece) out[used++] = *piece;
        out[used] = '\0';
    }
    void Count(uint64_t value) {
        char digits[32];
        FormatCount(value, digits, sizeof digits);
        Add(digits);
    }
};

// A failure count of the reads or of the writes. (The record is packed: its
// counts are read in place, never through a reference.)
uint64_t Failed(const LineCounters& c, bool writes, uint32_t cause) {
    return writes ? c.writesFailed[cause] : c.readsFailed[cause];
}

// "3600 reads 3598 good", then " (14 after a retry, 12 confirmed)", ", 2 failed (CRC 1, not confirmed 1)" and
// ", 3 disagreements" when there are any (confirmations and disagreements: reads only).
void AddRequests(Text& text, const LineCounters& c, bool writes) {
    const uint64_t all = writes ? c.writes : c.reads;
    const uint64_t good = writes ? c.writesGood : c.readsGood;
    const uint64_t goodAfterRetry = writes ? 0 : c.readsGoodAfterRetry;
    const uint64_t confirmed = writes ? 0 : c.readsConfirmed;
    const uint64_t notConfirmed = writes ? 0 : c.readsNotConfirmed;
    const uint64_t disagreements = writes ? 0 : c.disagreements;
    text.Count(all);
    text.Add(writes ? " writes " : " reads ");
    text.Count(good);
    text.Add(" good");
    if (goodAfterRetry != 0 || confirmed != 0) {
        text.Add(" (");
        if (goodAfterRetry != 0) {
            text.Count(goodAfterRetry);
            text.Add(" after a retry");
        }
        if (confirmed != 0) {
            if (goodAfterRetry != 0) text.Add(", ");
            text.Count(confirmed);
            text.Add(" confirmed");
        }
        text.Add(")");
    }
    uint64_t failedAll = notConfirmed;
    for (uint32_t cause = 0; cause < kFailCauseCount; ++cause) failedAll += Failed(c, writes, cause);
    if (failedAll != 0) {
        text.Add(", ");
        text.Count(failedAll);
        text.Add(" failed (");
        const char* separator = "";
        for (uint32_t cause = 0; cause < kFailCauseCount; ++cause) {
            if (Failed(c, writes, cause) == 0) continue;
            text.Add(separator);
            text.Add(kCauseNames[cause]);
            text.Add(" ");
            text.Count(Failed(c, writes, cause));
            separator = ", ";
        }
        if (notConfirmed != 0) {
            text.Add(separator);
            text.Add("not confirmed ");
            text.Count(notConfirmed);
        }
        text.Add(")");
    }
    if (disagreements != 0) {
        text.Add(", ");
        text.Count(disagreements);
        text.Add(disagreements == 1 ? " disagreement" : " disagreements");
    }
}

}  // namespace

const char* FailCauseName(uint32_t cause) { return cause < kFailCauseCount ? kCauseNames[cause] : "?"; }

void FormatCount(uint64_t value, char* out, uint32_t size) {
    char digits[24];
    const int n = snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(value));
    uint32_t at = 0;
    for (int i = 0; i < n && at + 1 < size; ++i) {
        if (i != 0 && (n - i) % 3 == 0) {
            out[at++] = ',';
            if (at + 1 >= size) break;
        }
        out[at++] = digits[i];
    }
    if (size != 0) out[at] = '\0';
}

void FormatLineCounters(const LineCounters& c, char* out, uint32_t size) {
    if (size == 0) return;
    out[0] = '\0';
    Text text{out, size};
    AddRequests(text, c, false);
    text.Add("; ");
    AddRequests(text, c, true);
    text.Add("; line down ");
    text.Count(c.downMs / 1000);
    text.Add(" s; ");
    text.Count(c.bytesIn);
    text.Add(" bytes in, ");
    text.Count(c.bytesOut);
    text.Add(" out");
}
