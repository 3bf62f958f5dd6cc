#include "items/NameValueItem.h"

#include <QHBoxLayout>
#include <QLabel>

#include "items/ItemBackground.h"

namespace qarn {

namespace {

QString entry(const Dictionary& dictionary, const char* key) {
    const auto found = dictionary.find(key);
    return found == dictionary.end() ? QString() : QString::fromStdString(found->second);
}

}  // namespace

NameValueItem::NameValueItem(QWidget* parent)
    : QWidget(parent), _titleField(new QLabel(this)), _valueField(new QLabel(this)) {
    _titleField->setObjectName("titleField");
    _valueField->setObjectName("valueField");
    _valueField->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(8, 0, 8, 0);
    layout->addWidget(_titleField, 1);
    layout->addWidget(_valueField);
}

void NameValueItem::setRepresentedObject(const ItemData& object) {
    CollectionViewItem::setRepresentedObject(object);
    if (const auto* row = std::get_if<Dictionary>(&object)) {
        _titleField->setText(entry(*row, kNameKey));
        _valueField->setText(entry(*row, kValueKey));
    }
}

void NameValueItem::setSelected(bool selected) {
    CollectionViewItem::setSelected(selected);
    ItemBackground::apply(*this, selected);
}

}  // namespace qarn
