#include "cooler/CoolerController.h"

#include "usb/USBDevice.h"
#include "usb/USBDeviceInterface.h"
#include "usb/USBDeviceList.h"

#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <future>

namespace qarn {

// Hands the list's events to the worker; held by the list, so it never outlives the controller's
// use of it (the controller destroys the list first).
class CoolerListDelegate : public USBDeviceListDelegate {
public:
    explicit CoolerListDelegate(std::function<void(std::shared_ptr<USBDevice>, bool)> handler)
        : fHandler(std::move(handler))
    {
    }
    void didAddDevice(const std::shared_ptr<USBDevice>& device) override { fHandler(device, true); }
    void willRemoveDevice(const std::shared_ptr<USBDevice>& device) override { fHandler(device, false); }

private:
    std::function<void(std::shared_ptr<USBDevice>, bool)> fHandler;
};

namespace {

constexpr const char* kRule = "70-qarn-cooler.rules";

} // namespace

CoolerController::CoolerController(USBBus& bus, MainQueue& queue, Options options)
    : fBus(bus), fOptions(std::move(options))
{
    fWorker = std::thread([this] { work(); });
    fDelegate = std::make_shared<CoolerListDelegate>([this](std::shared_ptr<USBDevice> device, bool added) {
        if (added)
            post([this, device] { attach(device); });
        else
            post([this, device] { detach(device); });
    });
    fList = USBDeviceList::initWithVendor(bus, queue, kVendor, kProduct);
    fList->addDelegate(fDelegate);
    for (const auto& device : fList->devices())
        post([this, device] { attach(device); });
}

CoolerController::~CoolerController()
{
    fList.reset();
    {
        std::lock_guard lock(fMutex);
        fStop = true;
    }
    fWake.notify_all();
    fWorker.join();
    fCooler.reset();
}

CoolerStatus CoolerController::status() const
{
    std::lock_guard lock(fMutex);
    return fStatus;
}

void CoolerController::post(Task task)
{
    {
        std::lock_guard lock(fMutex);
        fTasks.push_back(std::move(task));
    }
    fWake.notify_all();
}

void CoolerController::work()
{
    using Clock = std::chrono::steady_clock;
    Clock::time_point next = Clock::now();
    std::unique_lock lock(fMutex);
    while (!fStop) {
        if (!fTasks.empty()) {
            Task task = std::move(fTasks.front());
            fTasks.pop_front();
            const bool wasDriving = fCooler != nullptr;
            lock.unlock();
            task();
            lock.lock();
            // A cooler just set up ran its cycles already: the next one is an interval away.
            if (!wasDriving && fCooler)
                next = Clock::now() + fOptions.interval;
            continue;
        }
        if (fCooler && Clock::now() >= next) {
            lock.unlock();
            cycle();
            lock.lock();
            next = Clock::now() + fOptions.interval;
            continue;
        }
        if (fCooler)
            fWake.wait_until(lock, next);
        else
            fWake.wait(lock);
    }
}

void CoolerController::attach(std::shared_ptr<USBDevice> device)
{
    if (fCooler)
        return; // one cooler at a time: the first one found
    Asetek::Environment environment{fOptions.now, fOptions.fullPower};
    fCooler = Asetek::withDevice(device, environment);
    if (!fCooler) {
        const std::string node = device->node();
        if (!device->isOpen()) {
            if (device->lastStatus() == USBStatus::Access)
                fProblem = "no access to " + node + ": the udev rule " + kRule +
                           " is missing, or the cooler was plugged in before it was installed";
            else
                fProblem = "cannot open " + node + ": " + usbStatusText(device->lastStatus());
        } else if (device->interfaces().empty()) {
            fProblem = "the cooler at " + node + " shows no interface";
        } else if (device->interfaces()[0]->lastStatus() == USBStatus::Busy) {
            fProblem = "the cooler is in use by another program";
            const auto others = holders(node);
            for (size_t i = 0; i < others.size(); ++i)
                fProblem += (i ? ", " : ": ") + others[i];
        } else {
            fProblem = "cannot claim the cooler's interface: " +
                       std::string(usbStatusText(device->interfaces()[0]->lastStatus()));
        }
        device->close();
        publish();
        return;
    }
    fProblem.clear();
    fCycles = 0;
    // The cooler forgot everything at power-off: send the stored setup.
    const CoolerSetup setup = fOptions.storedSetup ? fOptions.storedSetup() : CoolerSetup{};
    fCooler->setFSArray(setup.fanCurve);
    fCooler->setPSArray(setup.pumpCurve);
    fCooler->setUseCPUF(setup.fanFollowsCPU);
    fCooler->setUseCPUP(setup.pumpFollowsCPU);
    cycle();
}

void CoolerController::detach(const std::shared_ptr<USBDevice>& device)
{
    if (fCooler && fCooler->device() == device)
        fCooler.reset();
    fProblem.clear();
    publish();
}

void CoolerController::cycle()
{
    if (!fCooler)
        return;
    if (fOptions.cpuTemperature) {
        if (const auto temperature = fOptions.cpuTemperature()) {
            fLastTemperature = *temperature;
            fTemperatureKnown = true;
        }
    }
    fCooler->refresh(fLastTemperature);
    ++fCycles;
    publish();
}

void CoolerController::publish()
{
    CoolerStatus status;
    status.problem = fProblem;
    status.simulated = fBus.isSimulated();
    if (fCooler) {
        status.attached = true;
        status.name = fCooler->name();
        status.fanRPM = fCooler->fanRPM();
        status.pumpRPM = fCooler->pumpRPM();
        status.liquidTemperature = fCooler->waterTemp();
        status.cpuTemperature = fCooler->heldCPUTemp();
        status.cpuTemperatureKnown = fTemperatureKnown || (fOptions.fullPower && fOptions.fullPower());
        status.fanSetting = fCooler->lastFanSetting();
        status.pumpSetting = fCooler->lastPumpSetting();
        status.setup = {fCooler->getFSArray(), fCooler->getPSArray(), fCooler->getUseCPUF(), fCooler->getUseCPUP()};
        status.cycles = fCycles;
    }
    {
        std::lock_guard lock(fMutex);
        fStatus = status;
    }
    if (fOptions.changed)
        fOptions.changed(status);
}

void CoolerController::setFanCurve(CoolerCurve curve)
{
    post([this, curve] {
        if (fCooler) {
            fCooler->setFSArray(curve);
            publish();
        }
    });
}

void CoolerController::setPumpCurve(CoolerCurve curve)
{
    post([this, curve] {
        if (fCooler) {
            fCooler->setPSArray(curve);
            publish();
        }
    });
}

void CoolerController::setFanFollowsCPU(bool follows)
{
    post([this, follows] {
        if (fCooler) {
            fCooler->setUseCPUF(follows);
            publish();
        }
    });
}

void CoolerController::setPumpFollowsCPU(bool follows)
{
    post([this, follows] {
        if (fCooler) {
            fCooler->setUseCPUP(follows);
            publish();
        }
    });
}

void CoolerController::cycleNow()
{
    std::promise<void> done;
    post([this, &done] {
        cycle();
        done.set_value();
    });
    done.get_future().wait();
}

std::vector<std::string> CoolerController::holders(const std::string& node)
{
    std::vector<std::string> found;
    DIR* proc = opendir("/proc");
    if (!proc)
        return found;
    const std::string self = std::to_string(getpid());
    while (dirent* entry = readdir(proc)) {
        const std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self)
            continue;
        const std::string fds = "/proc/" + pid + "/fd";
        DIR* dir = opendir(fds.c_str());
        if (!dir)
            continue; // another user's process: not ours to see
        bool holds = false;
        while (dirent* fd = readdir(dir)) {
            char target[4096];
            const ssize_t length = readlink((fds + "/" + fd->d_name).c_str(), target, sizeof target - 1);
            if (length > 0 && std::string(target, static_cast<size_t>(length)) == node)
                holds = true;
        }
        closedir(dir);
        if (holds) {
            std::string name;
            std::ifstream comm("/proc/" + pid + "/comm");
            std::getline(comm, name);
            found.push_back("pid " + pid + " (" + name + ")");
        }
    }
    closedir(proc);
    return found;
}

} // namespace qarn
