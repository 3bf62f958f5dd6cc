#include "items/ItemBackground.h"

#include <QPalette>
#include <QWidget>

#include <optional>

#include "prefs/UserDefaults.h"

namespace qarn {

namespace {

struct StoredColors {
    std::optional<QColor> selected;
    std::optional<QColor> deselected;
    std::optional<QColor> graph;
};

StoredColors& stored() {
    static StoredColors colors;
    return colors;
}

}  // namespace

QColor ItemBackground::selected() {
    return stored().selected.value_or(builtInSelected());
}

QColor ItemBackground::deselected() {
    return stored().deselected.value_or(builtInDeselected());
}

QColor ItemBackground::graph() {
    return stored().graph.value_or(builtInGraph());
}

void ItemBackground::loadStoredColors() {
    const UserDefaults defaults = UserDefaults::standard();
    stored() = {defaults.colorForKey(kSelectedKey), defaults.colorForKey(kUnselectedKey),
                defaults.colorForKey(kGraphKey)};
}

void ItemBackground::useBuiltInColors() {
    stored() = {};
}

void ItemBackground::apply(QWidget& widget, bool selected) {
    QPalette palette = widget.palette();
    palette.setColor(QPalette::Window, selected ? ItemBackground::selected() : deselected());
    widget.setPalette(palette);
    widget.setAutoFillBackground(true);
}

}  // namespace qarn
