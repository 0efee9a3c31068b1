#include "common/ScopeGuard.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

using namespace keyrix;

TEST(ScopeGuard, RunsOnceOnEveryPathOutUnlessDismissed) {
    struct TCase {
        const char* Name;
        bool Throw, Dismiss;
        int Expected;
    };
    const TCase cases[] = {
        {"normal end", false, false, 1},
        {"exception", true, false, 1},
        {"dismissed", false, true, 0},
        {"dismissed, then exception", true, true, 0},
    };
    for (const TCase& c : cases) {
        int runs = 0;
        try {
            TScopeGuard guard([&runs] { ++runs; });
            if (c.Dismiss) guard.Dismiss();
            if (c.Throw) throw std::runtime_error("out");
            EXPECT_EQ(runs, 0) << c.Name << ": ran before the end of the scope";
        } catch (const std::runtime_error&) {
        }
        EXPECT_EQ(runs, c.Expected) << c.Name;
    }
}
