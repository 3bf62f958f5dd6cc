#pragma once
// A Kraken X31 liquid cooler on the simulated bus: the Asetek protocol, and a pump, a fan and a
// loop of liquid that follow the settings sent.
//
// Protocol: the reset sequence (vendor requests 00/FFFF, 02/0002, 02/0001 to the device, then
// 14 00 00 00 on endpoint 0x02 and one drain read on 0x81, answered with a zero-length packet
// since nothing is pending after a reset) must come first, and may come again at any time;
// then 2-byte commands 12 ss (fan) and 13 ss (pump) on 0x02, and 32-byte status reads on 0x81.
// Anything else is a violation.
//
// Model: fan 20 rpm per percent (0 to 2000 rpm), pump 1200 rpm plus 18 per percent (1200 to
// 3000 rpm), settings above 100 count as 100 and speeds change at once. The liquid settles at
// 25 °C + heat / conductance, the conductance rising with both settings, with a time constant of
// about 15 s (full speed) to 100 s (both stopped) on the injected clock.
//
// Threads: the accessors may be called from any thread. heatWatts is called with the model's
// lock held, so it must not call back into the device.

#include "kext/platform/Clock.h"
#include "sim/SimulatedUSBDevice.h"

#include <functional>
#include <mutex>

namespace sim {

class SimulatedKrakenX31 : public SimulatedUSBDevice {
public:
    static constexpr double kAmbient = 25.0;

    // heatWatts: the heat the CPU puts into the loop now, in W; empty is none.
    explicit SimulatedKrakenX31(const vennix::Clock& clock = vennix::Clock::system(),
                                std::function<double()> heatWatts = {});

    // The last settings sent, -1 before any.
    int fanSetting() const;
    int pumpSetting() const;
    // Reset sequences completed.
    int resetCount() const;
    double liquidTemperature() const;
    int fanRPM() const;
    int pumpRPM() const;

protected:
    qarn::USBStatus answerControl(const qarn::USBControlSetup& setup, uint8_t* data, uint32_t* transferred) override;
    qarn::USBStatus answerWrite(uint8_t endpoint, const uint8_t* data, uint32_t length) override;
    qarn::USBStatus answerRead(uint8_t endpoint, uint8_t* data, uint32_t length, uint32_t* transferred) override;

private:
    // How far the reset sequence got; Ready once it completed.
    enum class Stage { Unreset, Request1, Request2, Request3, ResetPacket, Ready };

    // Brings the liquid temperature up to the clock's now; fMutex held.
    void advance() const;
    double conductance() const;
    void breakSequence();

    const vennix::Clock& fClock;
    const std::function<double()> fHeatWatts;

    mutable std::mutex fMutex;
    Stage fStage = Stage::Unreset;
    int fResets = 0;
    int fFan = -1;
    int fPump = -1;
    mutable double fLiquid = kAmbient;
    mutable uint64_t fModelNanos;
};

} // namespace sim
