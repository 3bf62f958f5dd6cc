#pragma once
// The processor's package-wide facts as eight name/value rows: core and CPU counts, package
// C-state limit, temperature target, turbo ratio limits, non-turbo ratio, uncore ratio range,
// and the current P-state ratio with its voltage, each with a tooltip that says where it comes
// from. Each sample reads seven MSRs in one batch on the calling CPU and rewrites rows 2 to 7 in
// place.

#include "channels/NameValueChannel.h"
#include "telemetry/IntelCPU.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qarn {

class PackageChannel : public NameValueChannel {
public:
    // cpu may be null (no CPU service): the counts show "0" and sampling reads nothing.
    static std::shared_ptr<PackageChannel> with(std::shared_ptr<IntelCPU> cpu);
    explicit PackageChannel(std::shared_ptr<IntelCPU> cpu);

    // One batch; when it fails the rows keep the values of the last sample that succeeded.
    void sample() override;

private:
    std::shared_ptr<IntelCPU> _cpu;
    MSRBatch fBatch{7, 1};
    bool fReadable = true;
};

} // namespace qarn
