#pragma once
// The built vennixd as a child process on a socket of its own, for tests and benchmarks that
// talk to the real daemon over the real socket; stopped with SIGTERM when the object goes.

#include "tests/support/Spawn.h"
#include "tests/support/TemporaryDirectory.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <sys/stat.h>
#include <thread>

namespace vennix::testing {

class VennixdChild {
public:
    // Starts `vennixd --socket <dir>/vennix.sock <arguments...>` with its standard error in
    // <dir>/vennixd.log and waits until it says it serves. When that fails, running() is false
    // and problem() says why.
    explicit VennixdChild(std::vector<std::string> arguments = {"--simulate"}, std::string program = VENNIXD_PATH)
    {
        // Clients running as other users reach the socket through the directory.
        chmod(fDirectory.path().c_str(), 0755);
        arguments.insert(arguments.begin(), {program, "--socket", fSocketPath});
        int failure = 0;
        fPid = spawnProgram(arguments, fLogPath, Captured::StandardError, &failure);
        if (fPid < 0) {
            fProblem = "cannot start " + program + ": " + std::strerror(failure);
            return;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (log().find("vennixd/ serving ") == std::string::npos) {
            const bool exited = waitpid(fPid, nullptr, WNOHANG) == fPid;
            if (exited || std::chrono::steady_clock::now() > deadline) {
                fProblem = std::string(exited ? "vennixd exited early: " : "vennixd did not start in time: ") + log();
                fPid = exited ? -1 : fPid;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~VennixdChild() { stop(); }
    VennixdChild(const VennixdChild&) = delete;
    VennixdChild& operator=(const VennixdChild&) = delete;

    bool running() const { return fPid > 0; }
    const std::string& problem() const { return fProblem; }
    const std::string& socketPath() const { return fSocketPath; }
    const std::string& directory() const { return fDirectory.path(); }
    pid_t pid() const { return fPid; }
    std::string log() const { return readFile(fLogPath); }

    // Sends signal, then the exit status as waitpid gives it (-1 when not running).
    int stop(int signal = SIGTERM)
    {
        int status = -1;
        if (fPid > 0 && kill(fPid, signal) == 0)
            waitpid(fPid, &status, 0);
        fPid = -1;
        return status;
    }

private:
    TemporaryDirectory fDirectory;
    std::string fSocketPath = fDirectory / "vennix.sock";
    std::string fLogPath = fDirectory / "vennixd.log";
    pid_t fPid = -1;
    std::string fProblem;
};

} // namespace vennix::testing
