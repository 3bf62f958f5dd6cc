#pragma once
// Services started in this process (qarn --simulate, tests, benchmarks), reached the way the
// socket reaches vennixd's: found by name in the registry, opened into a user client, called
// through its externalMethod. No daemon and no root; the caller is the process's own user.

#include "platform/ServiceDirectory.h"

#include <memory>

namespace qarn {

class EmbeddedServiceDirectory : public ServiceDirectory {
public:
    // owner keeps the started services alive as long as the directory (and every connection
    // it opened) lives; description says what they run on ("simulated").
    EmbeddedServiceDirectory(std::shared_ptr<void> owner, std::string description);

    // The four services started in this process on the simulated processor and ACPI namespace
    // (qarn --simulate); null with *why when they cannot be started.
    static std::shared_ptr<EmbeddedServiceDirectory> simulated(std::string* why = nullptr);

    std::unique_ptr<MatchedService> getMatchingService(const std::string& name,
                                                       std::string* why = nullptr) override;
    std::string description() const override;

private:
    std::shared_ptr<void> fOwner;
    std::string fDescription;
};

} // namespace qarn
