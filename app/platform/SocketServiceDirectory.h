#pragma once
// The services of vennixd, reached over its Unix socket: one socket per matched service, and
// once opened, per connection.

#include "platform/ServiceDirectory.h"

namespace qarn {

class SocketServiceDirectory : public ServiceDirectory {
public:
    explicit SocketServiceDirectory(std::string path);

    // VENNIX_SOCKET when set and not empty, else /run/vennix/vennix.sock.
    static std::string defaultPath();

    std::unique_ptr<MatchedService> getMatchingService(const std::string& name,
                                                       std::string* why = nullptr) override;
    std::string description() const override;
    const std::string& path() const { return fPath; }

private:
    std::string fPath;
};

} // namespace qarn
