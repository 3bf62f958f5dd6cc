#pragma once
// Runs the built vennixd as a child process on a socket of its own, for tests and benchmarks
// that talk to the real daemon over the real socket. The daemon is stopped with SIGTERM when
// the object goes.

#include "tests/support/Spawn.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vennix::testing {

class VennixdChild {
public:
    // Starts `vennixd --socket <dir>/vennix.sock <arguments...>` with its standard error in
    // <dir>/vennixd.log and waits until the socket accepts connections. When that fails,
    // running() is false and problem() says why.
    explicit VennixdChild(std::vector<std::string> arguments = {"--simulate"}, std::string program = VENNIXD_PATH)
    {
        char pattern[] = "/tmp/vennixd-test-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made == nullptr) {
            fProblem = std::string("mkdtemp: ") + std::strerror(errno);
            return;
        }
        fDirectory = made;
        fSocketPath = fDirectory + "/vennix.sock";
        fLogPath = fDirectory + "/vennixd.log";

        std::vector<std::string> argv{program, "--socket", fSocketPath};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        int failure = 0;
        fPid = spawnProgram(argv, fLogPath, Captured::StandardError, &failure);
        if (fPid < 0) {
            fProblem = "cannot start " + program + ": " + std::strerror(failure);
            return;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!accepts()) {
            int status = 0;
            if (waitpid(fPid, &status, WNOHANG) == fPid) {
                fProblem = "vennixd exited early: " + log();
                fPid = -1;
                return;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                fProblem = "vennixd did not listen on " + fSocketPath + ": " + log();
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    ~VennixdChild()
    {
        stop();
        std::error_code ignored;
        if (!fDirectory.empty())
            std::filesystem::remove_all(fDirectory, ignored);
    }

    VennixdChild(const VennixdChild&) = delete;
    VennixdChild& operator=(const VennixdChild&) = delete;

    bool running() const { return fPid > 0; }
    const std::string& problem() const { return fProblem; }
    const std::string& socketPath() const { return fSocketPath; }
    const std::string& directory() const { return fDirectory; }
    pid_t pid() const { return fPid; }

    // SIGTERM, then the exit status as waitpid gives it (-1 when not running).
    int stop(int signal = SIGTERM)
    {
        if (fPid <= 0)
            return -1;
        kill(fPid, signal);
        int status = 0;
        waitpid(fPid, &status, 0);
        fPid = -1;
        return status;
    }

    std::string log() const
    {
        std::string text;
        if (FILE* file = std::fopen(fLogPath.c_str(), "r")) {
            char buffer[4096];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
                text.append(buffer, n);
            std::fclose(file);
        }
        return text;
    }

private:
    bool accepts() const
    {
        const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return false;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", fSocketPath.c_str());
        const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        return connected;
    }

    std::string fDirectory;
    std::string fSocketPath;
    std::string fLogPath;
    pid_t fPid = -1;
    std::string fProblem;
};

} // namespace vennix::testing
