#include "items/NameValueItem.h"

#include <QLabel>
#include <QVBoxLayout>

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
    // A row is 130 points wide: the name and the value each get a line of their own, the name
    // smaller, so that "Non Turbo Ratio" and "40 Unlocked, Max. 40" both fit.
    QFont font = _titleField->font();
    const qreal size = font.pointSizeF();
    font.setPointSizeF(size * 0.8);
    _titleField->setFont(font);
    font.setPointSizeF(size * 0.9);
    _valueField->setFont(font);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 1, 2, 1);
    layout->setSpacing(0);
    layout->addWidget(_titleField);
    layout->addWidget(_valueField);
}

void NameValueItem::setRepresentedObject(const ItemData& object) {
    CollectionViewItem::setRepresentedObject(object);
    if (const auto* row = std::get_if<Dictionary>(&object)) {
        _titleField->setText(entry(*row, kNameKey));
        _valueField->setText(entry(*row, kValueKey));
        // The whole row, also where a long value is cut at the row's edge.
        setToolTip(_titleField->text() + ": " + _valueField->text());
    }
}

void NameValueItem::setSelected(bool selected) {
    CollectionViewItem::setSelected(selected);
    ItemBackground::apply(*this, selected);
}

}  // namespace qarn
