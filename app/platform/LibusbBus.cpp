#include "platform/LibusbBus.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace qarn {

namespace {

// Every libusb error code the layer meets becomes a USBStatus here and nowhere else.
USBStatus statusFromLibusb(int code)
{
    switch (code) {
    case LIBUSB_SUCCESS: return USBStatus::Success;
    case LIBUSB_ERROR_TIMEOUT: return USBStatus::Timeout;
    case LIBUSB_ERROR_PIPE: return USBStatus::Stall;
    case LIBUSB_ERROR_NO_DEVICE: return USBStatus::NoDevice;
    case LIBUSB_ERROR_NOT_FOUND: return USBStatus::NotFound;
    case LIBUSB_ERROR_ACCESS: return USBStatus::Access;
    case LIBUSB_ERROR_BUSY: return USBStatus::Busy;
    case LIBUSB_ERROR_OVERFLOW: return USBStatus::Overflow;
    case LIBUSB_ERROR_INVALID_PARAM: return USBStatus::InvalidArgument;
    case LIBUSB_ERROR_NOT_SUPPORTED: return USBStatus::NotSupported;
    case LIBUSB_ERROR_NO_MEM: return USBStatus::NoMemory;
    default: return USBStatus::IOError;
    }
}

// libusb reads a time-out of 0 as "wait for ever"; ours are always finite.
unsigned finite(unsigned timeoutMs)
{
    return std::max(timeoutMs, 1u);
}

// One watch's events, left by libusb's hot-plug callback (on whichever thread handled libusb's
// events) for the watch's own thread.
struct WatchSink {
    USBBus::EventHandler handler;
    std::mutex mutex;
    std::deque<std::pair<USBEvent, USBDeviceId>> pending;
    std::atomic<bool> stopping{false};
    std::thread thread;
};

} // namespace

struct LibusbBus::Context {
    libusb_context* usb = nullptr;
    USBStatus availability = USBStatus::Success;
    // Cleared when the bus object goes: accesses that outlive it answer NoDevice.
    std::atomic<bool> busAlive{true};

    std::mutex idMutex;
    std::map<libusb_device*, USBDeviceId> ids; // each key holds a libusb reference
    USBDeviceId nextId = 1;

    std::mutex lifecycleMutex; // registration of the hot-plug callback
    std::atomic<int> watchCount{0};
    libusb_hotplug_callback_handle hotplug = 0;
    std::mutex sinkMutex;
    std::vector<std::shared_ptr<WatchSink>> sinks;

    ~Context()
    {
        for (const auto& [device, id] : ids)
            libusb_unref_device(device);
        if (usb)
            libusb_exit(usb);
    }

    USBDeviceId idFor(libusb_device* device)
    {
        std::lock_guard lock(idMutex);
        auto [it, added] = ids.emplace(device, nextId);
        if (added) {
            libusb_ref_device(device);
            ++nextId;
        }
        return it->second;
    }

    // The id of a device that left (0 when it had none), no longer mapped.
    USBDeviceId forget(libusb_device* device)
    {
        std::lock_guard lock(idMutex);
        auto it = ids.find(device);
        if (it == ids.end())
            return 0;
        const USBDeviceId id = it->second;
        ids.erase(it);
        libusb_unref_device(device);
        return id;
    }

    static int LIBUSB_CALL hotplugCallback(libusb_context*, libusb_device* device, libusb_hotplug_event event,
                                           void* userData)
    {
        auto* context = static_cast<Context*>(userData);
        const bool arrived = event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED;
        const USBDeviceId id = arrived ? context->idFor(device) : context->forget(device);
        if (id == 0)
            return 0;
        std::lock_guard lock(context->sinkMutex);
        for (const auto& sink : context->sinks) {
            std::lock_guard sinkLock(sink->mutex);
            sink->pending.emplace_back(arrived ? USBEvent::Arrived : USBEvent::Left, id);
        }
        return 0; // stay registered
    }

    bool addWatch(const std::shared_ptr<WatchSink>& sink)
    {
        std::lock_guard lock(lifecycleMutex);
        if (watchCount == 0) {
            const int events = LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;
            const int result = libusb_hotplug_register_callback(
                usb, static_cast<libusb_hotplug_event>(events), static_cast<libusb_hotplug_flag>(0),
                LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, hotplugCallback, this,
                &hotplug);
            if (result != LIBUSB_SUCCESS)
                return false;
        }
        ++watchCount;
        std::lock_guard sinkLock(sinkMutex);
        sinks.push_back(sink);
        return true;
    }

    void removeWatch(const std::shared_ptr<WatchSink>& sink)
    {
        std::lock_guard lock(lifecycleMutex);
        {
            std::lock_guard sinkLock(sinkMutex);
            std::erase(sinks, sink);
        }
        if (--watchCount == 0)
            libusb_hotplug_deregister_callback(usb, hotplug);
    }
};

namespace {

class LibusbAccess final : public USBDeviceAccess {
public:
    LibusbAccess(std::shared_ptr<LibusbBus::Context> context, libusb_device* device, USBDeviceId id)
        : fContext(std::move(context)), fDevice(libusb_ref_device(device)), fId(id)
    {
        libusb_device_descriptor descriptor{};
        libusb_get_device_descriptor(fDevice, &descriptor);
        fDescription.vendorId = descriptor.idVendor;
        fDescription.productId = descriptor.idProduct;
        fDescription.numberOfConfigurations = descriptor.bNumConfigurations;
        fDescription.busNumber = libusb_get_bus_number(fDevice);
        fDescription.address = libusb_get_device_address(fDevice);
        char node[32];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", fDescription.busNumber, fDescription.address);
        fDescription.node = node;
        fProductIndex = descriptor.iProduct;
    }

    ~LibusbAccess() override
    {
        close();
        libusb_unref_device(fDevice);
    }

    USBDeviceId id() const override { return fId; }
    const USBDeviceDescription& description() const override { return fDescription; }

    std::string productString() override
    {
        if (fProductIndex == 0 || !fContext->busAlive)
            return "";
        libusb_device_handle* handle = fHandle;
        if (!handle && libusb_open(fDevice, &handle) != LIBUSB_SUCCESS)
            return "";
        unsigned char text[256];
        const int length = libusb_get_string_descriptor_ascii(handle, fProductIndex, text, sizeof text);
        if (handle != fHandle)
            libusb_close(handle);
        return length > 0 ? std::string(reinterpret_cast<char*>(text), static_cast<size_t>(length)) : "";
    }

    USBStatus open() override
    {
        if (!fContext->busAlive)
            return USBStatus::NoDevice;
        if (fHandle)
            return USBStatus::Success;
        const int result = libusb_open(fDevice, &fHandle);
        if (result != LIBUSB_SUCCESS) {
            fHandle = nullptr;
            return statusFromLibusb(result);
        }
        // Claims detach the kernel's driver and releases give it back; a platform that cannot
        // detach answers NOT_SUPPORTED here, and its claims then meet the driver as Busy.
        libusb_set_auto_detach_kernel_driver(fHandle, 1);
        return USBStatus::Success;
    }

    void close() override
    {
        if (!fHandle)
            return;
        for (uint8_t number : fClaimed)
            libusb_release_interface(fHandle, number);
        fClaimed.clear();
        libusb_close(fHandle);
        fHandle = nullptr;
    }

    bool isOpen() const override { return fHandle != nullptr; }

    std::vector<USBInterfaceDescription> interfaces() override
    {
        std::vector<USBInterfaceDescription> result;
        libusb_config_descriptor* config = nullptr;
        // Read from the descriptors the kernel keeps: no open, so users without access see them too.
        if (!fContext->busAlive || libusb_get_active_config_descriptor(fDevice, &config) != LIBUSB_SUCCESS)
            return result;
        for (int i = 0; i < config->bNumInterfaces; ++i) {
            if (config->interface[i].num_altsetting < 1)
                continue;
            const libusb_interface_descriptor& setting = config->interface[i].altsetting[0];
            USBInterfaceDescription& interface = result.emplace_back();
            interface.number = setting.bInterfaceNumber;
            interface.alternateSetting = setting.bAlternateSetting;
            interface.interfaceClass = setting.bInterfaceClass;
            interface.interfaceSubClass = setting.bInterfaceSubClass;
            interface.interfaceProtocol = setting.bInterfaceProtocol;
            for (int e = 0; e < setting.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
                interface.endpoints.push_back({endpoint.bEndpointAddress,
                                               static_cast<USBTransferType>(endpoint.bmAttributes & 0x03),
                                               endpoint.wMaxPacketSize});
            }
        }
        libusb_free_config_descriptor(config);
        return result;
    }

    USBStatus control(const USBControlSetup& setup, uint8_t* data, unsigned timeoutMs,
                      uint32_t* transferred) override
    {
        if (transferred)
            *transferred = 0;
        if (const USBStatus status = usable(); status != USBStatus::Success)
            return status;
        if (setup.wLength > 0 && !data)
            return USBStatus::InvalidArgument;
        const int result = libusb_control_transfer(fHandle, setup.bmRequestType, setup.bRequest, setup.wValue,
                                                   setup.wIndex, data, setup.wLength, finite(timeoutMs));
        if (result < 0)
            return statusFromLibusb(result);
        if (transferred)
            *transferred = static_cast<uint32_t>(result);
        return USBStatus::Success;
    }

    USBStatus claimInterface(uint8_t number) override
    {
        if (const USBStatus status = usable(); status != USBStatus::Success)
            return status;
        const int result = libusb_claim_interface(fHandle, number);
        if (result == LIBUSB_SUCCESS)
            fClaimed.insert(number);
        return statusFromLibusb(result);
    }

    USBStatus releaseInterface(uint8_t number) override
    {
        if (const USBStatus status = usable(); status != USBStatus::Success)
            return status;
        fClaimed.erase(number);
        return statusFromLibusb(libusb_release_interface(fHandle, number));
    }

    USBStatus transfer(const USBEndpointDescription& endpoint, uint8_t* data, uint32_t length,
                       unsigned noDataTimeoutMs, unsigned completionTimeoutMs, uint32_t* transferred) override
    {
        uint32_t done = 0;
        const USBStatus status = transferLoop(endpoint, data, length, noDataTimeoutMs, completionTimeoutMs, done);
        if (transferred)
            *transferred = done;
        return status;
    }

private:
    USBStatus usable() const
    {
        if (!fContext->busAlive)
            return USBStatus::NoDevice;
        return fHandle ? USBStatus::Success : USBStatus::NotOpen;
    }

    // libusb's transfers have one time-out; each wait gets the no-data time-out (or what is left
    // of the whole), and a wait that moved some bytes but not all goes on with the rest.
    USBStatus transferLoop(const USBEndpointDescription& endpoint, uint8_t* data, uint32_t length,
                           unsigned noDataTimeoutMs, unsigned completionTimeoutMs, uint32_t& done)
    {
        if (const USBStatus status = usable(); status != USBStatus::Success)
            return status;
        if (endpoint.type != USBTransferType::Bulk && endpoint.type != USBTransferType::Interrupt)
            return USBStatus::NotSupported;
        if (length > 0 && !data)
            return USBStatus::InvalidArgument;
        using Clock = std::chrono::steady_clock;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(completionTimeoutMs);
        while (true) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return USBStatus::Timeout;
            const unsigned wait = finite(std::min<unsigned>(noDataTimeoutMs, static_cast<unsigned>(left)));
            int moved = 0;
            const auto call = endpoint.type == USBTransferType::Bulk ? libusb_bulk_transfer : libusb_interrupt_transfer;
            const int result =
                call(fHandle, endpoint.address, data + done, static_cast<int>(length - done), &moved, wait);
            done += static_cast<uint32_t>(std::max(moved, 0));
            // Success is a write sent whole, or a read that filled the buffer or ended short.
            if (result != LIBUSB_ERROR_TIMEOUT || moved <= 0 || done >= length)
                return statusFromLibusb(result);
        }
    }

    std::shared_ptr<LibusbBus::Context> fContext;
    libusb_device* fDevice;
    USBDeviceId fId;
    USBDeviceDescription fDescription;
    uint8_t fProductIndex = 0;
    libusb_device_handle* fHandle = nullptr;
    std::set<uint8_t> fClaimed;
};

class LibusbWatch final : public USBWatch {
public:
    LibusbWatch(std::shared_ptr<LibusbBus::Context> context, std::shared_ptr<WatchSink> sink)
        : fContext(std::move(context)), fSink(std::move(sink))
    {
        fSink->thread = std::thread([usb = fContext->usb, sink = fSink.get()] { run(usb, *sink); });
    }

    ~LibusbWatch() override
    {
        fContext->removeWatch(fSink);
        fSink->stopping = true;
        libusb_interrupt_event_handler(fContext->usb);
        fSink->thread.join();
    }

private:
    // Handles libusb's events (hot-plug messages among them) and hands this watch's share to its
    // handler outside libusb's locks, so that the handler may use the bus.
    static void run(libusb_context* usb, WatchSink& sink)
    {
        while (!sink.stopping) {
            timeval wait{1, 0}; // bounds the wake-up should an interruption be consumed elsewhere
            libusb_handle_events_timeout_completed(usb, &wait, nullptr);
            std::deque<std::pair<USBEvent, USBDeviceId>> events;
            {
                std::lock_guard lock(sink.mutex);
                events.swap(sink.pending);
            }
            for (const auto& [event, id] : events) {
                if (sink.stopping)
                    return;
                sink.handler(event, id);
            }
        }
    }

    std::shared_ptr<LibusbBus::Context> fContext;
    std::shared_ptr<WatchSink> fSink;
};

} // namespace

std::shared_ptr<LibusbBus> LibusbBus::create()
{
    return std::shared_ptr<LibusbBus>(new LibusbBus());
}

LibusbBus::LibusbBus() : fContext(std::make_shared<Context>())
{
    const int result = libusb_init(&fContext->usb);
    if (result == LIBUSB_SUCCESS)
        return;
    fContext->usb = nullptr;
    // libusb_init fails with OTHER or NOT_FOUND where it finds no usbfs or no device monitor.
    const USBStatus status = statusFromLibusb(result);
    fContext->availability =
        status == USBStatus::Access || status == USBStatus::NoMemory ? status : USBStatus::NotSupported;
}

LibusbBus::~LibusbBus()
{
    fContext->busAlive = false;
}

USBStatus LibusbBus::availability() const
{
    return fContext->availability;
}

std::vector<USBDeviceId> LibusbBus::deviceIds()
{
    std::vector<USBDeviceId> result;
    libusb_device** list = nullptr;
    if (!fContext->usb)
        return result;
    const ssize_t count = libusb_get_device_list(fContext->usb, &list);
    if (count < 0)
        return result;
    {
        std::lock_guard lock(fContext->idMutex);
        // While a watch runs, departures are dropped by their "left" event, which must still
        // find the id; otherwise prune what is no longer listed.
        if (fContext->watchCount == 0) {
            for (auto it = fContext->ids.begin(); it != fContext->ids.end();) {
                if (std::find(list, list + count, it->first) != list + count) {
                    ++it;
                    continue;
                }
                libusb_unref_device(it->first);
                it = fContext->ids.erase(it);
            }
        }
        for (ssize_t i = 0; i < count; ++i) {
            auto [it, added] = fContext->ids.emplace(list[i], fContext->nextId);
            if (added) {
                libusb_ref_device(list[i]);
                ++fContext->nextId;
            }
            result.push_back(it->second);
        }
    }
    libusb_free_device_list(list, 1);
    return result;
}

std::unique_ptr<USBDeviceAccess> LibusbBus::access(USBDeviceId id)
{
    if (!fContext->usb || id == 0)
        return nullptr;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(fContext->usb, &list);
    if (count < 0)
        return nullptr;
    std::unique_ptr<USBDeviceAccess> result;
    {
        std::lock_guard lock(fContext->idMutex);
        auto it = std::find_if(fContext->ids.begin(), fContext->ids.end(),
                               [id](const auto& entry) { return entry.second == id; });
        // A mapped device no longer listed is gone, though its "left" event may still be on its way.
        if (it != fContext->ids.end() && std::find(list, list + count, it->first) != list + count)
            result = std::make_unique<LibusbAccess>(fContext, it->first, id);
    }
    libusb_free_device_list(list, 1);
    return result;
}

std::unique_ptr<USBWatch> LibusbBus::watch(EventHandler handler)
{
    if (!fContext->usb || !handler || !libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG))
        return nullptr;
    auto sink = std::make_shared<WatchSink>();
    sink->handler = std::move(handler);
    if (!fContext->addWatch(sink))
        return nullptr;
    return std::make_unique<LibusbWatch>(fContext, std::move(sink));
}

} // namespace qarn
