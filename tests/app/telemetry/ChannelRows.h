#pragma once
// The text of a channel's name/value rows, for assertions.

#include "channels/Channel.h"

#include <string>
#include <variant>

namespace qarn::test {

inline std::string rowEntry(const Channel& channel, int64_t index, const char* key)
{
    const ItemData data = channel.dataAt(index);
    const auto* row = std::get_if<Dictionary>(&data);
    if (row == nullptr)
        return "<no row>";
    const auto found = row->find(key);
    return found == row->end() ? "<no entry>" : found->second;
}

inline std::string rowName(const Channel& channel, int64_t index)
{
    return rowEntry(channel, index, kNameKey);
}

inline std::string rowValue(const Channel& channel, int64_t index)
{
    return rowEntry(channel, index, kValueKey);
}

} // namespace qarn::test
