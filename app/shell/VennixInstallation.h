#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qarn {

// The check the monitor makes before it opens the CPU service: asks the service manager whether
// vennixd runs and, when it does not, runs the installer that ships next to the program once,
// with administrator rights through pkexec. The outcome is only logged; start-up goes on either
// way. No Qt: every program and path is a field, so tests put fakes in their place.
class VennixInstallation {
public:
    // The log lines, exactly.
    static constexpr const char* kRunningMessage = "Accessor l\u00e4uft";
    static constexpr const char* kNotRunningMessage = "Accessor l\u00e4uft nicht";
    static constexpr const char* kInstalledMessage = "Accessor installiert";
    static constexpr const char* kNotInstalledMessage = "Accessor nicht installiert";
    // With the vennixd package installed the monitor never installs a second vennixd over it.
    static constexpr const char* kPackagedMessage =
        "vennixd is installed as a package but does not answer: 'systemctl status org.qarn.vennix.service' "
        "tells why; root, the group vennix and the users in /etc/vennix/users may use it";
    static constexpr const char* kPackagedUnitPath = "/lib/systemd/system/org.qarn.vennix.service";

    // Where the installer stages the bundle before it puts its files in place.
    static constexpr const char* kStagingPath = "/tmp/Vennix.kext";
    // The resources next to the program: the installer script and the bundle it installs
    // (vennixd and its systemd unit).
    static constexpr const char* kScriptName = "command";
    static constexpr const char* kBundleName = "Vennix.bundle";
    // Where the qarn package puts them, relative to the prefix, when nothing lies next to it.
    static constexpr const char* kInstalledScript = "libexec/qarn/install-vennix";

    // A status tool that has not ended by then is killed and the service counts as not running.
    static constexpr std::chrono::seconds kStatusTimeout{30};
    // Of its output no more than this is read.
    static constexpr std::size_t kMaxStatusOutput = 1024 * 1024;

    using LogSink = std::function<void(std::string_view line)>;

    // vennixd's socket: a daemon that answers there runs, whoever started it (the installer
    // starts it directly where systemd does not run). Empty: only the status tool is asked.
    std::string socketPath;
    // Run without a shell; its standard output mentions the bundle identifier when the service
    // runs. Its exit status is not consulted.
    std::vector<std::string> statusCommand;
    std::chrono::milliseconds statusTimeout = kStatusTimeout;
    std::string pkexecPath = "pkexec";
    std::string scriptPath;
    std::string bundlePath;
    std::string stagingPath = kStagingPath;
    // The unit the vennixd package installs: while it is there, nothing is installed.
    std::string packagedUnitPath = kPackagedUnitPath;
    // The service is embedded in the monitor (qarn --simulate): it always runs.
    bool simulated = false;
    // One call per message; by default one line on standard error.
    LogSink log;

    // The check as the monitor makes it: vennixd's standard socket, then systemctl asked for the
    // active unit named after the bundle identifier; the script and bundle next to the running
    // program.
    static VennixInstallation standard(bool simulated);

    // {"systemctl", "list-units", ..., "org.qarn.vennix.service"}.
    static std::vector<std::string> standardStatusCommand();
    // The unit the service runs as: the bundle identifier + ".service".
    static std::string unitName();
    // The directory of the running program (from /proc/self/exe); empty when it cannot be told.
    static std::string executableDirectory();

    // The check and, when needed, the installation. Blocks until the status tool and the
    // installer (with its password dialog) have finished. The installer runs at most once per
    // call; nothing is retried and nothing is reported but the log lines.
    void loadVennix() const;

    // Whether a vennixd on socketPath answers a match for its CPU service, or else the status
    // tool's output mentions the bundle identifier. False when neither: no daemon answers and
    // the tool cannot be started, does not end in time or says nothing of the unit.
    bool serviceIsRunning() const;

    // Runs the installer; true when it exited with status 0.
    bool install() const;

    // The argument vector the installer runs with: {pkexec, script, bundle, staging}.
    std::vector<std::string> installerCommand() const;

private:
    void write(const char* message) const;
};

}  // namespace qarn
