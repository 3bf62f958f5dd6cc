// The real qarn --text on a pseudo-terminal: the list redrawn in place on the alternate screen,
// and the terminal given back as it was however the program ends.

#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>

namespace qarn {
namespace {

constexpr const char* kEnter = "\x1b[?1049h\x1b[?25l";
constexpr const char* kLeave = "\x1b[?25h\x1b[?1049l";
constexpr const char* kHome = "\x1b[H";
constexpr const char* kClearBelow = "\x1b[J";

struct Finished {
    std::string output;   // everything the terminal received, standard error included
    int status = -1;      // as waitpid gives it
    double seconds = 0;
};

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

// Runs qarn --simulate --text with extra arguments on a terminal of the given size. With a
// signal, sends it once two lists have been drawn. A run that hangs fails after a minute.
Finished runOnTerminal(std::vector<std::string> arguments, unsigned short rows, int signal = 0) {
    static const std::string config = (std::filesystem::temp_directory_path() /
                                       ("qarn-terminal-test-" + std::to_string(::getpid()))).string();
    arguments.insert(arguments.begin(), {QARN_PATH, "--simulate", "--text"});
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    winsize size{};
    size.ws_row = rows;
    size.ws_col = 100;
    int master = -1;
    const auto started = std::chrono::steady_clock::now();
    const pid_t child = ::forkpty(&master, nullptr, nullptr, &size);
    if (child == 0) {
        ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    Finished run;
    if (child < 0) {
        ADD_FAILURE() << "forkpty failed";
        return run;
    }
    const auto deadline = started + std::chrono::seconds(60);
    bool sent = signal == 0;
    for (;;) {
        pollfd ready{master, POLLIN, 0};
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "qarn did not end; output so far:\n" << run.output;
            ::kill(child, SIGKILL);
            break;
        }
        if (::poll(&ready, 1, 100) <= 0)
            continue;
        char buffer[4096];
        const ssize_t got = ::read(master, buffer, sizeof buffer);
        if (got <= 0 && errno != EINTR)
            break;   // EIO once the child has closed the terminal
        if (got > 0)
            run.output.append(buffer, static_cast<std::size_t>(got));
        if (!sent && occurrences(run.output, kHome) >= 2)
            sent = ::kill(child, signal) == 0;
    }
    ::waitpid(child, &run.status, 0);
    std::filesystem::remove_all(config);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ::close(master);
    return run;
}

// The lists drawn, each from its home sequence to its clearing of the rest of the screen, as
// the lines the terminal shows.
std::vector<std::vector<std::string>> frames(const std::string& output) {
    std::vector<std::vector<std::string>> frames;
    for (auto at = output.find(kHome); at != std::string::npos; at = output.find(kHome, at + 1)) {
        const auto begin = at + std::string(kHome).size();
        const auto end = output.find(kClearBelow, begin);
        if (end == std::string::npos)
            break;
        std::vector<std::string> lines;
        std::string text = output.substr(begin, end - begin);
        for (std::size_t start = 0; start <= text.size();) {
            auto stop = text.find("\r\n", start);
            if (stop == std::string::npos)
                stop = text.size();
            lines.push_back(text.substr(start, stop - start));
            start = stop + 2;
        }
        frames.push_back(std::move(lines));
    }
    return frames;
}

bool exitedCleanly(int status) {
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(QarnOnTerminalTest, RedrawsTheListInPlaceAndGivesTheTerminalBack) {
    const Finished run = runOnTerminal({"--ticks", "3"}, 60);
    EXPECT_TRUE(exitedCleanly(run.status)) << run.status;
    ASSERT_EQ(occurrences(run.output, kEnter), 1u) << run.output;
    ASSERT_EQ(occurrences(run.output, kLeave), 1u) << run.output;
    EXPECT_LT(run.output.find(kEnter), run.output.find(kHome));
    EXPECT_GT(run.output.find(kLeave), run.output.rfind(kClearBelow)) << "left after the last list";
    const auto drawn = frames(run.output);
    ASSERT_EQ(drawn.size(), 3u) << run.output;
    for (const auto& lines : drawn) {
        EXPECT_EQ(lines.front(), "Simulated processor: these are not this machine's numbers.\x1b[K");
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "Hallo\x1b[K"), 1);
        EXPECT_EQ(std::adjacent_find(lines.begin(), lines.end(),
                                     [](const auto& a, const auto& b) { return a == b && a != "\x1b[K"; }),
                  lines.end());
        for (const std::string& line : lines)
            EXPECT_TRUE(line.empty() || line.ends_with("\x1b[K")) << line;
    }
}

TEST(QarnOnTerminalTest, CutsTheListToTheTerminalsHeight) {
    const Finished run = runOnTerminal({"--ticks", "2"}, 8);
    EXPECT_TRUE(exitedCleanly(run.status)) << run.status;
    const auto drawn = frames(run.output);
    ASSERT_EQ(drawn.size(), 2u) << run.output;
    for (const auto& lines : drawn) {
        EXPECT_EQ(lines.size(), 8u);
        EXPECT_TRUE(lines.back().starts_with("… ") && lines.back().ends_with(" more rows\x1b[K")) << lines.back();
    }
}

TEST(QarnOnTerminalTest, EndsCleanlyOnCtrlCTerminateAndHangUp) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        const Finished run = runOnTerminal({}, 40, signal);
        EXPECT_TRUE(exitedCleanly(run.status)) << strsignal(signal) << ": status " << run.status;
        EXPECT_GE(frames(run.output).size(), 2u);
        EXPECT_EQ(occurrences(run.output, kLeave), 1u) << strsignal(signal);
        EXPECT_GT(run.output.rfind(kLeave), run.output.rfind(kClearBelow)) << strsignal(signal);
    }
}

TEST(QarnOnTerminalTest, GivesTheTerminalBackWhenItDiesOfAFatalSignal) {
    const Finished run = runOnTerminal({}, 40, SIGABRT);
    EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGABRT) << run.status;
    EXPECT_EQ(occurrences(run.output, kLeave), 1u);
    EXPECT_GT(run.output.rfind(kLeave), run.output.rfind(kClearBelow));
}

// Three ticks are two waits apart, and the tick thread ends after the third wait.
TEST(QarnOnTerminalTest, IntervalSlowsTheTicks) {
    const Finished run = runOnTerminal({"--ticks", "3", "--interval", "0.5"}, 40);
    EXPECT_TRUE(exitedCleanly(run.status)) << run.status;
    EXPECT_EQ(frames(run.output).size(), 3u);
    EXPECT_GE(run.seconds, 1.5);
}

}  // namespace
}  // namespace qarn
