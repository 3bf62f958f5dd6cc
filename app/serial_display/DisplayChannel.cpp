#include "serial_display/DisplayChannel.h"

namespace qarn {

std::string DisplayChannel::screensText(const SparvelDevice& display)
{
    std::string screens;
    for (const auto& size : display.screens())
        screens += (screens.empty() ? "" : ", ") + std::to_string(static_cast<int64_t>(size.width)) + "x" +
                   std::to_string(static_cast<int64_t>(size.height));
    return screens.empty() ? "no screens" : screens;
}

std::string DisplayChannel::describe(const SparvelDevice& display)
{
    return display.devicename() + "  " + display.versionString().value_or("") + "  " + screensText(display);
}

std::shared_ptr<DisplayChannel> DisplayChannel::with(const SparvelDevice& display)
{
    auto channel = std::make_shared<DisplayChannel>();
    channel->addRow("Display", describe(display));
    return channel;
}

} // namespace qarn
