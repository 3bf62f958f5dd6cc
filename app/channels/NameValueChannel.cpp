#include "channels/NameValueChannel.h"

#include <algorithm>
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

void NameValueChannel::addRow(std::string name, std::string value)
{
    _items.push_back(row(std::move(name), std::move(value)));
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
