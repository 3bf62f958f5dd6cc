#include "items/CollectionViewItem.h"

namespace qarn {

CollectionViewItem::~CollectionViewItem() = default;

void CollectionViewItem::setRepresentedObject(const ItemData& object) {
    _representedObject = object;
}

void CollectionViewItem::setSelected(bool selected) {
    _selected = selected;
}

void CollectionViewItem::setHistory(const History& history) {
    _history = history;
}

void CollectionViewItem::setToolTipText(const std::string& text) {
    _toolTip = text;
}

}  // namespace qarn
