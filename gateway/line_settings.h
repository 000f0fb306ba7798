// What a channel's line settings (SK5820.ini, kept in the channel record)
// mean to the exchange with the gateway, with the host's environment
// switches over them. A value out of range reads as its default.
#pragma once

#include <cstdint>

#include "host/records.h"

constexpr uint32_t kDefaultBlockQuietMs = 300;
constexpr uint32_t kShortestBlockQuietMs = 20;
constexpr uint32_t kLongestBlockQuietMs = 4000;
constexpr uint32_t kLongestSendGapMs = 1000;
constexpr uint32_t kDefaultReadRetries = 2, kMostReadRetries = 5;
constexpr uint32_t kDefaultLineDownAfter = 3, kMostLineDownAfter = 100;
constexpr uint32_t kDefaultLineRetryS = 10, kLongestLineRetryS = 300;
constexpr uint32_t kDefaultStatsMinutes = 60, kLongestStatsMinutes = 1440;

// The bad-line settings as stored (value plus one, 0 the default); each
// reads its default when out of range.
uint32_t ReadRetries(const LineSettings& line);
uint32_t LineDownAfter(const LineSettings& line);  // 0: the line is never taken for down
uint32_t LineRetryS(const LineSettings& line);
uint32_t StatsMinutes(const LineSettings& line);   // 0: no counters line
// A single read's changed 16-bit value is asked again and reported only when
// two answers agree (confirm_changes, on unless the file says 0).
bool ChangesConfirmed(const LineSettings& line);

// The single answer read ends with its frame (the default), not its window.
bool AnswerEndsWithFrame(const VpiChannel* channel);
// A block answer ends after a quiet gap behind a whole frame (not the default).
bool BlockAnswerEndsQuiet(const VpiChannel* channel);
uint32_t BlockQuietMs(const VpiChannel* channel);
uint32_t SendGapMs(const VpiChannel* channel);
// Value answers are checked (whole, CRC good): SK5820_CHECK_CRC in the
// host's environment when it is set, else the channel's check_crc.
bool AnswerCheckOn(const VpiChannel* channel);
// A block answer's frame numbers are checked (check_frame_numbers, on unless
// the file says 0) while the gateway has not shown that it does not number them.
bool FrameNumbersChecked(const VpiChannel* channel);
// The field trace: SK5820_TRACE in the host's environment when it is set
// (0 off, anything else on, for every channel), else the channel's trace setting.
bool TraceOn(const VpiChannel* channel);
