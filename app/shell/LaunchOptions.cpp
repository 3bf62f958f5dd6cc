#include "shell/LaunchOptions.h"

#include <charconv>
#include <cstdio>

namespace qarn {

namespace {

bool parseTicks(const std::string& text, std::int64_t& ticks, std::string& error) {
    std::int64_t value = 0;
    const char* begin = text.data();
    const char* end = begin + text.size();
    const auto [stop, status] = std::from_chars(begin, end, value);
    if (text.empty() || status != std::errc() || stop != end || value < 1 || value > LaunchOptions::kMaxTicks) {
        error = "--ticks needs a whole number from 1 to " + std::to_string(LaunchOptions::kMaxTicks) +
                ", not '" + text + "'";
        return false;
    }
    ticks = value;
    return true;
}

bool parseInterval(const std::string& text, std::chrono::duration<double>& interval, std::string& error) {
    double value = 0;
    const char* begin = text.data();
    const char* end = begin + text.size();
    const auto [stop, status] = std::from_chars(begin, end, value, std::chars_format::fixed);
    // Written so that NaN fails too.
    if (text.empty() || status != std::errc() || stop != end ||
        !(value >= LaunchOptions::kMinInterval && value <= LaunchOptions::kMaxInterval)) {
        char range[64];
        std::snprintf(range, sizeof range, "from %g to %g", LaunchOptions::kMinInterval, LaunchOptions::kMaxInterval);
        error = "--interval needs a number of seconds " + std::string(range) + ", not '" + text + "'";
        return false;
    }
    interval = std::chrono::duration<double>(value);
    return true;
}

}  // namespace

bool LaunchOptions::parse(const std::vector<std::string>& arguments, LaunchOptions& options, std::string& error) {
    options = LaunchOptions();
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        // --name=value and --name value are the same.
        std::string name = argument;
        std::string value;
        bool hasValue = false;
        if (const auto equals = argument.find('='); argument.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
            hasValue = true;
        }
        const auto takeValue = [&]() {
            if (hasValue)
                return true;
            if (i + 1 >= arguments.size()) {
                error = name + " needs a value";
                return false;
            }
            value = arguments[++i];
            return true;
        };
        const auto noValue = [&]() {
            if (hasValue)
                error = name + " takes no value";
            return !hasValue;
        };

        if (name == "--text") {
            if (!noValue())
                return false;
            options.text = true;
        } else if (name == "--simulate") {
            if (!noValue())
                return false;
            options.simulate = true;
        } else if (name == "--dump-window") {
            if (!noValue())
                return false;
            options.dumpWindow = true;
        } else if (name == "--preferences") {
            if (!noValue())
                return false;
            options.preferences = true;
        } else if (name == "--help" || name == "-h") {
            if (!noValue())
                return false;
            options.help = true;
        } else if (name == "--ticks") {
            if (!takeValue() || !parseTicks(value, options.ticks, error))
                return false;
        } else if (name == "--interval") {
            if (!takeValue() || !parseInterval(value, options.interval, error))
                return false;
        } else if (name == "--grab") {
            if (!takeValue())
                return false;
            if (value.empty()) {
                error = "--grab needs a file name";
                return false;
            }
            options.grabPath = value;
        } else {
            error = "unknown option '" + argument + "'";
            return false;
        }
    }
    if (options.text && (options.dumpWindow || !options.grabPath.empty() || options.preferences)) {
        error = "--dump-window, --grab and --preferences need the window; they do not go with --text";
        return false;
    }
    if ((options.dumpWindow || !options.grabPath.empty()) && options.ticks == 0) {
        error = "--dump-window and --grab act after the last tick; give --ticks N";
        return false;
    }
    return true;
}

const char* LaunchOptions::usage() {
    return "Usage: qarn [--simulate] [--text] [--ticks N] [--interval S] [--dump-window]\n"
           "            [--grab FILE] [--preferences]\n"
           "\n"
           "Shows the CPU monitor's list in a window, refreshed once per tick (ten times a\n"
           "second unless --interval says otherwise).\n"
           "\n"
           "  --simulate      show a simulated processor, served in this process (needs no\n"
           "                  vennixd and no root)\n"
           "  --text          print the list on standard output once per tick instead\n"
           "                  (needs no display); on a terminal it is redrawn in place\n"
           "                  (Ctrl-C ends it)\n"
           "  --ticks N       stop after N ticks\n"
           "  --interval S    seconds between ticks, from 0.05 to 3600 (default 0.1)\n"
           "  --dump-window   after the last tick, describe the window's rows on standard\n"
           "                  output (with --ticks)\n"
           "  --grab FILE     after the last tick, save a picture of the window as PNG\n"
           "                  (with --ticks; of the preferences window with --preferences)\n"
           "  --preferences   open the preferences window at start (also Ctrl+, or the\n"
           "                  list's context menu)\n"
           "  -h, --help      show this text\n"
           "\n"
           "In the window, F5 (or Ctrl+R) reloads the list and keeps the selected row.\n"
           "Without --simulate, qarn reads the CPU through vennixd at the socket that\n"
           "VENNIX_SOCKET names, else /run/vennix/vennix.sock.\n";
}

}  // namespace qarn
