#include "items/CollectionViewItem.h"

namespace qarn {

CollectionViewItem::~CollectionViewItem() = default;

void CollectionViewItem::setRepresentedObject(const ItemData& object) {
    _representedObject = object;
}

void CollectionViewItem::setSelected(bool selected) {
    _selected = selected;
}

}  // namespace qarn
