#pragma once

#include <QWidget>

#include "items/CollectionViewItem.h"

class QLabel;

namespace qarn {

// A name/value row: the name on a small first line, the value below it.
class NameValueItem : public QWidget, public CollectionViewItem {
    Q_OBJECT

public:
    explicit NameValueItem(QWidget* parent = nullptr);

    // A dictionary sets the name from its "Name" entry and the value from its "Value" entry (a
    // missing entry shows as empty); anything else (null included) leaves both as they were.
    void setRepresentedObject(const ItemData& object) override;
    // Blue when selected, yellow when not.
    void setSelected(bool selected) override;

    QLabel* titleField() const { return _titleField; }
    QLabel* valueField() const { return _valueField; }

private:
    QLabel* _titleField;
    QLabel* _valueField;
};

}  // namespace qarn
