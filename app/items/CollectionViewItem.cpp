#include "items/CollectionViewItem.h"

namespace qarn {

CollectionViewItem::~CollectionViewItem() = default;

void CollectionViewItem::setRepresentedObject(const ItemData& object) {
    _representedObject = object;
}

void CollectionViewItem::setSelected(bool selected) {
    _selected = selected;
}

void CollectionViewItem::setHistory(SharedHistory history) {
    _history = std::move(history);
}

const History& CollectionViewItem::history() const {
    static const History none;
    return _history ? *_history : none;
}

void CollectionViewItem::setToolTipText(const std::string& text) {
    _toolTip = text;
}

}  // namespace qarn
