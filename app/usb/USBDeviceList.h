#pragma once
// The attached USB devices whose (vendor id, product id) pair is one of a given set, followed as
// they are plugged in and pulled out.
//
// Threads: the list belongs to the thread that created it, whose main queue (the Qt event loop
// in the monitor, a RunLoop elsewhere) delivers the bus's events: devices() changes and the
// delegates are called only on that thread, and only while it runs its queue. The bus's event
// thread does nothing but hand the events over; events still queued when the list is destroyed
// are dropped.

#include "platform/MainQueue.h"
#include "platform/USBBus.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace qarn {

class USBDevice;

// Both calls are optional: the defaults do nothing.
class USBDeviceListDelegate {
public:
    virtual ~USBDeviceListDelegate();
    // After a matching device arrived and was appended to devices().
    virtual void didAddDevice(const std::shared_ptr<USBDevice>& device);
    // Before a listed device that left is removed from devices().
    virtual void willRemoveDevice(const std::shared_ptr<USBDevice>& device);
};

class USBDeviceList : public std::enable_shared_from_this<USBDeviceList> {
public:
    // initWithVendors with [vendor] and [product].
    static std::shared_ptr<USBDeviceList> initWithVendor(USBBus& bus, MainQueue& queue,
                                                         uint16_t vendor, uint16_t product);
    // Lists the matching devices present (telling no delegate) and follows the bus from then on.
    // Pair k is (vendors[k], products[k]); null when products has fewer entries than vendors.
    // bus and queue must outlive the list.
    static std::shared_ptr<USBDeviceList> initWithVendors(USBBus& bus, MainQueue& queue,
                                                          std::vector<uint16_t> vendors,
                                                          std::vector<uint16_t> products);
    ~USBDeviceList();

    USBDeviceList(const USBDeviceList&) = delete;
    USBDeviceList& operator=(const USBDeviceList&) = delete;

    // The matching devices present, in the order they were found; the list itself.
    std::vector<std::shared_ptr<USBDevice>>& devices() { return fDevices; }

    // The list holds its delegates (a delegate added twice is held once) until they are removed,
    // so a delegate is never called after its destruction. Calls go out in the order the
    // delegates were added. Adding or removing a delegate from inside a call takes effect from
    // the next event.
    void addDelegate(std::shared_ptr<USBDeviceListDelegate> delegate);
    void removeDelegate(const USBDeviceListDelegate* delegate);

    // Whether arrivals and removals are followed (false where the bus cannot watch).
    bool isWatching() const { return fWatch != nullptr; }

    // The publish and terminate handlers: each device of ids, in order, added (when it matches
    // and is not listed yet) and announced, or announced and removed (when it is listed).
    void SerialDeviceWasAddedFunction(const std::vector<USBDeviceId>& ids);
    void SerialPortWasRemovedFunction(const std::vector<USBDeviceId>& ids);

private:
    USBDeviceList(USBBus& bus, MainQueue& queue, std::vector<uint16_t> vendors,
                  std::vector<uint16_t> products);
    bool matches(const USBDevice& device) const;

    USBBus& fBus;
    std::vector<std::shared_ptr<USBDevice>> fDevices;
    std::vector<std::shared_ptr<USBDeviceListDelegate>> fDelegates;
    const std::vector<uint16_t> fVendorIds;
    const std::vector<uint16_t> fProductIds;

    // Where the bus's event thread leaves events for the list's thread; shared with the queued
    // tasks, so neither thread ever holds the list itself.
    struct Inbox;
    std::shared_ptr<Inbox> fInbox;
    std::unique_ptr<USBWatch> fWatch;
};

} // namespace qarn
