#pragma once

#include <string>
#include <vector>

#include "channels/Channel.h"
#include "shell/ViewController.h"

namespace qarn::testing {

// The controller's list without the CPU channels, for tests of the list itself.
inline CPUServiceAccess listOnly() {
    CPUServiceAccess access;
    access.cpuChannels = false;
    return access;
}

// A channel of name/value rows whose names say which channel and row they are ("B1" is row 1 of
// channel B), with a size per row the test chooses. sample() writes the pass number into every
// value and appends the channel's name to the journal, if one is given.
class RowsChannel : public Channel {
public:
    RowsChannel(std::string name, int rows, Size size = {240.0, 22.0}, std::vector<std::string>* journal = nullptr)
        : _name(std::move(name)), _size(size), _journal(journal) {
        for (int i = 0; i < rows; ++i)
            _rows.push_back(row(_name + std::to_string(i), "none"));
    }

    std::int64_t numberOfItems() const override { return static_cast<std::int64_t>(_rows.size()); }
    ItemData dataAt(std::int64_t index) const override { return _rows.at(static_cast<std::size_t>(index)); }
    Size sizeAt(std::int64_t index) const override { return {_size.width, _size.height + static_cast<double>(index)}; }
    std::string itemIdentifierAt(std::int64_t) const override { return identifier; }

    void sample() override {
        ++_passes;
        for (auto& r : _rows)
            r[kValueKey] = "pass " + std::to_string(_passes);
        if (_journal)
            _journal->push_back(_name);
    }

    std::string identifier = kNameValueItemIdentifier;

private:
    std::string _name;
    Size _size;
    std::vector<std::string>* _journal;
    std::vector<Dictionary> _rows;
    int _passes = 0;
};

}  // namespace qarn::testing
