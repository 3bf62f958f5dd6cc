// --interval on the command line: what it takes and what it refuses with which words.

#include <gtest/gtest.h>

#include "shell/LaunchOptions.h"

namespace qarn {
namespace {

using Arguments = std::vector<std::string>;

TEST(LaunchOptionsTest, IntervalTakesSecondsWithAFractionWithinItsRange) {
    const struct {
        Arguments arguments;
        double seconds;
    } cases[] = {
        {{}, 0.1},
        {{"--interval", "0.5"}, 0.5},
        {{"--interval=0.05"}, 0.05},
        {{"--interval", "3600"}, 3600},
        {{"--interval", ".25", "--text"}, 0.25},
        {{"--interval", "2", "--interval", "1.5"}, 1.5},
        {{"--ticks", "3", "--interval", "1", "--dump-window"}, 1},
    };
    for (const auto& c : cases) {
        LaunchOptions options;
        std::string error;
        EXPECT_TRUE(LaunchOptions::parse(c.arguments, options, error)) << error;
        EXPECT_DOUBLE_EQ(options.interval.count(), c.seconds) << (c.arguments.empty() ? "" : c.arguments.back());
    }
}

TEST(LaunchOptionsTest, IntervalRefusesWhatIsNoNumberOfSecondsInItsRange) {
    const struct {
        Arguments arguments;
        std::string error;
    } cases[] = {
        {{"--interval"}, "--interval needs a value"},
        {{"--text", "--interval="}, "--interval needs a number of seconds from 0.05 to 3600, not ''"},
        {{"--interval", "0.049"}, "--interval needs a number of seconds from 0.05 to 3600, not '0.049'"},
        {{"--interval", "0"}, "--interval needs a number of seconds from 0.05 to 3600, not '0'"},
        {{"--interval", "-1"}, "--interval needs a number of seconds from 0.05 to 3600, not '-1'"},
        {{"--interval", "3600.5"}, "--interval needs a number of seconds from 0.05 to 3600, not '3600.5'"},
        {{"--interval", "1e-1"}, "--interval needs a number of seconds from 0.05 to 3600, not '1e-1'"},
        {{"--interval", "0,5"}, "--interval needs a number of seconds from 0.05 to 3600, not '0,5'"},
        {{"--interval", " 1"}, "--interval needs a number of seconds from 0.05 to 3600, not ' 1'"},
        {{"--interval", "1s"}, "--interval needs a number of seconds from 0.05 to 3600, not '1s'"},
        {{"--interval", "nan"}, "--interval needs a number of seconds from 0.05 to 3600, not 'nan'"},
        {{"--interval", "inf"}, "--interval needs a number of seconds from 0.05 to 3600, not 'inf'"},
    };
    for (const auto& c : cases) {
        LaunchOptions options;
        std::string error;
        EXPECT_FALSE(LaunchOptions::parse(c.arguments, options, error)) << c.arguments.back();
        EXPECT_EQ(error, c.error);
    }
}

}  // namespace
}  // namespace qarn
