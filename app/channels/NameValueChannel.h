#pragma once
// A channel of name/value rows, 130 by 35 points each, shown by the name/value item. The rows
// are created by the subclass and rewritten in place by its sample().

#include "channels/Channel.h"

#include <string>
#include <vector>

namespace qarn {

class NameValueChannel : public Channel {
public:
    std::int64_t numberOfItems() const override;
    // The row itself; nothing for an index outside the rows.
    ItemData dataAt(std::int64_t index) const override;
    Size sizeAt(std::int64_t index) const override;
    std::string itemIdentifierAt(std::int64_t index) const override;
    // The points record() added to the row, oldest first; its tooltip as setToolTip() left it.
    SharedHistory sharedHistoryAt(std::int64_t index) const override;
    std::string toolTipAt(std::int64_t index) const override;

protected:
    void addRow(std::string name, std::string value);
    // Rewrites the value of row index; an index outside the rows changes nothing.
    void setValue(std::size_t index, std::string value);
    // Adds a point to row index's history, which keeps the last kHistoryLength; a value that is
    // not finite is no point.
    void record(std::size_t index, float value);
    void setToolTip(std::size_t index, std::string text);
    std::size_t rowCount() const { return _items.size(); }

    // printf into a string; a value longer than a row holds is cut at 127 bytes.
    static std::string format(const char* text, ...) __attribute__((format(printf, 1, 2)));

private:
    // A ring, allocated at its first point, and the oldest-first copy handed out: made at most
    // once a tick, when first asked for after a point was added, and shared from then on.
    struct Ring {
        std::vector<float> points;
        std::size_t next = 0;
        mutable SharedHistory handedOut;
    };

    std::vector<Dictionary> _items;
    std::vector<Ring> _histories;
    std::vector<std::string> _toolTips;
};

} // namespace qarn
