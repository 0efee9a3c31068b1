// keyrix-demo-feed: writes a made-up HRM feed of N employees to a file.
#include "tools/DemoFeed.h"
#include "tools/ToolOptions.h"

#include <cstdio>
#include <fstream>
#include <string>

namespace {

const char* const Usage =
    "Usage: keyrix-demo-feed --output FILE [--employees N] [--seed S] [--leavers PERCENT]\n"
    "Writes an HRM feed (ArrayOfBrakonData) of N employees (default 300) to FILE. The same\n"
    "seed (default 1) gives the same file; PERCENT of them (default 8) have left.\n";

}  // namespace

int main(int argc, char** argv) {
    using namespace keyrix::demo;
    TFeedOptions options;
    std::string output;
    try {
        TToolOptions arguments(argc, argv, Usage);
        while (arguments.More()) {
            if (arguments.Is("--output"))
                output = arguments.Text();
            else if (arguments.Is("--employees"))
                options.Employees = static_cast<std::size_t>(arguments.Number(0, 10'000'000));
            else if (arguments.Is("--seed"))
                options.Seed = arguments.Number(0, UINT64_MAX);
            else if (arguments.Is("--leavers"))
                options.LeaverPercent = static_cast<unsigned>(arguments.Number(0, 100));
            else
                arguments.Unknown();
        }
        if (output.empty()) throw TUsageError("--output is required");
    } catch (const TUsageError& error) {
        std::fprintf(stderr, "keyrix-demo-feed: %s\n%s", error.what(), Usage);
        return 2;
    }

    // Written beside the target and renamed over it, so a reader never sees half a feed.
    const std::string temporary = output + ".tmp";
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    const TFeedSummary summary = WriteFeed(out, options);
    out.close();
    if (!out || std::rename(temporary.c_str(), output.c_str()) != 0) {
        std::perror(("keyrix-demo-feed: cannot write " + output).c_str());
        std::remove(temporary.c_str());
        return 1;
    }
    std::printf("%s: %zu employees (%zu leavers, %zu names with a digit, %zu without a company) "
                "of %zu companies at %zu sites in %zu runs\n",
                output.c_str(), summary.Employees, summary.Leavers, summary.NamesWithDigit, summary.WithoutCompany,
                summary.Companies, summary.Sites, summary.Runs);
    return 0;
}
