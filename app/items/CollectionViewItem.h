#pragma once

#include "channels/Channel.h"

namespace qarn {

// One row's item in a collection view: shows its represented object and its selected state.
// Subclasses override both setters and call the base version first.
class CollectionViewItem {
public:
    virtual ~CollectionViewItem();

    virtual void setRepresentedObject(const ItemData& object);
    const ItemData& representedObject() const { return _representedObject; }

    virtual void setSelected(bool selected);
    bool isSelected() const { return _selected; }

private:
    ItemData _representedObject;
    bool _selected = false;
};

}  // namespace qarn
