#include "platform/UdevSerialPorts.h"

#include <libudev.h>
#include <unistd.h>

#include <memory>

namespace qarn {

namespace {

struct UdevRelease {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};

std::vector<std::string> none(std::string* why, const char* reason)
{
    if (why)
        *why = reason;
    return {};
}

} // namespace

std::vector<std::string> UdevSerialPorts::ports(std::string* why)
{
    // Without sysfs udev enumerates nothing and says nothing; tell the caller why the list is empty.
    if (::access("/sys/class", F_OK) != 0)
        return none(why, "/sys is not mounted, so udev cannot list the serial ports.");
    std::unique_ptr<udev, UdevRelease> context(udev_new());
    if (!context)
        return none(why, "udev is not available, so the serial ports cannot be listed.");
    std::unique_ptr<udev_enumerate, UdevRelease> enumerate(udev_enumerate_new(context.get()));
    if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), "tty") < 0 ||
        udev_enumerate_scan_devices(enumerate.get()) < 0)
        return none(why, "udev could not enumerate the tty devices.");

    std::vector<std::string> paths;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get()))
    {
        std::unique_ptr<udev_device, UdevRelease> device(
            udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        if (!device || !udev_device_get_parent(device.get())) // the parent belongs to the device
            continue;
        if (const char* node = udev_device_get_devnode(device.get()))
            paths.emplace_back(node);
    }
    return paths;
}

} // namespace qarn
