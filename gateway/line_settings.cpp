#include "gateway/line_settings.h"

#include "serial/environment.h"

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
    return EnvironmentSwitch("SK5820_TRACE", false) || channel->line.traceOn == 1;
}
