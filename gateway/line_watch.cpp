#include "gateway/line_watch.h"

#include <cstring>

#include "gateway/line_counters.h"
#include "gateway/line_settings.h"
#include "host/host_log.h"
#include "host/texts.h"
#include "serial/comm.h"

namespace {

constexpr uint64_t kMsPerSecond = 1000;
constexpr uint64_t kMsPerMinute = 60 * kMsPerSecond;

LineHealth& Health(VpiChannel* channel) { return channel->health; }

// Only a channel this driver started keeps its line's health: a record
// never started holds whatever its allocation held.
bool Watched(const VpiChannel* channel) { return channel->health.started == 1; }

// A change to both the period's and the channel's counts. (The records
// are packed: their counts are changed in place, never through a reference.)
template <typename Change>
void Both(VpiChannel* channel, Change change) {
    if (!Watched(channel)) return;
    change(channel->health.total);
    change(channel->health.period);
}

// The down time up to now into the counters, while the line is down.
void CountDownTime(VpiChannel* channel, uint64_t now) {
    LineHealth& h = Health(channel);
    if (h.down != 1 || now <= h.downCountedToMs) return;
    Both(channel, [&](LineCounters& c) { c.downMs += now - h.downCountedToMs; });
    h.downCountedToMs = now;
}

uint32_t FailCause(const GatewayResult& result) {
    switch (result.outcome) {
        case GatewayOutcome::NoPayload: return kFailNoRequest;
        case GatewayOutcome::NoAnnounceAnswer: return kFailNoAnnounce;
        case GatewayOutcome::NoGoodBye: return kFailNoGoodBye;
        case GatewayOutcome::NoAnswerFrame: return kFailNoAnswer;
        case GatewayOutcome::NotABlockAnswer:
        case GatewayOutcome::OtherRequest: return kFailOther;
        case GatewayOutcome::AnswerCutShort: return kFailCut;
        case GatewayOutcome::AnswerBadCrc: return kFailCrc;
        case GatewayOutcome::AnswerTooShort: return kFailTooShort;
        case GatewayOutcome::WriteRefused: return kFailRefused;
        case GatewayOutcome::AnswerLostFrame:
        case GatewayOutcome::FramesOutOfOrder: return kFailLostFrame;
        case GatewayOutcome::Decoded:
        case GatewayOutcome::ValueNotConfirmed: break;  // counted on its own
    }
    return kFailCauseCount;
}

// The port as the log lines name it: "COM12" for a port opened as "\\.\COM12".
struct PortText {
    char text[16];
};
PortText PortShown(const VpiChannel* channel) {
    PortText port{};
    char name[sizeof channel->portDesc.portName + 1];
    CopyField(name, channel->portDesc.portName, sizeof channel->portDesc.portName);
    CopyText(port.text, sizeof port.text, PlainPortName(name));
    return port;
}

void LogCounters(VpiChannel* channel, uint64_t now) {
    LineHealth& h = Health(channel);
    CountDownTime(channel, now);
    char counters[512];
    FormatLineCounters(h.period, counters, sizeof counters);
    const uint64_t ms = now - h.periodStartMs;
    const bool inMinutes = ms >= kMsPerMinute;
    err(kLogLevel, "%s: %s last %u %s: %s", NameOf(channel).text, PortShown(channel).text,
        static_cast<unsigned>(inMinutes ? (ms + kMsPerMinute / 2) / kMsPerMinute : ms / kMsPerSecond),
        inMinutes ? "min" : "s", counters);
    h.period = LineCounters{};
    h.periodStartMs = now;
}

}  // namespace

void StartLineHealth(VpiChannel* channel) {
    channel->health = LineHealth{};
    channel->health.started = 1;
    const uint64_t now = CommNowMs();
    channel->health.channelStartMs = now;
    channel->health.periodStartMs = now;
}

void EndLineDown(VpiChannel* channel) {
    if (!Watched(channel)) return;
    LineHealth& h = Health(channel);
    CountDownTime(channel, CommNowMs());
    h.down = 0;
    h.silentInARow = 0;
    h.failedAtOnce = 0;
}

bool ReadFailsAtOnce(VpiChannel* channel) {
    LineHealth& h = Health(channel);
    if (!Watched(channel) || h.down != 1) return false;
    const uint64_t now = CommNowMs();
    if (now - h.lastTryMs >= LineRetryS(channel->line) * kMsPerSecond) {
        h.lastTryMs = now;  // this read tries the line
        return false;
    }
    ++h.failedAtOnce;
    Both(channel, [&](LineCounters& c) {
        c.reads += 1;
        c.readsFailed[kFailAtOnce] += 1;
    });
    return true;
}

void NoteAnnounce(VpiChannel* channel, const GatewayResult& result) {
    if (!Watched(channel) || result.outcome == GatewayOutcome::NoPayload) return;  // nothing was sent
    const bool answered = result.outcome != GatewayOutcome::NoAnnounceAnswer;
    LineHealth& h = Health(channel);
    const ChannelName name = NameOf(channel);
    const uint64_t now = CommNowMs();
    if (answered) {
        h.silentInARow = 0;
        if (h.down != 1) return;
        CountDownTime(channel, now);
        h.down = 0;
        err(kLogLevel, "%s: %s line up again after %u s; %u reads failed at once meanwhile", name.text,
            PortShown(channel).text, static_cast<unsigned>((now - h.downSinceMs) / kMsPerSecond),
            static_cast<unsigned>(h.failedAtOnce));
        h.failedAtOnce = 0;
        return;
    }
    if (h.silentInARow < UINT8_MAX) ++h.silentInARow;
    if (h.down == 1) {
        // The next try is line_retry_s after this one ended: a try takes up
        // to 14 s, and a host polling a dead line must not have every other
        // read wait for the announces.
        h.lastTryMs = now;
        return;
    }
    const uint32_t after = LineDownAfter(channel->line);
    if (after == 0 || h.silentInARow < after) return;
    h.down = 1;
    h.downSinceMs = now;
    h.downCountedToMs = now;
    h.lastTryMs = now;
    h.failedAtOnce = 0;
    err(kLogLevel,
        "%s: %s line down: the gateway has not answered %u request%s in a row; reads fail at once, the line is "
        "tried again every %u s",
        name.text, PortShown(channel).text, static_cast<unsigned>(h.silentInARow), h.silentInARow == 1 ? "" : "s",
        static_cast<unsigned>(LineRetryS(channel->line)));
}

void CountRead(VpiChannel* channel, const GatewayResult& result, const ReadTally& tally) {
    Both(channel, [&](LineCounters& c) {
        c.reads += 1;
        c.retries += tally.retries;
        c.disagreements += tally.disagreements;
    });
    if (result.outcome == GatewayOutcome::ValueNotConfirmed) {
        Both(channel, [&](LineCounters& c) { c.readsNotConfirmed += 1; });
        return;
    }
    const uint32_t cause = FailCause(result);
    if (cause == kFailCauseCount) {
        Both(channel, [&](LineCounters& c) {
            c.readsGood += 1;
            if (tally.retries != 0) c.readsGoodAfterRetry += 1;
            if (tally.confirmed) c.readsConfirmed += 1;
        });
        return;
    }
    Both(channel, [&](LineCounters& c) { c.readsFailed[cause] += 1; });
}

void CountWrite(VpiChannel* channel, const GatewayResult& result) {
    Both(channel, [&](LineCounters& c) { c.writes += 1; });
    const uint32_t cause = FailCause(result);
    if (cause == kFailCauseCount) {
        Both(channel, [&](LineCounters& c) { c.writesGood += 1; });
        return;
    }
    Both(channel, [&](LineCounters& c) { c.writesFailed[cause] += 1; });
}

void CountBytes(VpiChannel* channel, uint32_t in, uint32_t out) {
    Both(channel, [&](LineCounters& c) { c.bytesIn += in; });
    Both(channel, [&](LineCounters& c) { c.bytesOut += out; });
}

void LogCountersWhenDue(VpiChannel* channel) {
    const uint32_t minutes = StatsMinutes(channel->line);
    if (minutes == 0 || !Watched(channel)) return;
    const uint64_t now = CommNowMs();
    if (now - channel->health.periodStartMs >= minutes * kMsPerMinute) LogCounters(channel, now);
}

void LogCountersAtEnd(VpiChannel* channel) {
    if (StatsMinutes(channel->line) == 0 || !Watched(channel)) return;
    // A period without a request has nothing to tell.
    const LineCounters& p = channel->health.period;
    if (p.reads == 0 && p.writes == 0) return;
    LogCounters(channel, CommNowMs());
}
