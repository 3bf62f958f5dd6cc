#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace qarn {

// A row's size in the single-column list, in points.
struct Size {
    double width = 0.0;
    double height = 0.0;

    bool operator==(const Size&) const = default;
};

// A name/value row's data: the keys "Name" and "Value", each holding a string.
using Dictionary = std::map<std::string, std::string>;

inline constexpr const char* kNameKey = "Name";
inline constexpr const char* kValueKey = "Value";

// What a row hands to its item: a header's title, a name/value dictionary, or nothing
// (std::monostate), which leaves the item's text as it was.
using ItemData = std::variant<std::monostate, std::string, Dictionary>;

// A row's recent values, oldest first, for the small graph drawn in the row (empty: no graph).
using History = std::vector<float>;
// A history handed on without copying: the channel makes one when a point is added, and the
// snapshot and the item share it until the next; a null one is an empty history.
using SharedHistory = std::shared_ptr<const History>;
// How many ticks a history holds: one minute at ten ticks a second.
inline constexpr std::size_t kHistoryLength = 600;

// The item kinds a channel can ask for, by identifier.
inline constexpr const char* kChannelItemIdentifier = "ChannelItem";
inline constexpr const char* kNameValueItemIdentifier = "NameValueItem";

// One group of rows in the main list. The base class is the header: one row titled "Hallo",
// 200 by 47 points, that never changes. Subclasses override all five operations.
//
// sample() runs on the tick thread while the view controller's lock is held; the other four are
// called under the same lock when the controller copies the rows for the main thread, so a
// channel needs no lock of its own. Callers only pass indexes below numberOfItems().
class Channel {
public:
    static std::shared_ptr<Channel> create();

    Channel() = default;
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;
    virtual ~Channel();

    virtual std::int64_t numberOfItems() const;
    virtual ItemData dataAt(std::int64_t index) const;
    virtual Size sizeAt(std::int64_t index) const;
    virtual std::string itemIdentifierAt(std::int64_t index) const;

    // A row's history and its tooltip (what the figure is, where it comes from, or why it is
    // missing); none by default.
    virtual SharedHistory sharedHistoryAt(std::int64_t index) const;
    virtual std::string toolTipAt(std::int64_t index) const;

    // Refreshes the values behind dataAt().
    virtual void sample();

    // A name/value row as the name/value item expects it.
    static Dictionary row(std::string name, std::string value);
};

}  // namespace qarn
