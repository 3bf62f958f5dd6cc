#include "items/TextItem.h"

namespace qarn {

void TextItem::setRepresentedObject(const ItemData& object) {
    CollectionViewItem::setRepresentedObject(object);
    if (_kind == Kind::Header) {
        if (const auto* title = std::get_if<std::string>(&object))
            _title = *title;
        return;
    }
    if (const auto* row = std::get_if<Dictionary>(&object)) {
        const auto name = row->find(kNameKey);
        const auto value = row->find(kValueKey);
        _title = name == row->end() ? std::string() : name->second;
        _value = value == row->end() ? std::string() : value->second;
    }
}

}  // namespace qarn
