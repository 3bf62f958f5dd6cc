#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qarn {

// qarn's command line.
class LaunchOptions {
public:
    // Largest accepted --ticks value, about three years of ticks.
    static constexpr std::int64_t kMaxTicks = 1'000'000'000;
    // The --interval range, in seconds: faster floods the terminal, slower than an hour is no monitor.
    static constexpr double kMinInterval = 0.05;
    static constexpr double kMaxInterval = 3600;

    bool text = false;          // --text: print the list on standard output instead of a window
    std::int64_t ticks = 0;     // --ticks N: stop after N ticks; 0 runs until closed
    bool dumpWindow = false;    // --dump-window: after the last tick, describe the window's rows
    std::string grabPath;       // --grab FILE: after the last tick, save a picture of the window
    bool simulate = false;      // --simulate: the CPU service runs in-process on the simulated processor
    bool help = false;          // --help, -h
    bool preferences = false;   // --preferences: open the preferences window at start
    std::chrono::duration<double> interval{0.1};   // --interval S: the tick period, in the window and --text

    // Parses the arguments after the program name. False, with a message in error, for an unknown
    // option, a missing or bad value, window options together with --text, or window options
    // without --ticks.
    static bool parse(const std::vector<std::string>& arguments, LaunchOptions& options, std::string& error);

    static const char* usage();
};

}  // namespace qarn
