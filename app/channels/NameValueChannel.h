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

protected:
    void addRow(std::string name, std::string value);
    // Rewrites the value of row index; an index outside the rows changes nothing.
    void setValue(std::size_t index, std::string value);
    std::size_t rowCount() const { return _items.size(); }

    // printf into a string; a value longer than a row holds is cut at 127 bytes.
    static std::string format(const char* text, ...) __attribute__((format(printf, 1, 2)));

private:
    std::vector<Dictionary> _items;
};

} // namespace qarn
