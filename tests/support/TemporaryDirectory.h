#pragma once
// A directory of a test's own under /tmp, removed with everything in it when the object goes.

#include <cstdlib>
#include <filesystem>
#include <string>

namespace vennix::testing {

class TemporaryDirectory {
public:
    TemporaryDirectory()
    {
        char pattern[] = "/tmp/vennix-test-XXXXXX";
        fPath = mkdtemp(pattern) ? pattern : "/nonexistent";
    }
    ~TemporaryDirectory() { std::filesystem::remove_all(fPath, fIgnored); }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::string& path() const { return fPath; }
    std::string operator/(const std::string& name) const { return fPath + "/" + name; }

private:
    std::string fPath;
    std::error_code fIgnored; // a directory already gone is no failure
};

} // namespace vennix::testing
