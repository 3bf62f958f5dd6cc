#pragma once
// What a program that drives the cooler builds around it: the USB bus, and the CPU temperature
// the cooler follows, read from the CPU service on a connection of the cooler's own.
//
// Simulated: the simulated bus with a simulated Kraken X31 plugged in, whose liquid warms with
// the power the (simulated) processor draws, read from the same CPU service.

#include "platform/ServiceDirectory.h"
#include "platform/USBBus.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace qarn {

struct CoolerEnvironment {
    std::shared_ptr<USBBus> bus;
    // The package temperature in whole °C; nothing without a CPU service or an Intel processor
    // whose MSRs it reads. Asked on one thread at a time.
    std::function<std::optional<int64_t>()> cpuTemperature;

    // directory: where the CPU service is found, asked when the first temperature is needed
    // (null: no CPU temperature).
    static CoolerEnvironment make(bool simulate, std::function<std::shared_ptr<ServiceDirectory>()> directory);

    // The bus alone: libusb's, or the simulated one with a simulated Kraken X31 warmed by
    // heatWatts, the processor's power in W (asked on the Kraken's clock).
    static std::shared_ptr<USBBus> makeBus(bool simulate, std::function<double()> heatWatts);
};

} // namespace qarn
