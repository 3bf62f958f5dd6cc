#include "channels/NameValueChannel.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace qarn {

std::int64_t NameValueChannel::numberOfItems() const
{
    return static_cast<std::int64_t>(_items.size());
}

ItemData NameValueChannel::dataAt(std::int64_t index) const
{
    if (index < 0 || index >= static_cast<std::int64_t>(_items.size()))
        return std::monostate{};
    return _items[static_cast<std::size_t>(index)];
}

Size NameValueChannel::sizeAt(std::int64_t) const
{
    return {130.0, 35.0};
}

std::string NameValueChannel::itemIdentifierAt(std::int64_t) const
{
    return kNameValueItemIdentifier;
}

SharedHistory NameValueChannel::sharedHistoryAt(std::int64_t index) const
{
    if (index < 0 || index >= static_cast<std::int64_t>(_histories.size()))
        return nullptr;
    const Ring& ring = _histories[static_cast<std::size_t>(index)];
    if (ring.points.empty() || ring.handedOut)
        return ring.handedOut;
    auto history = std::make_shared<History>();
    history->reserve(ring.points.size());
    const auto next = ring.points.begin() + static_cast<std::ptrdiff_t>(ring.next);
    history->insert(history->end(), next, ring.points.end());
    history->insert(history->end(), ring.points.begin(), next);
    ring.handedOut = std::move(history);
    return ring.handedOut;
}

std::string NameValueChannel::toolTipAt(std::int64_t index) const
{
    if (index < 0 || index >= static_cast<std::int64_t>(_toolTips.size()))
        return {};
    return _toolTips[static_cast<std::size_t>(index)];
}

void NameValueChannel::addRow(std::string name, std::string value)
{
    _items.push_back(row(std::move(name), std::move(value)));
    _histories.emplace_back();
    _toolTips.emplace_back();
}

void NameValueChannel::record(std::size_t index, float value)
{
    if (index >= _histories.size() || !std::isfinite(value))
        return;
    Ring& ring = _histories[index];
    ring.handedOut.reset();
    if (ring.points.size() < kHistoryLength) {
        if (ring.points.capacity() < kHistoryLength)
            ring.points.reserve(kHistoryLength);
        ring.points.push_back(value);
        return;
    }
    ring.points[ring.next] = value;
    ring.next = (ring.next + 1) % kHistoryLength;
}

void NameValueChannel::setToolTip(std::size_t index, std::string text)
{
    if (index < _toolTips.size())
        _toolTips[index] = std::move(text);
}

void NameValueChannel::setValue(std::size_t index, std::string value)
{
    if (index < _items.size())
        _items[index][kValueKey] = std::move(value);
}

std::string NameValueChannel::format(const char* text, ...)
{
    char buffer[128];
    va_list arguments;
    va_start(arguments, text);
    const int length = std::vsnprintf(buffer, sizeof buffer, text, arguments);
    va_end(arguments);
    if (length < 0)
        return {};
    return std::string(buffer, std::min<std::size_t>(static_cast<std::size_t>(length), sizeof buffer - 1));
}

} // namespace qarn
