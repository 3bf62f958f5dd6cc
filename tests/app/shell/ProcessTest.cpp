#include "platform/Process.h"

#include "TestFiles.h"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace qarn {
namespace {

using testing::TemporaryDirectory;

Process::Options capturing(std::size_t maxOutput = 1024 * 1024,
                           std::chrono::milliseconds timeout = std::chrono::milliseconds(0))
{
    Process::Options options;
    options.captureOutput = true;
    options.maxOutput = maxOutput;
    options.timeout = timeout;
    options.ownProcessGroup = true;
    return options;
}

// Runs a shell snippet; "$@" are the further arguments.
Process::Result shell(const std::string& script, const Process::Options& options,
                      std::vector<std::string> arguments = {})
{
    std::vector<std::string> argv{"/bin/sh", "-c", script, "sh"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return Process::run(argv, options);
}

TEST(ProcessTest, PassesArgumentsVerbatimWithoutAShell)
{
    const std::vector<std::string> arguments{
        "two words", "it's", "\"quoted\"", "$HOME", "`id`", "a;b|c&d", "", "new\nline", "*"};
    const Process::Result result = shell("printf '%s\\0' \"$@\"", capturing(), arguments);
    ASSERT_TRUE(result.succeeded());
    EXPECT_EQ(testing::splitAtNul(result.output), arguments);
}

TEST(ProcessTest, CapturesLargeAndBinaryOutputWhole)
{
    // More than a pipe holds, with NUL bytes in it.
    const Process::Result result =
        shell("head -c 300000 /dev/zero; printf 'end\\0'", capturing());
    ASSERT_TRUE(result.succeeded());
    ASSERT_EQ(result.output.size(), 300004u);
    EXPECT_EQ(result.output.substr(300000), std::string("end\0", 4));
    EXPECT_FALSE(result.outputTruncated);
}

TEST(ProcessTest, ReportsExitStatusAndSignal)
{
    const Process::Result exited = shell("exit 7", capturing());
    EXPECT_EQ(exited.ending, Process::Ending::Exited);
    EXPECT_EQ(exited.exitStatus, 7);
    EXPECT_FALSE(exited.succeeded());

    const Process::Result signalled = shell("kill -TERM $$", capturing());
    EXPECT_EQ(signalled.ending, Process::Ending::Signalled);
    EXPECT_EQ(signalled.signal, SIGTERM);
    EXPECT_FALSE(signalled.succeeded());

    // Found through PATH when the name has no slash.
    EXPECT_TRUE(Process::run({"true"}, Process::Options{}).succeeded());
}

TEST(ProcessTest, ReportsWhatCouldNotStart)
{
    TemporaryDirectory directory;
    testing::writeFile(directory / "not-executable", "#!/bin/sh\n", 0644);

    const Process::Result missing = Process::run({directory / "missing"}, capturing());
    EXPECT_EQ(missing.ending, Process::Ending::NotStarted);
    EXPECT_EQ(missing.startError, ENOENT);

    const Process::Result refused = Process::run({directory / "not-executable"}, capturing());
    EXPECT_EQ(refused.ending, Process::Ending::NotStarted);
    EXPECT_EQ(refused.startError, EACCES);

    EXPECT_EQ(Process::run({}, capturing()).startError, EINVAL);
    EXPECT_EQ(Process::run({""}, capturing()).startError, EINVAL);
}

TEST(ProcessTest, StopsReadingAtTheBoundAndTheWriterDoesNotHang)
{
    // Even with SIGPIPE ignored here, the program gets it with its default action and ends.
    const auto previous = std::signal(SIGPIPE, SIG_IGN);
    const Process::Result result = Process::run({"yes", "0123456789"}, capturing(1000));
    std::signal(SIGPIPE, previous);

    EXPECT_EQ(result.output.size(), 1000u);
    EXPECT_TRUE(result.outputTruncated);
    EXPECT_EQ(result.output.substr(0, 11), "0123456789\n");
    EXPECT_EQ(result.ending, Process::Ending::Signalled);
    EXPECT_EQ(result.signal, SIGPIPE);
}

TEST(ProcessTest, KillsAProgramThatRunsPastItsTimeWithWhatItStarted)
{
    TemporaryDirectory directory;
    // The program ends at once, but a child it left behind holds the output open.
    const Process::Result leftBehind = shell("sleep 1000 & echo $! > \"$1\"; echo early",
                                             capturing(1024, std::chrono::milliseconds(200)),
                                             {directory / "child"});
    EXPECT_EQ(leftBehind.ending, Process::Ending::TimedOut);
    EXPECT_EQ(leftBehind.output, "early\n");
    const pid_t child = testing::pidIn(directory / "child");
    ASSERT_GT(child, 0);
    EXPECT_TRUE(testing::endsSoon(child));

    // The program itself hangs, its output closed.
    const Process::Result hanging = shell("echo $$ > \"$1\"; exec sleep 1000 >&-",
                                          capturing(1024, std::chrono::milliseconds(200)),
                                          {directory / "self"});
    EXPECT_EQ(hanging.ending, Process::Ending::TimedOut);
    EXPECT_EQ(hanging.signal, SIGKILL);
    const pid_t self = testing::pidIn(directory / "self");
    ASSERT_GT(self, 0);
    EXPECT_FALSE(testing::isAlive(self)); // reaped

    // Not capturing: the time still counts.
    Process::Options plain;
    plain.timeout = std::chrono::milliseconds(200);
    EXPECT_EQ(Process::run({"sleep", "1000"}, plain).ending, Process::Ending::TimedOut);
}

TEST(ProcessTest, CapturesEvenWhenOurStandardInputAndOutputAreClosed)
{
    // The pipe then gets descriptors 0 and 1, its writing end the one it must be copied onto.
    fflush(stdout);
    const int savedInput = ::dup(STDIN_FILENO);
    const int savedOutput = ::dup(STDOUT_FILENO);
    ASSERT_GE(savedInput, 0);
    ASSERT_GE(savedOutput, 0);
    ::close(STDIN_FILENO);
    ::close(STDOUT_FILENO);
    const Process::Result result = shell("echo through", capturing());
    ::dup2(savedInput, STDIN_FILENO);
    ::dup2(savedOutput, STDOUT_FILENO);
    ::close(savedInput);
    ::close(savedOutput);

    ASSERT_TRUE(result.succeeded());
    EXPECT_EQ(result.output, "through\n");
}

} // namespace
} // namespace qarn
