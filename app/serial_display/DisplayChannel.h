#pragma once
// The serial display found at start-up, as one row: its port, version and screens.

#include "channels/NameValueChannel.h"
#include "serial_display/SparvelDevice.h"

#include <memory>
#include <string>

namespace qarn {

class DisplayChannel : public NameValueChannel {
public:
    static std::shared_ptr<DisplayChannel> with(const SparvelDevice& display);
    // "/dev/ttyACM0  S002  16x8, 8x8"
    static std::string describe(const SparvelDevice& display);
    // "16x8, 8x8", or "no screens"
    static std::string screensText(const SparvelDevice& display);
    void sample() override {}
};

} // namespace qarn
