// The remote model both stand-in remotes share: the scenario language's refusals.
#include <gtest/gtest.h>

#include "kernel_safe_model/scenario.h"

namespace {

TEST(ScenarioTest, RejectsBadFilesWithTheLineAndTheReason) {
    const struct {
        const char* text;
        const char* says;
    } cases[] = {
        {"ir 1 2 3\n", "line 1: 'ir' takes 8 values, not 3"},
        {"# fine\njump 3\n", "line 2: unknown command 'jump'"},
        {"ir 1 2 3 4 5 6 7 1024\n", "line 1: '1024' is no value for 'ir'"},
        {"buttons 00 zz\n", "line 1: 'zz' is no value for 'buttons'"},
        {"500 send\n100 silent\n", "line 2: steps must not go back in time"},
        {"rate 0\n", "line 1: the rate must be at least 1"},
        {"300\n", "line 1: a time with no command"},
    };
    for (const auto& bad : cases) {
        Scenario scenario;
        char error[128] = "";
        EXPECT_FALSE(ParseScenario(bad.text, scenario, error, sizeof error)) << bad.text;
        EXPECT_STREQ(error, bad.says);
    }
}

} // namespace
