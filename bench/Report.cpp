#include "bench/Report.h"

#include <cstdio>

namespace keyrix::bench {

namespace {

void ReportSegment(const char* name, const TPassResult& pass, TTraceSegment which, double records, const char* units) {
    const TSegmentResult& segment = pass.Of(which);
    if (!segment.Ran) {
        std::printf("  %s: did not run\n", name);
        return;
    }
    const TRatios ratios = RatiosOf(pass, which);
    std::printf("  %s%s: %.3f s, %.0f %s/s, %.2f round trips per record (%llu); %llu statements and %llu savepoints; "
                "replay floor %s, select-1 floor %s\n",
                name, segment.Failed ? " (failed)" : "", segment.Seconds, Per(records, segment.Seconds), units,
                Per(static_cast<double>(segment.RoundTrips), records), static_cast<unsigned long long>(segment.RoundTrips),
                static_cast<unsigned long long>(segment.Executions),
                static_cast<unsigned long long>(segment.Calls.Immediates()), RatioText(ratios.Replay).c_str(),
                RatioText(ratios.Select1).c_str());
    // What the program did between its calls into the client library.
    const double inClient = static_cast<double>(segment.Calls.ClientNanoseconds) / 1e9;
    std::printf("    in the client library %.3f s, in the program %.3f s (%.1f us per record)", inClient,
                segment.Seconds - inClient, Per((segment.Seconds - inClient) * 1e6, records));
    if (pass.Replay && pass.Replay->Of(which).Ran) {
        const TReplaySegment& replay = pass.Replay->Of(which);
        std::printf("; its replay: %.3f s, %.2f round trips per record (%llu)", replay.Seconds,
                    Per(static_cast<double>(replay.RoundTrips), records), static_cast<unsigned long long>(replay.RoundTrips));
    }
    std::printf("\n");
}

}  // namespace

TRatios RatiosOf(const TPassResult& pass, TTraceSegment which) {
    TRatios ratios;
    const TSegmentResult& segment = pass.Of(which);
    if (pass.Replay) {
        const TReplaySegment& replay = pass.Replay->Of(which);
        if (replay.Ran && replay.Seconds > 0) ratios.Replay = segment.Seconds / replay.Seconds;
    }
    const double all = static_cast<double>(pass.Pass.Calls.Statements());
    const double mine = static_cast<double>(segment.Calls.Statements());
    if (pass.FloorSeconds > 0 && mine > 0) ratios.Select1 = segment.Seconds / (pass.FloorSeconds * mine / all);
    return ratios;
}

std::string RatioText(double ratio) {
    char text[32];
    std::snprintf(text, sizeof text, ratio > 0 ? "%.2f x" : "-", ratio);
    return text;
}

void Report(const TPassResult& pass, std::size_t employees, std::size_t cardHolderRecords, bool attribute) {
    std::printf("\n%s\n", pass.Name.c_str());
    if (!pass.Error.empty()) std::printf("  FAILED after %.3f s: %s\n", pass.Pass.Seconds, pass.Error.c_str());
    const double records = static_cast<double>(employees);
    std::printf("  peak resident memory %.1f MiB, %.1f MiB more than before the pass%s\n", MiB(pass.PeakKiB),
                MiB(pass.PeakKiB - pass.RssBeforeKiB), pass.PeakOfPass ? "" : " [process peak: cannot reset VmHWM]");
    const TClientCalls& c = pass.Pass.Calls;
    std::printf("  client calls: %llu executions (%.2f per employee), %llu immediate texts, %llu prepares, %llu describes, "
                "%llu statement infos, %llu fetches, %llu frees, %llu commits, %llu rollbacks\n",
                static_cast<unsigned long long>(c.Executes()), Per(static_cast<double>(c.Executes()), records),
                static_cast<unsigned long long>(c.Immediates()), static_cast<unsigned long long>(c.Of(TCallKind::Prepare)),
                static_cast<unsigned long long>(c.Of(TCallKind::Describe) + c.Of(TCallKind::DescribeBind)),
                static_cast<unsigned long long>(c.Of(TCallKind::Info)), static_cast<unsigned long long>(c.Of(TCallKind::Fetch)),
                static_cast<unsigned long long>(c.Of(TCallKind::Free)), static_cast<unsigned long long>(c.Of(TCallKind::Commit)),
                static_cast<unsigned long long>(c.Of(TCallKind::Rollback)));
    if (attribute) {
        std::printf("  round trips per employee by call (timings include the measuring):");
        for (std::size_t i = 0; i < TClientCalls::Kinds; ++i)
            if (c.Trips[i] > 0)
                std::printf(" %s %.2f;", CallKindName(static_cast<TCallKind>(i)), Per(static_cast<double>(c.Trips[i]), records));
        std::printf("\n");
    }
    if (pass.Rows)
        std::printf("  rows (server's count): %lld inserted, %lld updated, %lld deleted; %lld read by index, "
                    "%lld read in table order\n",
                    static_cast<long long>(pass.Rows->Inserted), static_cast<long long>(pass.Rows->Updated),
                    static_cast<long long>(pass.Rows->Deleted), static_cast<long long>(pass.Rows->IndexReads),
                    static_cast<long long>(pass.Rows->TableReads));
    ReportSegment("pass", pass, TTraceSegment::Pass, records, "employees");
    ReportSegment("HRM import (download included)", pass, TTraceSegment::Hrm, records, "employees");
    ReportSegment("card-holder import", pass, TTraceSegment::CardHolders, static_cast<double>(cardHolderRecords), "records");
    if (!pass.ReplayError.empty()) std::printf("  REPLAY FAILED: %s\n", pass.ReplayError.c_str());
}

}  // namespace keyrix::bench
