// USBDeviceList on the simulated bus: what it lists, what it announces, and on which thread.
#include "platform/RunLoop.h"
#include "sim/SimulatedUSBBus.h"
#include "usb/USBDevice.h"
#include "usb/USBDeviceList.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

using namespace qarn;
using sim::ScriptedUSBDevice;

namespace {

std::shared_ptr<ScriptedUSBDevice> device(uint16_t vendor, uint16_t product)
{
    return std::make_shared<ScriptedUSBDevice>(vendor, product, "", sim::krakenX31Interfaces());
}

// Writes down each call: "+id" or "-id", with the list's size at that moment, and the thread.
struct Recorder : USBDeviceListDelegate {
    USBDeviceList* list = nullptr;
    std::vector<std::string> calls;
    std::vector<std::thread::id> threads;
    void didAddDevice(const std::shared_ptr<USBDevice>& d) override { note('+', *d); }
    void willRemoveDevice(const std::shared_ptr<USBDevice>& d) override { note('-', *d); }
    void note(char sign, const USBDevice& d)
    {
        calls.push_back(sign + std::to_string(d.service()) + "/" + std::to_string(list->devices().size()));
        threads.push_back(std::this_thread::get_id());
    }
};

std::vector<USBDeviceId> listed(USBDeviceList& list)
{
    std::vector<USBDeviceId> ids;
    for (const auto& d : list.devices())
        ids.push_back(d->service());
    return ids;
}

struct USBDeviceListTest : ::testing::Test {
    sim::SimulatedUSBBus bus;
    RunLoop loop;
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();

    std::shared_ptr<USBDeviceList> list(std::vector<uint16_t> vendors, std::vector<uint16_t> products)
    {
        auto made = USBDeviceList::initWithVendors(bus, loop, std::move(vendors), std::move(products));
        recorder->list = made.get();
        made->addDelegate(recorder);
        return made;
    }
};

TEST_F(USBDeviceListTest, ListsMatchingDevicesAndAnnouncesEachArrivalAndRemovalInOrder)
{
    const USBDeviceId present = bus.plug(device(0x2433, 0xB200));
    bus.plug(device(0x2433, 0x0001));
    auto devices = list({0x2433, 0x1E71, 0x2433}, {0xB200, 0x170E, 0xB200});
    EXPECT_EQ(listed(*devices), std::vector<USBDeviceId>{present}) << "present at creation, once, unannounced";
    EXPECT_TRUE(devices->isWatching());

    // Two together: each appended and announced before the next; strangers never listed.
    const auto together = bus.plug({device(0x1E71, 0x170E), device(0x1234, 0x5678), device(0x2433, 0xB200)});
    bus.pull(together[1]);
    bus.pull(present);
    bus.pull(999);
    EXPECT_TRUE(recorder->calls.empty()) << "nothing happens until the list's thread runs its loop";
    loop.runPending();
    EXPECT_EQ(recorder->calls, (std::vector<std::string>{"+" + std::to_string(together[0]) + "/2",
                                                         "+" + std::to_string(together[2]) + "/3",
                                                         "-" + std::to_string(present) + "/3"}));
    EXPECT_EQ(listed(*devices), (std::vector<USBDeviceId>{together[0], together[2]}));

    devices->removeDelegate(recorder.get());
    std::weak_ptr<Recorder> removed = recorder;
    recorder.reset();
    EXPECT_TRUE(removed.expired()) << "a removed delegate is no longer held";
    bus.pull(together[0]);
    loop.runPending();
    EXPECT_EQ(listed(*devices), std::vector<USBDeviceId>{together[2]});
}

TEST_F(USBDeviceListTest, PairsNeedAProductForEveryVendor)
{
    EXPECT_EQ(USBDeviceList::initWithVendors(bus, loop, {0x2433, 0x1E71}, {0xB200}), nullptr);
    auto one = USBDeviceList::initWithVendor(bus, loop, 0x2433, 0xB200);
    bus.plug(device(0x2433, 0xB200));
    loop.runPending();
    EXPECT_EQ(one->devices().size(), 1u);
}

TEST_F(USBDeviceListTest, EventsReachTheCreatingThreadWhileItRunsItsLoopAndStopWithTheList)
{
    std::shared_ptr<USBDeviceList> devices;
    std::thread::id listThread;
    std::promise<void> ready;
    std::thread owner([&] {
        listThread = std::this_thread::get_id();
        devices = list({0x2433}, {0xB200});
        ready.set_value();
        loop.run();
        devices.reset(); // the list dies on its thread, with events possibly still queued
    });
    // Plugged from this thread, which stands for the bus's event thread.
    ready.get_future().wait();
    const USBDeviceId id = bus.plug(device(0x2433, 0xB200));
    std::promise<void> arrived; // a device pulled before the list looked at it is never listed
    loop.dispatchAsync([&] { arrived.set_value(); });
    arrived.get_future().wait();
    bus.pull(id);
    loop.dispatchAsync([&] { loop.stop(); });
    owner.join();
    bus.plug(device(0x2433, 0xB200));
    EXPECT_EQ(recorder->calls, (std::vector<std::string>{"+" + std::to_string(id) + "/1", "-" + std::to_string(id) + "/1"}));
    for (const auto& thread : recorder->threads)
        EXPECT_EQ(thread, listThread);
}

} // namespace
