#include "bench/Goals.h"

#include "bench/Report.h"

#include <cstdio>

namespace keyrix::bench {

bool Summarise(const std::vector<TSizeResult>& sizes) {
    bool met = true;
    std::printf("\nsummary\n");
    std::printf("%9s  %-6s  %9s  %10s  %8s  %8s  %8s  %8s  %9s  %10s\n", "employees", "pass", "time s", "employees/s",
                "rt/empl", "HRM rt", "card rt", "peak MiB", "replay", "select-1");
    for (const TSizeResult& size : sizes) {
        for (std::size_t p = 0; p < size.Passes.size(); ++p) {
            const TPassResult& pass = size.Passes[p];
            const double employees = static_cast<double>(size.Employees);
            const TRatios ratios = RatiosOf(pass, TTraceSegment::Pass);
            std::printf("%9zu  %-6zu  %9.2f  %10.0f  %8.2f  %8.2f  %8.2f  %8.1f  %9s  %10s\n", size.Employees, p + 1,
                        pass.Pass.Seconds, Per(employees, pass.Pass.Seconds), Per(static_cast<double>(pass.Pass.RoundTrips), employees),
                        Per(static_cast<double>(pass.Hrm.RoundTrips), employees),
                        Per(static_cast<double>(pass.CardHolders.RoundTrips), static_cast<double>(size.CardHolderRecords)),
                        MiB(pass.PeakKiB), RatioText(ratios.Replay).c_str(), RatioText(ratios.Select1).c_str());
            if (!pass.Error.empty()) met = false;
            for (TTraceSegment which : {TTraceSegment::Pass, TTraceSegment::Hrm, TTraceSegment::CardHolders}) {
                const double ratio = RatiosOf(pass, which).Replay;
                const char* name = which == TTraceSegment::Pass ? "the pass" : which == TTraceSegment::Hrm ? "the HRM import" : "the card-holder import";
                if (ratio == 0) {
                    std::printf("    goal missed: %s has no replay to compare with\n", name);
                    met = false;
                } else if (ratio > 1.10) {
                    std::printf("    goal missed: %s took %.2f x its replay (1.10 allowed)\n", name, ratio);
                    met = false;
                }
            }
            if (p == 0) {
                const double floor = RatiosOf(pass, TTraceSegment::CardHolders).Select1;
                if (floor > 1.3) {
                    std::printf("    goal missed: the card-holder import took %.2f x its select-1 floor (1.3 allowed)\n",
                                floor);
                    met = false;
                }
            }
            if (p == 1) {
                const double hrm = Per(static_cast<double>(pass.Hrm.RoundTrips), employees);
                const double whole = Per(static_cast<double>(pass.Pass.RoundTrips), employees);
                if (hrm > 2.9 || whole > 6.8) {
                    std::printf("    goal missed: %.2f round trips per employee in the HRM import (2.9 allowed), %.2f "
                                "in the pass (6.8 allowed)\n",
                                hrm, whole);
                    met = false;
                }
            }
            const double growthMiB = MiB(pass.PeakKiB - pass.RssBeforeKiB);
            if (growthMiB > size.FeedMiB + 16) {
                std::printf("    goal missed: the pass took %.1f MiB beyond its start, more than the feed's %.1f MiB + 16\n",
                            growthMiB, size.FeedMiB);
                met = false;
            }
            if (&size != &sizes.front() && p < sizes.front().Passes.size()) {
                const TSizeResult& base = sizes.front();
                const double allowed = 5.5 * static_cast<double>(size.Employees) / (5.0 * static_cast<double>(base.Employees));
                const double growth = pass.Pass.Seconds / base.Passes[p].Pass.Seconds;
                std::printf("    %.2f x the time of the %zu run's pass %zu for %.1f x the employees (%.2f x allowed)\n", growth,
                            base.Employees, p + 1, static_cast<double>(size.Employees) / static_cast<double>(base.Employees),
                            allowed);
                if (growth > allowed) met = false;
            }
        }
    }
    std::printf("%s\n", met ? "every goal met" : "GOALS MISSED (see above)");
    return met;
}

}  // namespace keyrix::bench
