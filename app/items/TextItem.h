#pragma once

#include <string>

#include "items/CollectionViewItem.h"

namespace qarn {

// An item of the text list: a header row as its title, a name/value row as name and value.
class TextItem : public CollectionViewItem {
public:
    enum class Kind { Header, NameValue };

    explicit TextItem(Kind kind) : _kind(kind) {}

    Kind kind() const { return _kind; }

    // Same rules as the window's items: data of the other kind, or null, leaves the text as it was.
    void setRepresentedObject(const ItemData& object) override;

    const std::string& title() const { return _title; }
    const std::string& value() const { return _value; }

private:
    Kind _kind;
    std::string _title;
    std::string _value;
};

}  // namespace qarn
