// keyrix-demo-feed: writes a made-up HRM feed of N employees to a file, and the card-holder
// file of the same employees.
#include "tools/DemoCardHolders.h"
#include "tools/DemoFeed.h"
#include "tools/ToolOptions.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

namespace {

const char* const Usage =
    "Usage: keyrix-demo-feed [--output FILE] [--card-holders FILE] [--employees N] [--seed S]\n"
    "                        [--leavers PERCENT]\n"
    "Writes an HRM feed (ArrayOfBrakonData) of N employees (default 300) to the --output FILE,\n"
    "and the card-holder file (Employees) of the same employees to the --card-holders FILE;\n"
    "one of them at least. The same seed (default 1) gives the same files; PERCENT of the\n"
    "employees (default 8) have left. Prints one summary line per file.\n";

// Written beside the target and renamed over it, so a reader never sees half a file.
bool WriteAtomically(const std::string& path, const std::function<void(std::ostream&)>& write) {
    const std::string temporary = path + ".tmp";
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    write(out);
    out.close();
    if (!out || std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::perror(("keyrix-demo-feed: cannot write " + path).c_str());
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace keyrix::demo;
    TFeedOptions options;
    std::string output, cardHolders;
    try {
        TToolOptions arguments(argc, argv, Usage);
        while (arguments.More()) {
            if (arguments.Is("--output"))
                output = arguments.Text();
            else if (arguments.Is("--card-holders"))
                cardHolders = arguments.Text();
            else if (arguments.Is("--employees"))
                options.Employees = static_cast<std::size_t>(arguments.Number(0, 10'000'000));
            else if (arguments.Is("--seed"))
                options.Seed = arguments.Number(0, UINT64_MAX);
            else if (arguments.Is("--leavers"))
                options.LeaverPercent = static_cast<unsigned>(arguments.Number(0, 100));
            else
                arguments.Unknown();
        }
        if (output.empty() && cardHolders.empty()) throw TUsageError("--output or --card-holders is required");
    } catch (const TUsageError& error) {
        std::fprintf(stderr, "keyrix-demo-feed: %s\n%s", error.what(), Usage);
        return 2;
    }

    TFeedSummary feed;
    std::vector<TFeedEmployee> employees;
    if (!output.empty()) {
        if (!WriteAtomically(output, [&](std::ostream& out) { feed = WriteFeed(out, options, &employees); }))
            return 1;
        std::printf("%s: %zu employees (%zu leavers, %zu names with a digit, %zu without a company) "
                    "of %zu companies at %zu sites in %zu runs\n",
                    output.c_str(), feed.Employees, feed.Leavers, feed.NamesWithDigit, feed.WithoutCompany,
                    feed.Companies, feed.Sites, feed.Runs);
    } else {
        // The employees only: the same generator, its document thrown away.
        std::ostream discard(nullptr);
        WriteFeed(discard, options, &employees);
    }

    if (!cardHolders.empty()) {
        TCardHolderSummary summary;
        if (!WriteAtomically(cardHolders, [&](std::ostream& out) {
                summary = WriteCardHolders(out, employees, TCardHolderOptions{options.Seed});
            }))
            return 1;
        std::printf("%s: %zu card-holder records for %zu employees (%zu missing): %zu with a user, "
                    "%zu without a user, %zu second card-holder ids, %zu invalid card numbers, "
                    "%zu invalid site codes; %zu with PIN 65535, %zu with site code 0\n",
                    cardHolders.c_str(), summary.Records, summary.FeedEmployees, summary.Missing, summary.WithUser,
                    summary.WithoutUser, summary.SecondIds, summary.InvalidCardNumbers, summary.InvalidSiteCodes,
                    summary.Pin65535, summary.SiteCode0);
    }
    return 0;
}
