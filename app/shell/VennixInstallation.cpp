#include "shell/VennixInstallation.h"

#include <iostream>
#include <limits.h>
#include <unistd.h>

#include "protocol/Protocol.h"
#include "platform/Process.h"
#include "platform/SocketServiceDirectory.h"

namespace qarn {

VennixInstallation VennixInstallation::standard(bool simulated) {
    VennixInstallation installation;
    installation.socketPath = SocketServiceDirectory::defaultPath();
    installation.statusCommand = standardStatusCommand();
    installation.simulated = simulated;
    const std::string directory = executableDirectory();
    if (!directory.empty()) {
        installation.scriptPath = directory + "/" + kScriptName;
        installation.bundlePath = directory + "/" + kBundleName;
        // Installed from the package, the two lie in libexec. The real path, because pkexec
        // matches the policy's installer path exactly.
        char installed[PATH_MAX];
        if (::access(installation.scriptPath.c_str(), F_OK) != 0 &&
            ::realpath((directory + "/../" + kInstalledScript).c_str(), installed)) {
            installation.scriptPath = installed;
            installation.bundlePath = installation.scriptPath.substr(0, installation.scriptPath.rfind('/') + 1) + kBundleName;
        }
    }
    return installation;
}

std::vector<std::string> VennixInstallation::standardStatusCommand() {
    // Lists the unit only while it is active; --plain and --no-legend leave nothing else on
    // standard output, so an inactive unit prints nothing at all.
    return {"systemctl", "list-units", "--type=service", "--state=active", "--no-legend", "--plain",
            "--no-pager", unitName()};
}

std::string VennixInstallation::unitName() {
    return std::string(vennix::protocol::kBundleIdentifier) + ".service";
}

std::string VennixInstallation::executableDirectory() {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path)
        return {};
    std::string directory(path, static_cast<std::size_t>(length));
    const auto slash = directory.rfind('/');
    if (slash == std::string::npos)
        return {};
    directory.resize(slash == 0 ? 1 : slash);
    return directory;
}

void VennixInstallation::loadVennix() const {
    if (simulated || serviceIsRunning()) {
        write(kRunningMessage);
        return;
    }
    write(kNotRunningMessage);
    if (!packagedUnitPath.empty() && ::access(packagedUnitPath.c_str(), F_OK) == 0) {
        write(kPackagedMessage);
        return;
    }
    write(install() ? kInstalledMessage : kNotInstalledMessage);
}

bool VennixInstallation::serviceIsRunning() const {
    if (simulated)
        return true;
    if (!socketPath.empty() && SocketServiceDirectory(socketPath).getMatchingService("Vennix"))
        return true;
    Process::Options options;
    options.captureOutput = true;
    options.maxOutput = kMaxStatusOutput;
    options.timeout = statusTimeout;
    // Its own group, so that a timeout also ends whatever the tool started (a pager).
    options.ownProcessGroup = true;
    const Process::Result result = Process::run(statusCommand, options);
    // A tool killed for its time says nothing, whatever it printed before.
    if (result.ending == Process::Ending::NotStarted || result.ending == Process::Ending::TimedOut)
        return false;
    return result.output.find(vennix::protocol::kBundleIdentifier) != std::string::npos;
}

std::vector<std::string> VennixInstallation::installerCommand() const {
    return {pkexecPath, scriptPath, bundlePath, stagingPath};
}

bool VennixInstallation::install() const {
    // Without the resources there is nothing to install; pkexec is not bothered to find out.
    if (scriptPath.empty() || bundlePath.empty())
        return false;
    // No timeout: the password dialog takes as long as the user takes, and the installer runs
    // as root, where this process could not kill it anyway. Standard input and output stay
    // ours, for pkexec's prompt where there is no graphical agent.
    return Process::run(installerCommand(), Process::Options{}).succeeded();
}

void VennixInstallation::write(const char* message) const {
    if (log) {
        log(message);
        return;
    }
    // One insertion, so that the line is not split by another thread's output.
    std::cerr << (std::string(message) + "\n") << std::flush;
}

}  // namespace qarn
