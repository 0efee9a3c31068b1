#include "bench/BenchOptions.h"

#include "tools/ToolOptions.h"

#include <cstdint>

namespace keyrix::bench {

const char* const Usage =
    "Usage: keyrix-bench [--employees N] [--seed S] [--leavers PERCENT] [--no-faults]\n"
    "                    [--db-folder DIR] [--schema FILE] [--page-buffers PAGES]\n"
    "                    [--stale-statistics | --fresh] [--round-trips] [--no-goals]\n"
    "                    [--keep] [--verbose]\n"
    "Times two passes of the HRM and card-holder imports over a feed of N employees (default\n"
    "20000) and their card-holder file against a fresh database on the local Firebird server\n"
    "(KEYRIX_TEST_FB_* or the package's SYSDBA password), made in DIR (default\n"
    "/var/lib/keyrix-bench) from FILE (default the tests' schema). Each pass is compared with\n"
    "the replay of its client calls on a second database made the same way, and with\n"
    "\"select 1\" run as often. N above 20000 also runs 20000, for the growth. --no-faults\n"
    "leaves out the card-holder file's few faults (missing employees, invalid cards, a\n"
    "second card-holder id). --round-trips attributes the round trips to the kinds of call\n"
    "(slower: not for timing). --page-buffers: each database's page cache (default 32768;\n"
    "0 keeps the server's default). Before each pass the index statistics are recomputed,\n"
    "as a database in service has them; --stale-statistics leaves them as the schema steps\n"
    "made them, --fresh does so before the first pass only (a new installation's first\n"
    "synchronisation). --no-goals: exit code 0 also when a goal is missed. --keep\n"
    "leaves the databases and the work folder; --verbose shows the imports' progress lines.\n"
    "Exit code: 0 all went through and every goal was met, 1 a pass, a replay or the set-up\n"
    "failed, 2 a bad command line, 3 a goal was missed.\n";

TBenchOptions ParseBenchOptions(int argc, char** argv) {
    TBenchOptions options;
    std::size_t employees = 20'000;
    demo::TToolOptions arguments(argc, argv, Usage);
    while (arguments.More()) {
        if (arguments.Is("--employees"))
            employees = static_cast<std::size_t>(arguments.Number(1, 10'000'000));
        else if (arguments.Is("--seed"))
            options.Feed.Seed = arguments.Number(0, UINT64_MAX);
        else if (arguments.Is("--leavers"))
            options.Feed.LeaverPercent = static_cast<unsigned>(arguments.Number(0, 100));
        else if (arguments.Is("--no-faults"))
            options.CardHolderFaults = false;
        else if (arguments.Is("--db-folder"))
            options.DatabaseFolder = arguments.Text();
        else if (arguments.Is("--schema"))
            options.Schema = arguments.Text();
        else if (arguments.Is("--keep"))
            options.Keep = true;
        else if (arguments.Is("--verbose"))
            options.Verbose = true;
        else if (arguments.Is("--round-trips"))
            options.AttributeRoundTrips = true;
        else if (arguments.Is("--page-buffers"))
            options.PageBuffers = static_cast<int>(arguments.Number(0, 1'000'000));
        else if (arguments.Is("--stale-statistics"))
            options.RefreshStatistics = false;
        else if (arguments.Is("--fresh"))
            options.FreshFirstPass = true;
        else if (arguments.Is("--no-goals"))
            options.CheckGoals = false;
        else
            arguments.Unknown();
    }
    // A size above the base is measured beside the base, for the growth.
    if (employees > BaseEmployees) options.Sizes.push_back(BaseEmployees);
    options.Sizes.push_back(employees);
    return options;
}

}  // namespace keyrix::bench
