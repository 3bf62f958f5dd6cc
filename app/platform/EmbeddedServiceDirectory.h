#pragma once
// Services hosted in this process (qarn --simulate, tests, benchmarks), reached the way the
// socket reaches vennixd's: found by name among the services of the directory's own set,
// opened into a user client, called through its externalMethod. No daemon and no root; the
// caller is the process's own user.

#include "platform/ServiceDirectory.h"

#include <memory>

namespace vennix {
class ServiceSet;
}

namespace qarn {

class EmbeddedServiceDirectory : public ServiceDirectory {
public:
    // Serves the services of set. owner keeps the set and what it runs on alive as long as the
    // directory (and every connection it opened) lives; description says what they run on.
    EmbeddedServiceDirectory(std::shared_ptr<void> owner, const vennix::ServiceSet& set, std::string description);

    // The four services started in this process on the simulated processor and ACPI namespace
    // (qarn --simulate); null with *why when they cannot be started.
    static std::shared_ptr<EmbeddedServiceDirectory> simulated(std::string* why = nullptr);

    std::unique_ptr<MatchedService> getMatchingService(const std::string& name,
                                                       std::string* why = nullptr) override;
    std::string description() const override;

private:
    std::shared_ptr<void> fOwner;
    const vennix::ServiceSet& fSet;
    std::string fDescription;
};

} // namespace qarn
