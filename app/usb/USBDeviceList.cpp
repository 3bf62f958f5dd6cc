#include "usb/USBDeviceList.h"

#include "usb/USBDevice.h"

#include <algorithm>
#include <mutex>

namespace qarn {

USBDeviceListDelegate::~USBDeviceListDelegate() = default;
void USBDeviceListDelegate::didAddDevice(const std::shared_ptr<USBDevice>&) {}
void USBDeviceListDelegate::willRemoveDevice(const std::shared_ptr<USBDevice>&) {}

struct USBDeviceList::Inbox {
    MainQueue& queue;
    std::weak_ptr<USBDeviceList> list;

    std::mutex mutex;
    std::vector<std::pair<USBEvent, USBDeviceId>> pending;
    bool deliveryQueued = false;

    explicit Inbox(MainQueue& q) : queue(q) {}

    // On the bus's event thread: keep the event, and wake the list's thread once for a burst.
    static void post(const std::shared_ptr<Inbox>& inbox, USBEvent event, USBDeviceId id)
    {
        std::lock_guard lock(inbox->mutex);
        inbox->pending.emplace_back(event, id);
        if (inbox->deliveryQueued)
            return;
        inbox->deliveryQueued = true;
        inbox->queue.dispatchAsync([inbox] { deliver(inbox); });
    }

    // On the list's thread: each run of events of one kind is one notification, as the registry
    // hands out one iterator for the devices published (or terminated) together.
    static void deliver(const std::shared_ptr<Inbox>& inbox)
    {
        std::vector<std::pair<USBEvent, USBDeviceId>> events;
        {
            std::lock_guard lock(inbox->mutex);
            events.swap(inbox->pending);
            inbox->deliveryQueued = false;
        }
        std::shared_ptr<USBDeviceList> list = inbox->list.lock();
        if (!list)
            return;
        size_t start = 0;
        while (start < events.size()) {
            size_t end = start;
            std::vector<USBDeviceId> ids;
            while (end < events.size() && events[end].first == events[start].first)
                ids.push_back(events[end++].second);
            if (events[start].first == USBEvent::Arrived)
                list->SerialDeviceWasAddedFunction(ids);
            else
                list->SerialPortWasRemovedFunction(ids);
            start = end;
        }
    }
};

std::shared_ptr<USBDeviceList> USBDeviceList::initWithVendor(USBBus& bus, MainQueue& queue, uint16_t vendor,
                                                             uint16_t product)
{
    return initWithVendors(bus, queue, {vendor}, {product});
}

std::shared_ptr<USBDeviceList> USBDeviceList::initWithVendors(USBBus& bus, MainQueue& queue,
                                                              std::vector<uint16_t> vendors,
                                                              std::vector<uint16_t> products)
{
    if (products.size() < vendors.size())
        return nullptr;
    std::shared_ptr<USBDeviceList> list(new USBDeviceList(bus, queue, std::move(vendors), std::move(products)));
    list->fInbox->list = list;

    // Watch first, then list: a device that arrives in between is seen by both, and the
    // publish handler skips what is listed already, so nothing falls between the two.
    std::shared_ptr<Inbox> inbox = list->fInbox;
    list->fWatch = bus.watch([inbox](USBEvent event, USBDeviceId id) { Inbox::post(inbox, event, id); });

    for (USBDeviceId id : bus.deviceIds()) {
        std::shared_ptr<USBDevice> device = USBDevice::initWithService(bus, id);
        if (device && list->matches(*device))
            list->fDevices.push_back(std::move(device));
    }
    return list;
}

USBDeviceList::USBDeviceList(USBBus& bus, MainQueue& queue, std::vector<uint16_t> vendors,
                             std::vector<uint16_t> products)
    : fBus(bus), fVendorIds(std::move(vendors)), fProductIds(std::move(products)),
      fInbox(std::make_shared<Inbox>(queue))
{
}

USBDeviceList::~USBDeviceList()
{
    // Stop the events before the devices go; tasks already queued find no list and do nothing.
    fWatch.reset();
    fDevices.clear();
}

bool USBDeviceList::matches(const USBDevice& device) const
{
    for (size_t k = 0; k < fVendorIds.size(); ++k) {
        if (fVendorIds[k] == device.vendorId())
            if (fProductIds[k] == device.productId())
                return true;
    }
    return false;
}

void USBDeviceList::addDelegate(std::shared_ptr<USBDeviceListDelegate> delegate)
{
    if (delegate && std::find(fDelegates.begin(), fDelegates.end(), delegate) == fDelegates.end())
        fDelegates.push_back(std::move(delegate));
}

void USBDeviceList::removeDelegate(const USBDeviceListDelegate* delegate)
{
    std::erase_if(fDelegates, [delegate](const auto& held) { return held.get() == delegate; });
}

void USBDeviceList::SerialDeviceWasAddedFunction(const std::vector<USBDeviceId>& ids)
{
    for (USBDeviceId id : ids) {
        const bool listed = std::any_of(fDevices.begin(), fDevices.end(),
                                        [id](const auto& device) { return device->service() == id; });
        if (listed)
            continue;
        std::shared_ptr<USBDevice> device = USBDevice::initWithService(fBus, id);
        if (!device || !matches(*device))
            continue;
        fDevices.push_back(device);
        // A copy: a delegate that adds or removes delegates changes the next event's set.
        const auto delegates = fDelegates;
        for (const auto& delegate : delegates)
            delegate->didAddDevice(device);
    }
}

void USBDeviceList::SerialPortWasRemovedFunction(const std::vector<USBDeviceId>& ids)
{
    for (USBDeviceId id : ids) {
        auto it = std::find_if(fDevices.begin(), fDevices.end(),
                               [id](const auto& device) { return device->service() == id; });
        if (it == fDevices.end())
            continue;
        std::shared_ptr<USBDevice> device = *it;
        const auto delegates = fDelegates;
        for (const auto& delegate : delegates)
            delegate->willRemoveDevice(device);
        // The delegates may have changed the list's neighbours but not the list: find it again.
        std::erase(fDevices, device);
    }
}

} // namespace qarn
