#pragma once
// A USB liquid cooler built on an Asetek pump, the Kraken X31: a pump and a fan whose settings
// the host sends, and a status packet with fan speed, pump speed and liquid temperature.
//
// The pump and the fan follow one temperature curve each, fed by the liquid temperature the
// cooler reports or by the CPU temperature its owner passes to refresh(). A rise of the CPU
// temperature is taken at once, a fall only after it held for 15 s, so the fan does not hunt.
// Above 80 °C the fan follows the CPU whatever its switch says. No timer of its own: each
// refresh() is one control cycle, two commands and one status read.
//
// Threads: each pipe exchange is whole under the object's lock, so an owner may call refresh()
// from one thread and the setters from another; the figures themselves are not guarded.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qarn {

class USBDevice;
class USBDeviceInterface;

class Asetek {
public:
    // The wire protocol.
    static constexpr uint8_t kFanCommand = 0x12;
    static constexpr uint8_t kPumpCommand = 0x13;
    static constexpr uint8_t kResetPacket[4] = {0x14, 0x00, 0x00, 0x00};
    static constexpr int64_t kStatusLength = 32;
    static constexpr int64_t kDrainLength = 4096;
    static constexpr int64_t kCommandPipe = 1;
    static constexpr int64_t kStatusPipe = 2;
    // The hold before a lower CPU temperature is taken, in seconds.
    static constexpr double kHoldSeconds = 15.0;
    // Above this CPU temperature the fan follows the CPU.
    static constexpr int64_t kFanFollowsCPUAbove = 80;
    // The temperature "FullPower" drives the cooler at.
    static constexpr int64_t kFullPowerTemperature = 90;

    // What the object reads from its surroundings; defaults: the steady clock, no full power.
    struct Environment {
        std::function<double()> now;       // seconds, on a clock that does not jump
        std::function<bool()> fullPower;   // the "FullPower" preference, read on every refresh
    };

    // Opens the device and its first interface and runs reset(); null when the device does not
    // open, has no interface, or its first interface does not open (device->lastStatus() and the
    // interface's lastStatus() then say why).
    static std::shared_ptr<Asetek> withDevice(std::shared_ptr<USBDevice> device, Environment environment = {});
    // Sends nothing to the cooler.
    ~Asetek();

    Asetek(const Asetek&) = delete;
    Asetek& operator=(const Asetek&) = delete;

    // The cooler's start-up sequence, then refresh(20).
    void reset();
    // One control cycle with the CPU temperature in whole °C.
    void refresh(int64_t cpuTemperature);
    void sendPumpSpeed();
    void sendFanSpeed();

    // The setting a curve gives at temperature value; null is no curve.
    static int64_t valueForArray(const std::vector<int64_t>* curve, int64_t value);
    // Takes the readings from a status packet of exactly 32 bytes; anything else changes nothing.
    void analyzePacket(const std::optional<std::vector<uint8_t>>& packet);

    const std::shared_ptr<USBDevice>& device() const { return fDevice; }
    int64_t fanRPM() const { return fFanRPM; }
    int64_t pumpRPM() const { return fPumpRPM; }
    int64_t cpuTemp() const { return fCPUTemp; }
    int64_t waterTemp() const { return fWaterTemp; }
    const std::string& name() const { return fName; }

    bool getUseCPUF() const { return fUseCPUTempForFan; }
    bool getUseCPUP() const { return fUseCPUTempForPump; }
    // A change runs refresh(cpuTemp()); the value it has already sends nothing.
    void setUseCPUF(bool use);
    void setUseCPUP(bool use);
    const std::vector<int64_t>& getFSArray() const { return fFanSpeedArray; }
    const std::vector<int64_t>& getPSArray() const { return fPumpSpeedArray; }
    // Stores a copy and always runs refresh(cpuTemp()).
    void setFSArray(std::vector<int64_t> curve);
    void setPSArray(std::vector<int64_t> curve);

    // What the display shows beside the readings: the CPU temperature the curves act on, and
    // the settings last sent (-1 before any).
    int64_t heldCPUTemp() const { return fLastCPUTemp; }
    int64_t lastFanSetting() const { return fLastFanSetting; }
    int64_t lastPumpSetting() const { return fLastPumpSetting; }

private:
    Asetek(std::shared_ptr<USBDevice> device, Environment environment);
    void writeCommand(uint8_t command, int64_t setting);

    std::shared_ptr<USBDevice> fDevice;
    std::shared_ptr<USBDeviceInterface> fInterface;
    std::mutex fLock;
    Environment fEnvironment;
    bool fUseCPUTempForFan = false;
    bool fUseCPUTempForPump = false;
    std::vector<int64_t> fFanSpeedArray{30, 25};
    std::vector<int64_t> fPumpSpeedArray{30, 25};
    int64_t fLastCPUTemp = 0;
    double fWhenCPUTemp = 0.0;
    int64_t fFanRPM = 0;
    int64_t fPumpRPM = 0;
    int64_t fCPUTemp = 0;
    int64_t fWaterTemp = 0;
    std::string fName = "Kraken X31";
    int64_t fLastFanSetting = -1;
    int64_t fLastPumpSetting = -1;
};

} // namespace qarn
