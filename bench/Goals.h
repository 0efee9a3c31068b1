// The bench's verdict: the table of every size and pass at the end of the run, and the goals
// each pass is held to, each one missed named under its row.
#pragma once

#include "bench/Measure.h"

#include <vector>

namespace keyrix::bench {

// The table of every size and pass, and the goals: each pass within 1.10 x its replay,
// time linear in the size (the largest within 5.5 x the 20,000 run for 100,000, scaled for
// other sizes), and peak memory within the feed's size plus 16 MiB. The first pass's
// card-holder import within 1.3 x its select-1 floor (planned on statistics that know the
// users); the unchanged pass at most 2.9 round trips per employee in the HRM import and
// 6.8 in the whole pass (no savepoint for an employee that only reads).
// Prints them and answers whether every goal was met.
bool Summarise(const std::vector<TSizeResult>& sizes);

}  // namespace keyrix::bench
