#pragma once

#include "channels/Channel.h"
#include "shell/ViewController.h"

namespace qarn::testing {

// The controller's list without the CPU channels, for tests of the list itself.
inline const CPUServiceAccess listOnly{{}, nullptr, false};

// Name/value rows named after the channel and row ("B1" is row 1 of channel B), row i sized
// width x (height + i). sample() writes the pass number into every value.
class RowsChannel : public Channel {
public:
    RowsChannel(std::string name, int rows, Size size = {240.0, 22.0})
        : _name(std::move(name)), _rows(rows, "none"), _size(size) {}

    std::int64_t numberOfItems() const override { return static_cast<std::int64_t>(_rows.size()); }
    ItemData dataAt(std::int64_t i) const override { return row(_name + std::to_string(i), _rows.at(std::size_t(i))); }
    Size sizeAt(std::int64_t index) const override { return {_size.width, _size.height + static_cast<double>(index)}; }
    std::string itemIdentifierAt(std::int64_t) const override { return identifier; }
    void sample() override { _rows.assign(_rows.size(), "pass " + std::to_string(++_passes)); }

    std::string identifier = kNameValueItemIdentifier;

protected:
    std::string _name;
    std::vector<std::string> _rows; // the values, plain strings: not safe to read during sample()

private:
    Size _size;
    int _passes = 0;
};

}  // namespace qarn::testing
