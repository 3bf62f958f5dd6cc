#include "EmulatedUSBDevice.h"

#include <gtest/gtest.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

UMockdevIoctlData* resolve(UMockdevIoctlData* data, size_t offset, size_t length)
{
    GError* error = nullptr;
    UMockdevIoctlData* resolved = umockdev_ioctl_data_resolve(data, offset, length, &error);
    if (error) {
        ADD_FAILURE() << "cannot read the caller's memory: " << error->message;
        g_error_free(error);
    }
    return resolved;
}

std::vector<uint8_t> descriptors(uint16_t vendor, uint16_t product)
{
    const auto lo = [](uint16_t v) { return static_cast<uint8_t>(v & 0xFF); };
    const auto hi = [](uint16_t v) { return static_cast<uint8_t>(v >> 8); };
    return {// device: USB 2.0, 64-byte control packets, iProduct 1, one configuration
            18, 1, 0x00, 0x02, 0, 0, 0, 64, lo(vendor), hi(vendor), lo(product), hi(product), 0x00, 0x01, 0, 1, 0, 1,
            // configuration 1 (32 bytes in all), one interface
            9, 2, 32, 0, 1, 1, 0, 0x80, 50,
            // interface 0, two endpoints, vendor class
            9, 4, 0, 0, 2, 0xFF, 0, 0, 0,
            // bulk OUT 0x02, bulk IN 0x81, 64-byte packets
            7, 5, 0x02, 0x02, 64, 0, 0, 7, 5, 0x81, 0x02, 64, 0, 0};
}

} // namespace

struct EmulatedUSBDevice::Urb {
    UMockdevIoctlClient* client;
    UMockdevIoctlData* data;   // the caller's usbdevfs_urb
    UMockdevIoctlData* buffer; // what it points to (null for none)
    bool done = false;
    usbdevfs_urb* fields() const { return reinterpret_cast<usbdevfs_urb*>(data->data); }
    void finish(int status, size_t length)
    {
        fields()->status = status;
        fields()->actual_length = static_cast<int>(length);
        done = true;
    }
};

EmulatedUSBDevice::EmulatedUSBDevice(UMockdevTestbed* testbed, int address, uint16_t vendor, uint16_t product,
                                     bool answering)
    : fTestbed(testbed), fStrings{"", "Kraken X31"}
{
    char node[32];
    std::snprintf(node, sizeof node, "bus/usb/001/%03d", address);
    fNode = std::string("/dev/") + node;
    GError* error = nullptr;
    if (answering) {
        // The handler must be in place before the node appears.
        fHandler = umockdev_ioctl_base_new();
        g_signal_connect(fHandler, "handle-ioctl", G_CALLBACK(onIoctl), this);
        if (!umockdev_testbed_attach_ioctl(testbed, fNode.c_str(), fHandler, &error))
            ADD_FAILURE() << error->message;
    }
    const std::string devpath = "/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(address);
    std::string hex;
    for (uint8_t byte : descriptors(vendor, product)) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        hex += pair;
    }
    const std::string record = "P: " + devpath + "\nN: " + node + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device" +
                               "\nE: DEVNAME=" + fNode + "\nE: BUSNUM=001\nE: DEVNUM=" + (node + 12) +
                               "\nA: busnum=1\nA: devnum=" + std::to_string(address) +
                               "\nA: bConfigurationValue=1\nA: speed=480\nH: descriptors=" + hex + "\n";
    if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &error))
        ADD_FAILURE() << error->message;
    fSysfsPath = "/sys" + devpath;
}

EmulatedUSBDevice::~EmulatedUSBDevice()
{
    umockdev_testbed_remove_device(fTestbed, fSysfsPath.c_str());
    if (fHandler) {
        g_object_unref(fHandler);
    }
    reset();
}

std::vector<EmulatedUSBDevice::Transfer> EmulatedUSBDevice::transfers()
{
    std::lock_guard lock(fMutex);
    return fTransfers;
}

void EmulatedUSBDevice::queueReply(uint8_t endpoint, std::vector<uint8_t> bytes)
{
    std::lock_guard lock(fMutex);
    fReplies[endpoint].push_back(std::move(bytes));
}

void EmulatedUSBDevice::reset()
{
    std::lock_guard lock(fMutex);
    for (Urb& urb : fUrbs) {
        g_object_unref(urb.data);
        if (urb.buffer)
            g_object_unref(urb.buffer);
    }
    fUrbs.clear();
    fTransfers.clear();
    fReplies.clear();
    silent = claimedElsewhere = false;
}

gboolean EmulatedUSBDevice::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self)
{
    auto* device = static_cast<EmulatedUSBDevice*>(self);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    int error = 0;
    bool known;
    {
        std::lock_guard lock(device->fMutex);
        known = device->handle(client, request, umockdev_ioctl_client_get_arg(client), error);
    }
    if (!known) {
        ADD_FAILURE() << "unexpected usbdevfs ioctl 0x" << std::hex << request;
        error = ENOTTY;
    }
    umockdev_ioctl_client_complete(client, error ? -1 : 0, error);
    return TRUE;
}

bool EmulatedUSBDevice::handle(UMockdevIoctlClient* client, unsigned long request, UMockdevIoctlData* arg,
                               int& error)
{
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* caps = resolve(arg, 0, sizeof(uint32_t));
        std::memset(caps->data, 0, sizeof(uint32_t));
        g_object_unref(caps);
        return true;
    }
    case USBDEVFS_DISCONNECT_CLAIM: { // what libusb's claim sends when it detaches the kernel driver
        UMockdevIoctlData* data = resolve(arg, 0, sizeof(usbdevfs_disconnect_claim));
        const auto* claim = reinterpret_cast<const usbdevfs_disconnect_claim*>(data->data);
        const bool expected = claim->interface == 0 && claim->flags == USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER &&
                              std::strcmp(claim->driver, "usbfs") == 0;
        g_object_unref(data);
        if (!expected)
            return false;
        if (claimedElsewhere || claimed)
            error = EBUSY;
        else
            driverBound = false, claimed = true;
        return true;
    }
    case USBDEVFS_RELEASEINTERFACE: {
        UMockdevIoctlData* data = resolve(arg, 0, sizeof(unsigned));
        const bool ours = *reinterpret_cast<const unsigned*>(data->data) == 0 && claimed;
        g_object_unref(data);
        claimed = false;
        return ours;
    }
    case USBDEVFS_IOCTL: { // release hands the interface back to its kernel driver
        UMockdevIoctlData* data = resolve(arg, 0, sizeof(usbdevfs_ioctl));
        const auto* command = reinterpret_cast<const usbdevfs_ioctl*>(data->data);
        const bool connect = command->ifno == 0 && static_cast<unsigned>(command->ioctl_code) == USBDEVFS_CONNECT;
        g_object_unref(data);
        driverBound = driverBound || connect;
        return connect;
    }
    case USBDEVFS_SUBMITURB:
        submit(client, arg);
        return true;
    case USBDEVFS_DISCARDURB: {
        const unsigned long address = *reinterpret_cast<const unsigned long*>(arg->data);
        error = EINVAL;
        for (Urb& urb : fUrbs) {
            if (urb.client == client && urb.data->client_addr == address && !urb.done) {
                urb.finish(-ENOENT, 0);
                error = 0;
            }
        }
        return true;
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        for (auto it = fUrbs.begin(); it != fUrbs.end(); ++it) {
            if (it->client != client || !it->done)
                continue;
            UMockdevIoctlData* target = resolve(arg, 0, sizeof(void*));
            umockdev_ioctl_data_set_ptr(target, 0, it->data);
            g_object_unref(target);
            g_object_unref(it->data);
            if (it->buffer)
                g_object_unref(it->buffer);
            fUrbs.erase(it);
            return true;
        }
        error = EAGAIN;
        return true;
    default:
        return false;
    }
}

void EmulatedUSBDevice::submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    Urb urb{client, resolve(arg, 0, sizeof(usbdevfs_urb)), nullptr};
    const int length = urb.fields()->buffer_length;
    if (length > 0)
        urb.buffer = resolve(urb.data, offsetof(usbdevfs_urb, buffer), static_cast<size_t>(length));
    answer(urb);
    fUrbs.push_back(urb);
}

void EmulatedUSBDevice::answer(Urb& urb)
{
    const usbdevfs_urb* fields = urb.fields();
    uint8_t* bytes = urb.buffer ? urb.buffer->data : nullptr;
    const size_t length = urb.buffer ? static_cast<size_t>(urb.buffer->data_len) : 0;
    uint8_t replyEndpoint = fields->endpoint;
    size_t offset = 0;
    if (fields->type == USBDEVFS_URB_TYPE_CONTROL && fields->endpoint == 0 && length >= 8) {
        const bool in = (bytes[0] & 0x80) != 0;
        const size_t wLength = bytes[6] | (bytes[7] << 8);
        if (bytes[0] == 0x80 && bytes[1] == 6 && bytes[3] == 3) { // GET_DESCRIPTOR (string)
            std::vector<uint8_t> reply{4, 3, 0x09, 0x04};           // index 0: the languages (en-US)
            if (bytes[2] > 0 && bytes[2] < fStrings.size()) {
                reply = {0, 3};
                for (char c : fStrings[bytes[2]])
                    reply.insert(reply.end(), {static_cast<uint8_t>(c), 0});
                reply[0] = static_cast<uint8_t>(reply.size());
            }
            reply.resize(std::min(reply.size(), wLength));
            std::memcpy(bytes + 8, reply.data(), reply.size());
            urb.finish(0, reply.size());
            return;
        }
        fTransfers.push_back({0, std::vector<uint8_t>(bytes, bytes + (in ? 8 : length))});
        if (silent)
            return;
        if (!in)
            return urb.finish(0, wLength);
        replyEndpoint = 0x80;
        offset = 8;
    } else if (fields->type == USBDEVFS_URB_TYPE_BULK && fields->endpoint == 0x02) {
        fTransfers.push_back({0x02, std::vector<uint8_t>(bytes, bytes + length)});
        if (!silent)
            urb.finish(0, length);
        return;
    } else if (fields->type != USBDEVFS_URB_TYPE_BULK || fields->endpoint != 0x81) {
        ADD_FAILURE() << "unexpected URB type " << int(fields->type) << " endpoint " << int(fields->endpoint);
        return urb.finish(-EPIPE, 0);
    }
    if (silent)
        return;
    std::deque<std::vector<uint8_t>>& replies = fReplies[replyEndpoint];
    if (replies.empty()) {
        ADD_FAILURE() << "IN transfer on endpoint " << int(replyEndpoint) << " with no reply queued";
        return urb.finish(-EPIPE, 0);
    }
    const std::vector<uint8_t> reply = std::move(replies.front());
    replies.pop_front();
    const size_t moved = std::min(reply.size(), length - offset);
    if (moved > 0) // a zero-length reply has no data pointer to copy from
        std::memcpy(bytes + offset, reply.data(), moved);
    urb.finish(0, moved);
}
