#pragma once

#include <QColor>

class QWidget;

namespace qarn {

// The colours of the list's items (selected and unselected backgrounds, the line of a row's
// small graph), and how an item widget shows them. The user may choose each one in the
// preferences; the built-in ones stand for any not chosen.
//
// Main thread: the colours are read while items paint.
class ItemBackground {
public:
    // Their keys in the preferences, each a colour archive (UserDefaults::setColor).
    static constexpr const char* kSelectedKey = "SelectedColor";
    static constexpr const char* kUnselectedKey = "UnselectedColor";
    static constexpr const char* kGraphKey = "GraphColor";

    static QColor builtInSelected() { return QColor::fromRgbF(0.0f, 0.0f, 1.0f, 1.0f); }     // blue
    static QColor builtInDeselected() { return QColor::fromRgbF(1.0f, 1.0f, 0.0f, 1.0f); }   // yellow
    static QColor builtInGraph() { return QColor::fromRgbF(0.8f, 0.1f, 0.1f, 1.0f); }        // red

    static QColor selected();
    static QColor deselected();
    // The line of a row's small graph.
    static QColor graph();

    // Reads the colours stored in the standard preferences store, now and not on every paint;
    // called at start-up and whenever the preferences change them. Until the first call (tests
    // of the list) the built-in colours are used.
    static void loadStoredColors();
    // Back to the built-in colours, whatever is stored.
    static void useBuiltInColors();

    // Paints the widget's own background in the colour for the flag. Until the first call the
    // widget keeps the default background it inherits.
    static void apply(QWidget& widget, bool selected);
};

}  // namespace qarn
