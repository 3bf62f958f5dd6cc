#pragma once
// A temporary directory for one test, with helpers to write fake programs into it and to read
// back what they recorded. Removed, links not followed, when the test ends.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <time.h>
#include <vector>

namespace qarn::testing {

class TemporaryDirectory {
public:
    TemporaryDirectory()
    {
        char pattern[] = "/tmp/qarn-shell-test-XXXXXX";
        if (const char* made = ::mkdtemp(pattern))
            fPath = made;
        else
            ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    }
    ~TemporaryDirectory()
    {
        std::error_code ignored;
        if (!fPath.empty())
            std::filesystem::remove_all(fPath, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::string& path() const { return fPath; }
    std::string operator/(const std::string& name) const { return fPath + "/" + name; }

private:
    std::string fPath;
};

inline void writeFile(const std::string& path, const std::string& text, mode_t mode = 0644)
{
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
        ASSERT_TRUE(out.good()) << "cannot write " << path;
    }
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

// A shell script that can find what it records next to itself through $d.
inline void writeScript(const std::string& path, const std::string& body)
{
    writeFile(path, "#!/bin/sh\nd=${0%/*}\n" + body, 0755);
}

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool exists(const std::string& path)
{
    struct stat status;
    return ::lstat(path.c_str(), &status) == 0;
}

// Splits text at NUL bytes, as a fake records its arguments with printf '%s\0' "$@".
inline std::vector<std::string> splitAtNul(const std::string& text)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1)
        parts.push_back(text.substr(start, end - start));
    return parts;
}

// Whether pid names a process that has not ended (a zombie has ended).
inline bool isAlive(pid_t pid)
{
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size())
        return false;
    const char state = stat[close + 2];
    return state != 'Z' && state != 'X';
}

// Waits until pid has ended; a killed process ends soon, but not the instant kill() returns.
inline bool endsSoon(pid_t pid)
{
    for (int i = 0; i < 1000 && isAlive(pid); ++i) {
        const timespec pause{0, 10'000'000};
        ::nanosleep(&pause, nullptr);
    }
    return !isAlive(pid);
}

inline pid_t pidIn(const std::string& path)
{
    return static_cast<pid_t>(std::atol(readFile(path).c_str()));
}

} // namespace qarn::testing
