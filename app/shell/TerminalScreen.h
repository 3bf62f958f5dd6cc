#pragma once

#include "shell/TextCollectionView.h"

namespace qarn {

// The terminal while the text mode redraws the list in place, as top does: the alternate screen,
// no cursor and no echo of typed keys; what is written to standard error on the same terminal
// meanwhile is held back and shown after. Put back by the destructor, and also at exit() and on
// a fatal signal, so that the user's shell never stays on a blank screen without a cursor. One
// at a time.
class TerminalScreen {
public:
    static constexpr const char* kEnter = "\x1b[?1049h\x1b[?25l";
    static constexpr const char* kLeave = "\x1b[?25h\x1b[?1049l";

    static bool isTerminal(int fd);

    // Switches the terminal on fd; anything written to fd through a buffer must be flushed
    // before the destructor runs.
    explicit TerminalScreen(int fd);
    TerminalScreen(const TerminalScreen&) = delete;
    TerminalScreen& operator=(const TerminalScreen&) = delete;
    ~TerminalScreen();

    // Asked again for each redraw, so that a resized terminal is filled at the next tick.
    TerminalSize size() const;

private:
    int _fd;
};

}  // namespace qarn
