#pragma once

#include <QColor>

class QWidget;

namespace qarn {

// The selection colours of the list's items, and how an item widget shows them.
class ItemBackground {
public:
    static QColor selected() { return QColor::fromRgbF(0.0f, 0.0f, 1.0f, 1.0f); }     // blue
    static QColor deselected() { return QColor::fromRgbF(1.0f, 1.0f, 0.0f, 1.0f); }   // yellow

    // Paints the widget's own background in the colour for the flag. Until the first call the
    // widget keeps the default background it inherits.
    static void apply(QWidget& widget, bool selected);
};

}  // namespace qarn
