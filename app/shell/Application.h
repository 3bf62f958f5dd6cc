#pragma once

#include <ostream>

namespace qarn {

class LaunchOptions;

// Runs qarn: the window where there is a display, the text list with --text.
class Application {
public:
    static constexpr int kExitUsage = 2;         // bad command line
    static constexpr int kExitNoDisplay = 1;     // window asked for, but nothing to show it on

    // The whole program; answers the process's exit status.
    static int main(int argc, char** argv);

    // Whether a window can be shown, from DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM (null for
    // unset). A platform plugin other than xcb or wayland (offscreen, vnc, ...) needs no display.
    static bool displayAvailable(const char* display, const char* waylandDisplay, const char* qpaPlatform);

    // The text mode: prints the list on out once per tick, until options.ticks ticks (forever
    // for 0). Uses no GUI at all.
    static int runText(const LaunchOptions& options, std::ostream& out);

    // The window, until it is closed or options.ticks ticks have been shown.
    static int runWindow(int argc, char** argv, const LaunchOptions& options);
};

}  // namespace qarn
