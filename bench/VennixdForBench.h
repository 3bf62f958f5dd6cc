#pragma once
// vennixd --simulate on a temporary socket, started by a benchmark and stopped when it ends.

#include "tests/support/Spawn.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <thread>

namespace vennix::bench {

class VennixdForBench {
public:
    VennixdForBench()
    {
        char pattern[] = "/tmp/vennixd-bench-XXXXXX";
        if (!mkdtemp(pattern))
            return;
        fDirectory = pattern;
        fSocket = fDirectory + "/vennix.sock";
        fPid = testing::spawnProgram({VENNIXD_PATH, "--simulate", "--socket", fSocket},
                                     fDirectory + "/vennixd.log", testing::Captured::StandardError);
        for (int i = 0; i < 2000 && fPid > 0 && !std::filesystem::exists(fSocket); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        // The socket file appears at bind; the services start right after.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~VennixdForBench()
    {
        if (fPid > 0) {
            kill(fPid, SIGTERM);
            waitpid(fPid, nullptr, 0);
        }
        std::error_code ignored;
        if (!fDirectory.empty())
            std::filesystem::remove_all(fDirectory, ignored);
    }
    VennixdForBench(const VennixdForBench&) = delete;
    VennixdForBench& operator=(const VennixdForBench&) = delete;

    const std::string& socket() const { return fSocket; }

private:
    std::string fDirectory, fSocket;
    pid_t fPid = -1;
};

} // namespace vennix::bench
