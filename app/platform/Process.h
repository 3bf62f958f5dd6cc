#pragma once
// Runs a program and waits for it: started from an argument vector (no shell, so no quoting),
// its standard output optionally read into memory up to a bound, its life optionally bounded
// in time. No Qt.

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace qarn {

class Process {
public:
    struct Options {
        // Read the program's standard output into Result::output; otherwise it inherits ours.
        bool captureOutput = false;
        // Output beyond this is not kept: reading stops and the pipe is closed, so a program
        // that goes on writing gets SIGPIPE rather than blocking on a full pipe for ever.
        std::size_t maxOutput = 1024 * 1024;
        // How long the program may run, from the start to its exit; zero waits as long as it
        // takes. A program still running then is killed with SIGKILL, together with whatever
        // it started in its process group when ownProcessGroup is set.
        std::chrono::milliseconds timeout{0};
        // Start the program in a process group of its own. Not for programs that read the
        // terminal (a password prompt): a background group is stopped when it does.
        bool ownProcessGroup = false;
    };

    enum class Ending {
        Exited,         // exitStatus holds its exit status
        Signalled,      // ended by signal number `signal`
        TimedOut,       // ran past Options::timeout and was killed
        NotStarted,     // could not be started; startError holds the errno value
    };

    struct Result {
        Ending ending = Ending::NotStarted;
        int exitStatus = -1;
        int signal = 0;
        int startError = 0;
        std::string output;             // what was read of its standard output
        bool outputTruncated = false;   // it wrote more than Options::maxOutput

        bool succeeded() const { return ending == Ending::Exited && exitStatus == 0; }
    };

    // Runs arguments[0] with arguments as its argument vector, found through PATH when it has no
    // slash, in our environment, with standard input and standard error as ours. Blocks until it
    // has ended (or was killed). Never throws; an empty vector is NotStarted with EINVAL.
    static Result run(const std::vector<std::string>& arguments, const Options& options);
};

} // namespace qarn
