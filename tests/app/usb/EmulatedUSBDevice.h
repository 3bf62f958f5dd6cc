#pragma once
// A USB device on a umockdev testbed (bus 1) that speaks usbdevfs for real: libusb lists it from
// its sysfs attributes and talks to its node through the ioctls the kernel would answer. One
// configuration, one interface (0, kernel driver bound) with bulk OUT 0x02 and bulk IN 0x81.
// It answers string descriptor requests itself, takes every OUT transfer whole, answers IN
// transfers from replies the test queued, and fails the test on any ioctl or URB it does not
// expect. Its ioctls run on umockdev's thread.

#include <umockdev.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class EmulatedUSBDevice {
public:
    // answering false: a device that is only listed (hot-plug), never opened.
    EmulatedUSBDevice(UMockdevTestbed* testbed, int address, uint16_t vendor, uint16_t product, bool answering);
    ~EmulatedUSBDevice();

    const std::string& sysfsPath() const { return fSysfsPath; }

    // One transfer as it reached the device: control setup bytes and OUT data, or bulk OUT data.
    struct Transfer {
        uint8_t endpoint;
        std::vector<uint8_t> bytes;
        bool operator==(const Transfer&) const = default;
    };
    std::vector<Transfer> transfers();

    // Replies for IN transfers on endpoint (0x80: control IN), one per transfer, in order.
    void queueReply(uint8_t endpoint, std::vector<uint8_t> bytes);
    void reset();

    std::atomic<bool> silent{false};           // leaves every transfer but descriptor requests unanswered
    std::atomic<bool> claimedElsewhere{false}; // another program holds interface 0
    std::atomic<bool> driverBound{true};       // the kernel's driver holds interface 0
    std::atomic<bool> claimed{false};          // this program holds it

private:
    struct Urb;
    static gboolean onIoctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer self);
    bool handle(UMockdevIoctlClient* client, unsigned long request, UMockdevIoctlData* arg, int& error);
    void submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void answer(Urb& urb);

    UMockdevTestbed* fTestbed;
    UMockdevIoctlBase* fHandler = nullptr;
    std::string fNode;
    std::string fSysfsPath;
    std::vector<std::string> fStrings;

    std::mutex fMutex;
    std::vector<Transfer> fTransfers;
    std::map<uint8_t, std::deque<std::vector<uint8_t>>> fReplies;
    std::vector<Urb> fUrbs;
};
