#pragma once
// Starts a program of the build as a child process, with what it writes going to a file, for
// tests and benchmarks that run the programs as users run them.

#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace vennix::testing {

enum class Captured {
    StandardError,  // standard error into the file, standard output as it is
    OutputAndError, // both into the file
};

// The child's pid, or -1 with the reason (an errno value) in *failure.
inline pid_t spawnProgram(std::vector<std::string> argv, const std::string& logPath, Captured captured,
                          int* failure = nullptr)
{
    std::vector<char*> pointers;
    for (std::string& argument : argv)
        pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const int into = captured == Captured::StandardError ? 2 : 1;
    posix_spawn_file_actions_addopen(&actions, into, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (captured == Captured::OutputAndError)
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failure)
        *failure = spawned;
    return spawned == 0 ? pid : -1;
}

// A file's whole text; empty when it cannot be read.
inline std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Runs a program to its end with standard output and error in outputPath; the exit status as
// waitpid gives it, -1 when it did not start.
inline int runToEnd(const std::vector<std::string>& arguments, const std::string& outputPath)
{
    int status = -1;
    const pid_t pid = spawnProgram(arguments, outputPath, Captured::OutputAndError);
    return pid > 0 && waitpid(pid, &status, 0) == pid ? status : -1;
}

inline bool exitedWith(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

} // namespace vennix::testing
