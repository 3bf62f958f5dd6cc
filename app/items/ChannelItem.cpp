#include "items/ChannelItem.h"

#include <QHBoxLayout>
#include <QLabel>

#include "items/ItemBackground.h"

namespace qarn {

ChannelItem::ChannelItem(QWidget* parent) : QWidget(parent), _titleField(new QLabel(this)) {
    _titleField->setObjectName("titleField");
    QFont font = _titleField->font();
    font.setBold(true);
    _titleField->setFont(font);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(8, 0, 8, 0);
    layout->addWidget(_titleField);
}

void ChannelItem::setRepresentedObject(const ItemData& object) {
    CollectionViewItem::setRepresentedObject(object);
    if (const auto* title = std::get_if<std::string>(&object))
        _titleField->setText(QString::fromStdString(*title));
}

void ChannelItem::setSelected(bool selected) {
    CollectionViewItem::setSelected(selected);
    ItemBackground::apply(*this, selected);
}

}  // namespace qarn
