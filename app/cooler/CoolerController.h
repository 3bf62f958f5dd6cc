#pragma once
// The cooler's owner: finds the Kraken X31 when it is attached (or appears later), sets it up
// from the stored settings, and once an interval runs a control cycle with the CPU's package
// temperature, as cooler owners want: fan and pump following the CPU, smoothed by the driver's
// hold so the fan does not hunt.
//
// Threads: the device list lives on the thread that creates the controller and hears of
// arrivals and removals through its queue (the Qt event loop in the monitor, a RunLoop in
// qarnctl). All USB traffic runs on the controller's own worker thread, so a slow or silent
// cooler never stalls the window. status() and the setters may be called from any thread.

#include "cooler/Asetek.h"
#include "platform/MainQueue.h"
#include "platform/USBBus.h"
#include "prefs/CoolerSettings.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace qarn {

class USBDevice;
class USBDeviceList;

// What the cooler last reported and was last sent; a copy, for any thread.
struct CoolerStatus {
    bool attached = false;      // an Asetek object drives a cooler now
    bool simulated = false;     // ... on the simulated bus
    std::string name;           // the cooler's display name
    std::string problem;        // why a cooler that is present is not driven, in words
    int64_t fanRPM = 0;
    int64_t pumpRPM = 0;
    int64_t liquidTemperature = 0;
    int64_t cpuTemperature = 0; // the one the curves act on (held)
    bool cpuTemperatureKnown = false;
    int64_t fanSetting = -1;
    int64_t pumpSetting = -1;
    CoolerSetup setup;
    uint64_t cycles = 0;        // control cycles since the cooler was attached
};

class CoolerController {
public:
    static constexpr uint16_t kVendor = 0x2433;
    static constexpr uint16_t kProduct = 0xB200;

    struct Options {
        std::chrono::milliseconds interval{1000};
        // The CPU's package temperature in whole °C, asked once a cycle on the worker thread;
        // nothing when there is no reading (the last one is used, 0 before any).
        std::function<std::optional<int64_t>()> cpuTemperature;
        // The stored setup, read whenever a cooler appears; "FullPower", read every cycle.
        std::function<CoolerSetup()> storedSetup;
        std::function<bool()> fullPower;
        // Both from settings, as the monitor and the tools keep them.
        void readSettings(const CoolerSettings& settings)
        {
            storedSetup = [settings] { return settings.load(); };
            fullPower = [settings] { return settings.fullPower(); };
        }
        // The driver's clock (tests); empty: the steady clock.
        std::function<double()> now;
        // Told on the worker thread after each cycle and each change of state.
        std::function<void(const CoolerStatus&)> changed;
    };

    // bus and queue must outlive the controller; the calling thread runs queue.
    CoolerController(USBBus& bus, MainQueue& queue, Options options);
    // Stops the worker; sends nothing more to the cooler.
    ~CoolerController();

    CoolerController(const CoolerController&) = delete;
    CoolerController& operator=(const CoolerController&) = delete;

    CoolerStatus status() const;

    // Sent to the cooler at once when one is driven (and used whenever one appears, from the
    // stored setup the caller keeps up to date).
    void setFanCurve(CoolerCurve curve);
    void setPumpCurve(CoolerCurve curve);
    void setFanFollowsCPU(bool follows);
    void setPumpFollowsCPU(bool follows);

    // Runs a cycle now, without waiting for the interval; returns once it ran (tests, qarnctl).
    void cycleNow();

    // Who holds a device node open, as "pid 1234 (liquidctl)"; empty when nobody can be seen.
    static std::vector<std::string> holders(const std::string& node);

private:
    using Task = std::function<void()>;
    void post(Task task);
    void work();
    void attach(std::shared_ptr<USBDevice> device);
    void detach(const std::shared_ptr<USBDevice>& device);
    void cycle();
    void publish();

    USBBus& fBus;
    Options fOptions;
    std::shared_ptr<USBDeviceList> fList;
    std::shared_ptr<class CoolerListDelegate> fDelegate;

    // Worker-thread state.
    std::shared_ptr<Asetek> fCooler;
    int64_t fLastTemperature = 0;
    bool fTemperatureKnown = false;
    uint64_t fCycles = 0;
    std::string fProblem;

    mutable std::mutex fMutex; // guards fTasks, fStop, fStatus
    std::condition_variable fWake;
    std::deque<Task> fTasks;
    bool fStop = false;
    CoolerStatus fStatus;
    std::thread fWorker;
};

} // namespace qarn
