#include "sim/SimulatedKrakenX31.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace sim {

using qarn::USBStatus;

namespace {

constexpr uint8_t kCommandEndpoint = 0x02;
constexpr uint8_t kStatusEndpoint = 0x81;
constexpr uint8_t kFanCommand = 0x12;
constexpr uint8_t kPumpCommand = 0x13;
constexpr uint8_t kResetPacket[4] = {0x14, 0x00, 0x00, 0x00};
constexpr uint32_t kStatusLength = 32;

// The loop: heat capacity of liquid, block and radiator, and what carries heat away, in W/K,
// with everything stopped and per percent of fan and of pump.
constexpr double kHeatCapacity = 200.0;
constexpr double kStillConductance = 2.0;
constexpr double kPerFanPercent = 0.08;
constexpr double kPerPumpPercent = 0.03;

// A setting as the motors see it: none yet is stopped, more than 100 is full speed.
int percent(int setting)
{
    return std::clamp(setting, 0, 100);
}

int fanRPMAt(int setting)
{
    return 20 * percent(setting);
}

int pumpRPMAt(int setting)
{
    return 1200 + 18 * percent(setting);
}

} // namespace

SimulatedKrakenX31::SimulatedKrakenX31(const vennix::Clock& clock, std::function<double()> heatWatts)
    : SimulatedUSBDevice(0x2433, 0xB200, "Kraken X31", krakenX31Interfaces()), fClock(clock),
      fHeatWatts(std::move(heatWatts)), fModelNanos(clock.monotonicNanoseconds())
{
}

int SimulatedKrakenX31::fanSetting() const
{
    std::lock_guard lock(fMutex);
    return fFan;
}

int SimulatedKrakenX31::pumpSetting() const
{
    std::lock_guard lock(fMutex);
    return fPump;
}

int SimulatedKrakenX31::resetCount() const
{
    std::lock_guard lock(fMutex);
    return fResets;
}

double SimulatedKrakenX31::liquidTemperature() const
{
    std::lock_guard lock(fMutex);
    advance();
    return fLiquid;
}

int SimulatedKrakenX31::fanRPM() const
{
    std::lock_guard lock(fMutex);
    return fanRPMAt(fFan);
}

int SimulatedKrakenX31::pumpRPM() const
{
    std::lock_guard lock(fMutex);
    return pumpRPMAt(fPump);
}

double SimulatedKrakenX31::conductance() const
{
    return kStillConductance + kPerFanPercent * percent(fFan) + kPerPumpPercent * percent(fPump);
}

void SimulatedKrakenX31::breakSequence()
{
    // A stray transfer in the middle of a reset spoils it; a started cooler keeps running.
    if (fStage != Stage::Ready)
        fStage = Stage::Unreset;
}

void SimulatedKrakenX31::advance() const
{
    const uint64_t now = fClock.monotonicNanoseconds();
    if (now <= fModelNanos)
        return;
    const double seconds = double(now - fModelNanos) * 1e-9;
    fModelNanos = now;
    // Exact for heat and conductance that hold over the step: they change only between steps.
    const double g = conductance();
    const double settled = kAmbient + (fHeatWatts ? fHeatWatts() : 0.0) / g;
    fLiquid = settled + (fLiquid - settled) * std::exp(-seconds * g / kHeatCapacity);
}

USBStatus SimulatedKrakenX31::answerControl(const qarn::USBControlSetup& setup, uint8_t* data, uint32_t* transferred)
{
    std::lock_guard lock(fMutex);
    const auto is = [&](uint8_t request, uint16_t value) {
        return setup.bmRequestType == 0x40 && setup.bRequest == request && setup.wValue == value && setup.wIndex == 0 &&
               setup.wLength == 0;
    };
    Stage next;
    if (is(0x00, 0xFFFF))
        next = Stage::Request1; // starts a reset whatever came before: a re-plug, another program
    else if (is(0x02, 0x0002) && fStage == Stage::Request1)
        next = Stage::Request2;
    else if (is(0x02, 0x0001) && fStage == Stage::Request2)
        next = Stage::Request3;
    else {
        breakSequence();
        char what[96];
        std::snprintf(what, sizeof what, "control %02x %02x value %04x index %04x length %u out of the reset sequence",
                      setup.bmRequestType, setup.bRequest, setup.wValue, setup.wIndex, setup.wLength);
        return violation(what);
    }
    fStage = next;
    if (transferred)
        *transferred = 0;
    return USBStatus::Success;
}

USBStatus SimulatedKrakenX31::answerWrite(uint8_t endpoint, const uint8_t* data, uint32_t length)
{
    std::lock_guard lock(fMutex);
    const std::string what = "write " + hexBytes(data, length);
    if (endpoint != kCommandEndpoint)
        return violation(what + " to an endpoint other than 02");
    if (length == sizeof kResetPacket && std::memcmp(data, kResetPacket, length) == 0) {
        if (fStage != Stage::Request3) {
            breakSequence();
            return violation(what + " without the reset requests before it");
        }
        fStage = Stage::ResetPacket;
        return USBStatus::Success;
    }
    if (length != 2 || (data[0] != kFanCommand && data[0] != kPumpCommand))
        return violation(what + ": no such command");
    if (fStage != Stage::Ready)
        return violation(what + " before the reset completed");
    advance();
    (data[0] == kFanCommand ? fFan : fPump) = data[1];
    return USBStatus::Success;
}

USBStatus SimulatedKrakenX31::answerRead(uint8_t endpoint, uint8_t* data, uint32_t length, uint32_t* transferred)
{
    std::lock_guard lock(fMutex);
    char what[64];
    std::snprintf(what, sizeof what, "read of %u bytes from endpoint %02x", length, endpoint);
    if (endpoint != kStatusEndpoint)
        return violation(what);
    if (fStage == Stage::ResetPacket) {
        // The drain after the reset packet: nothing is pending, so a zero-length packet.
        fStage = Stage::Ready;
        ++fResets;
        *transferred = 0;
        return USBStatus::Success;
    }
    if (fStage != Stage::Ready)
        return violation(std::string(what) + " before the reset completed");
    if (length != kStatusLength)
        return violation(std::string(what) + ": status packets are 32 bytes");
    advance();
    const int fan = fanRPMAt(fFan), pump = pumpRPMAt(fPump);
    std::memset(data, 0, kStatusLength);
    data[0] = static_cast<uint8_t>(fan >> 8);
    data[1] = static_cast<uint8_t>(fan);
    data[8] = static_cast<uint8_t>(pump >> 8);
    data[9] = static_cast<uint8_t>(pump);
    data[10] = static_cast<uint8_t>(std::clamp(std::lround(fLiquid), 0L, 255L));
    *transferred = kStatusLength;
    return USBStatus::Success;
}

} // namespace sim
