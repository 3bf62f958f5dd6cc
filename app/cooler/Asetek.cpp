#include "cooler/Asetek.h"

#include "usb/USBDevice.h"
#include "usb/USBDeviceInterface.h"

#include <algorithm>
#include <chrono>

namespace qarn {

namespace {

// The start-up requests: out, vendor, device, no data.
struct ResetRequest {
    uint8_t request;
    uint16_t value;
};
constexpr ResetRequest kResetRequests[] = {{0x00, 0xFFFF}, {0x02, 0x0002}, {0x02, 0x0001}};
constexpr uint8_t kOut = 0, kVendorType = 2, kDeviceRecipient = 0;

// Settings for a curve too short to hold one point.
constexpr int64_t kNoCurveSetting = 36;
// Interpolated settings stay below full speed; end points are sent as they stand.
constexpr int64_t kInterpolatedCap = 99;
constexpr int64_t kResetTemperature = 20;

Asetek::Environment withDefaults(Asetek::Environment environment)
{
    if (!environment.now) {
        environment.now = [] {
            return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
        };
    }
    if (!environment.fullPower)
        environment.fullPower = [] { return false; };
    return environment;
}

} // namespace

Asetek::Asetek(std::shared_ptr<USBDevice> device, Environment environment)
    : fDevice(std::move(device)), fEnvironment(withDefaults(std::move(environment)))
{
    fWhenCPUTemp = fEnvironment.now();
}

Asetek::~Asetek() = default;

std::shared_ptr<Asetek> Asetek::withDevice(std::shared_ptr<USBDevice> device, Environment environment)
{
    if (!device || !device->open() || device->interfaces().empty())
        return nullptr;
    std::shared_ptr<Asetek> cooler(new Asetek(std::move(device), std::move(environment)));
    cooler->fInterface = cooler->fDevice->interfaces().front();
    if (!cooler->fInterface->open())
        return nullptr;
    cooler->reset();
    return cooler;
}

void Asetek::reset()
{
    // The cooler answers nothing useful here, and a failed step is retried by no one: the next
    // refresh() shows whether it listens.
    for (const ResetRequest& r : kResetRequests)
        fDevice->sendRequest(kOut, kVendorType, kDeviceRecipient, r.request, r.value, 0, nullptr);
    fInterface->writePipe(kCommandPipe, kResetPacket);
    fInterface->readPipe(kStatusPipe, kDrainLength);
    refresh(kResetTemperature);
}

void Asetek::refresh(int64_t cpuTemperature)
{
    fCPUTemp = cpuTemperature;
    if (fEnvironment.fullPower()) {
        fCPUTemp = kFullPowerTemperature;
        fLastCPUTemp = kFullPowerTemperature;
    } else {
        const double now = fEnvironment.now();
        if (fCPUTemp >= fLastCPUTemp) {
            fLastCPUTemp = fCPUTemp;
            fWhenCPUTemp = now;
        } else if (now - fWhenCPUTemp > kHoldSeconds) {
            // The hold is not renewed: further falls are taken at once until a rise restarts it.
            fLastCPUTemp = fCPUTemp;
        }
    }
    sendPumpSpeed();
    sendFanSpeed();
    std::lock_guard lock(fLock);
    analyzePacket(fInterface->readPipe(kStatusPipe, kStatusLength));
}

void Asetek::sendPumpSpeed()
{
    std::lock_guard lock(fLock);
    const int64_t input = fUseCPUTempForPump ? fLastCPUTemp : fWaterTemp;
    fLastPumpSetting = valueForArray(&fPumpSpeedArray, input);
    writeCommand(kPumpCommand, fLastPumpSetting);
}

void Asetek::sendFanSpeed()
{
    std::lock_guard lock(fLock);
    const bool cpu = fUseCPUTempForFan || fLastCPUTemp > kFanFollowsCPUAbove;
    fLastFanSetting = valueForArray(&fFanSpeedArray, cpu ? fLastCPUTemp : fWaterTemp);
    writeCommand(kFanCommand, fLastFanSetting);
}

void Asetek::writeCommand(uint8_t command, int64_t setting)
{
    const uint8_t bytes[2] = {command, static_cast<uint8_t>(setting & 0xFF)};
    fInterface->writePipe(kCommandPipe, bytes);
}

int64_t Asetek::valueForArray(const std::vector<int64_t>* curve, int64_t value)
{
    if (!curve || curve->size() / 2 == 0)
        return kNoCurveSetting;
    const size_t n = curve->size() / 2;
    const auto x = [&](size_t i) { return (*curve)[i]; };
    const auto y = [&](size_t i) { return (*curve)[n + i]; };
    size_t i = 0;
    while (i < n && x(i) < value)
        ++i;
    if (i == 0)
        return y(0);
    if (i == n)
        return y(n - 1);
    // Wide enough that no difference or product overflows; the answer lies between y(i - 1) and
    // y(i), so it fits again.
    using Wide = __int128;
    const Wide increment = (Wide(y(i)) - y(i - 1)) * (Wide(value) - x(i - 1)) / (Wide(x(i)) - x(i - 1));
    return std::min<int64_t>(kInterpolatedCap, static_cast<int64_t>(y(i - 1) + increment));
}

void Asetek::analyzePacket(const std::optional<std::vector<uint8_t>>& packet)
{
    if (!packet || static_cast<int64_t>(packet->size()) != kStatusLength)
        return;
    const std::vector<uint8_t>& p = *packet;
    fFanRPM = (p[0] << 8) | p[1];
    fPumpRPM = (p[8] << 8) | p[9];
    fWaterTemp = p[10];
}

void Asetek::setUseCPUF(bool use)
{
    if (use == fUseCPUTempForFan)
        return;
    fUseCPUTempForFan = use;
    refresh(fCPUTemp);
}

void Asetek::setUseCPUP(bool use)
{
    if (use == fUseCPUTempForPump)
        return;
    fUseCPUTempForPump = use;
    refresh(fCPUTemp);
}

void Asetek::setFSArray(std::vector<int64_t> curve)
{
    {
        // A command being computed on another thread must not see the vector change under it.
        std::lock_guard lock(fLock);
        fFanSpeedArray = std::move(curve);
    }
    refresh(fCPUTemp);
}

void Asetek::setPSArray(std::vector<int64_t> curve)
{
    {
        // A command being computed on another thread must not see the vector change under it.
        std::lock_guard lock(fLock);
        fPumpSpeedArray = std::move(curve);
    }
    refresh(fCPUTemp);
}

} // namespace qarn
