#pragma once

#include <compare>
#include <cstdint>
#include <set>

namespace qarn {

// A position in a collection view. The list has one section; positions are item numbers.
struct IndexPath {
    std::int64_t section = 0;
    std::int64_t item = 0;

    auto operator<=>(const IndexPath&) const = default;
};

using IndexPathSet = std::set<IndexPath>;

}  // namespace qarn
