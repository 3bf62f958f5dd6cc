// Hot-plug on the libusb backend: devices added to and removed from the umockdev testbed.
#include "LibusbBusTestbed.h"

#include "platform/RunLoop.h"
#include "usb/USBDeviceList.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <future>
#include <thread>

#if defined(__SANITIZE_THREAD__)
// umockdev's worker thread destroys a GLib mutex that the testbed's teardown has just unlocked:
// a race between umockdev's own threads, not ours.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:umockdev_ioctl_base_unregister_path\n";
}
#endif

namespace qarn {
namespace {

// Devices beside the Kraken come and go on bus 1 while the test watches.
class LibusbHotplugTest : public LibusbBusTest {};

// Calls that come on other threads: whether a device arrived, its id, the thread of the call.
class CallLog : public USBDeviceListDelegate {
public:
    struct Call {
        bool added;
        USBDeviceId id;
        std::thread::id thread;
    };
    void didAddDevice(const std::shared_ptr<USBDevice>& device) override { record(true, device->service()); }
    void willRemoveDevice(const std::shared_ptr<USBDevice>& device) override { record(false, device->service()); }
    void record(bool added, USBDeviceId id)
    {
        std::lock_guard lock(fMutex);
        fCalls.push_back({added, id, std::this_thread::get_id()});
        fChanged.notify_all();
    }
    // The calls so far, once there are at least count of them (or the deadline passed).
    std::vector<Call> waitFor(size_t count)
    {
        std::unique_lock lock(fMutex);
        fChanged.wait_for(lock, std::chrono::seconds(10), [&] { return fCalls.size() >= count; });
        return fCalls;
    }

private:
    std::mutex fMutex;
    std::condition_variable fChanged;
    std::vector<Call> fCalls;
};

TEST_F(LibusbHotplugTest, WatchesSeeTheSameIdsAndStopWhenDestroyed)
{
    CallLog logs[2];
    const auto handler = [](CallLog& log) {
        return [&log](USBEvent event, USBDeviceId id) { log.record(event == USBEvent::Arrived, id); };
    };
    std::unique_ptr<USBWatch> first = bus->watch(handler(logs[0]));
    std::unique_ptr<USBWatch> second = bus->watch(handler(logs[1]));
    ASSERT_TRUE(first && second);

    EmulatedUSBDevice added(testbed, 5, kVendor, kProduct, false);
    const std::vector<CallLog::Call> arrived = logs[0].waitFor(1);
    ASSERT_EQ(arrived.size(), 1u);
    ASSERT_EQ(logs[1].waitFor(1).size(), 1u);
    EXPECT_TRUE(arrived[0].added);
    const USBDeviceId id = arrived[0].id;
    EXPECT_EQ(logs[1].waitFor(1)[0].id, id);
    std::vector<USBDeviceId> ids = bus->deviceIds();
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<USBDeviceId>{device->service(), id}));

    first.reset();
    umockdev_testbed_uevent(testbed, added.sysfsPath().c_str(), "remove");
    const std::vector<CallLog::Call> calls = logs[1].waitFor(2);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_FALSE(calls[1].added);
    EXPECT_EQ(calls[1].id, id);
    EXPECT_EQ(logs[0].waitFor(0).size(), 1u) << "a destroyed watch was called";
    EXPECT_EQ(bus->access(id), nullptr);
}

TEST_F(LibusbHotplugTest, ListFollowsArrivalAndRemovalOnItsThread)
{
    auto recorder = std::make_shared<CallLog>();
    RunLoop loop;
    std::shared_ptr<USBDeviceList> list;
    std::promise<void> ready;
    std::thread owner([&] {
        list = USBDeviceList::initWithVendor(*bus, loop, kVendor, kProduct);
        list->addDelegate(recorder);
        ready.set_value();
        loop.run();
        list.reset();
    });
    struct Joiner {
        RunLoop& loop;
        std::thread& thread;
        ~Joiner() { loop.stop(), thread.join(); }
    } joiner{loop, owner};
    ready.get_future().wait();
    ASSERT_TRUE(list->isWatching());
    // The listed devices' ids, read on the list's thread.
    const auto listed = [&] {
        std::promise<std::vector<USBDeviceId>> ids;
        loop.dispatchAsync([&] {
            std::vector<USBDeviceId> result;
            for (const auto& listedDevice : list->devices())
                result.push_back(listedDevice->service());
            ids.set_value(result);
        });
        return ids.get_future().get();
    };
    EXPECT_EQ(listed(), std::vector<USBDeviceId>{device->service()});

    {
        // Events come in order: once the matching device is announced, the other was passed over.
        EmulatedUSBDevice other(testbed, 4, 0x1234, 0x5678, false);
        EmulatedUSBDevice second(testbed, 3, kVendor, kProduct, false);
        std::vector<CallLog::Call> calls = recorder->waitFor(1);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_TRUE(calls[0].added);
        EXPECT_EQ(calls[0].thread, owner.get_id());
        const USBDeviceId secondId = calls[0].id;
        EXPECT_EQ(listed(), (std::vector<USBDeviceId>{device->service(), secondId}));

        umockdev_testbed_uevent(testbed, second.sysfsPath().c_str(), "remove");
        calls = recorder->waitFor(2);
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_FALSE(calls[1].added);
        EXPECT_EQ(calls[1].id, secondId);
        EXPECT_EQ(calls[1].thread, owner.get_id());
        EXPECT_EQ(listed(), std::vector<USBDeviceId>{device->service()});
    }
}

} // namespace
} // namespace qarn
