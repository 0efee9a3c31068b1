// What the bench prints of a pass as it ends: its memory, its client calls by kind, the rows
// the server touched, and for the pass and each import the time, round trips, statements
// and the two ratios (to its replay and to the select-1 floor). The figures' helpers are
// shared with the summary and its goals.
#pragma once

#include "bench/Measure.h"

#include <cstddef>
#include <string>

namespace keyrix::bench {

inline double MiB(long kib) { return static_cast<double>(kib) / 1024.0; }

// So many per record; 0 for no records.
inline double Per(double count, double records) { return records <= 0 ? 0.0 : count / records; }

// Pass time against its replay's, and against the select-1 floor for as many executions.
struct TRatios {
    double Replay = 0;  // 0: no replay
    double Select1 = 0;
};

TRatios RatiosOf(const TPassResult& pass, TTraceSegment which);

// "1.04 x", or "-" for no ratio.
std::string RatioText(double ratio);

// The figures of the pass, for so many employees and card-holder records; with attribute,
// also its round trips by kind of call.
void Report(const TPassResult& pass, std::size_t employees, std::size_t cardHolderRecords, bool attribute);

}  // namespace keyrix::bench
