#include "gateway/line_settings.h"

#include "serial/environment.h"

namespace {

// A value stored plus one: 0 (never set) and anything above the range read as the default.
uint32_t PlusOne(uint32_t stored, uint32_t most, uint32_t fallback) {
    return stored >= 1 && stored - 1 <= most ? stored - 1 : fallback;
}

}  // namespace

uint32_t ReadRetries(const LineSettings& line) {
    return PlusOne(line.readRetriesPlus1, kMostReadRetries, kDefaultReadRetries);
}

uint32_t LineDownAfter(const LineSettings& line) {
    return PlusOne(line.lineDownAfterPlus1, kMostLineDownAfter, kDefaultLineDownAfter);
}

uint32_t LineRetryS(const LineSettings& line) {
    return line.lineRetryS >= 1 && line.lineRetryS <= kLongestLineRetryS ? line.lineRetryS : kDefaultLineRetryS;
}

uint32_t StatsMinutes(const LineSettings& line) {
    return PlusOne(line.statsMinutesPlus1, kLongestStatsMinutes, kDefaultStatsMinutes);
}

bool ChangesConfirmed(const LineSettings& line) { return line.changesUnconfirmed != 1; }

bool AnswerEndsWithFrame(const VpiChannel* channel) { return channel->line.answerEndWindow != 1; }

bool BlockAnswerEndsQuiet(const VpiChannel* channel) { return channel->line.blockEndQuiet == 1; }

uint32_t BlockQuietMs(const VpiChannel* channel) {
    const uint32_t ms = channel->line.blockQuietMs;
    return ms >= kShortestBlockQuietMs && ms <= kLongestBlockQuietMs ? ms : kDefaultBlockQuietMs;
}

uint32_t SendGapMs(const VpiChannel* channel) {
    const uint32_t ms = channel->line.sendGapMs;
    return ms <= kLongestSendGapMs ? ms : 0;
}

bool AnswerCheckOn(const VpiChannel* channel) {
    if (EnvironmentSet("SK5820_CHECK_CRC")) return EnvironmentSwitch("SK5820_CHECK_CRC", true);
    return channel->line.crcUnchecked != 1;
}

bool FrameNumbersChecked(const VpiChannel* channel) {
    return channel->line.frameNumbersUnchecked != 1 && channel->lineState.numbering != kNumberingAbsent;
}

bool TraceOn(const VpiChannel* channel) {
    if (EnvironmentSet("SK5820_TRACE")) return EnvironmentSwitch("SK5820_TRACE", false);
    return channel->line.traceOn == 1;
}
