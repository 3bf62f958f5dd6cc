#pragma once

#include <QWidget>

#include "items/CollectionViewItem.h"

class QLabel;

namespace qarn {

// A header row: one title.
class ChannelItem : public QWidget, public CollectionViewItem {
    Q_OBJECT

public:
    explicit ChannelItem(QWidget* parent = nullptr);

    // A string becomes the title; anything else (null included) leaves the title as it was.
    void setRepresentedObject(const ItemData& object) override;
    // Blue when selected, yellow when not.
    void setSelected(bool selected) override;

    QLabel* titleField() const { return _titleField; }

private:
    QLabel* _titleField;
};

}  // namespace qarn
