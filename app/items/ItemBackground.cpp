#include "items/ItemBackground.h"

#include <QPalette>
#include <QWidget>

namespace qarn {

void ItemBackground::apply(QWidget& widget, bool selected) {
    QPalette palette = widget.palette();
    palette.setColor(QPalette::Window, selected ? ItemBackground::selected() : deselected());
    widget.setPalette(palette);
    widget.setAutoFillBackground(true);
}

}  // namespace qarn
