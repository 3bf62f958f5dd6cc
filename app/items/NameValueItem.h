#pragma once

#include <QColor>
#include <QImage>
#include <QFont>
#include <QPointF>
#include <QStaticText>
#include <QWidget>

#include <vector>

#include "items/CollectionViewItem.h"

namespace qarn {

// A name/value row: the name on a small first line, the value below it, and behind the value the
// row's history as a small line graph.
class NameValueItem : public QWidget, public CollectionViewItem {
    Q_OBJECT

public:
    explicit NameValueItem(QWidget* parent = nullptr);

    // A dictionary sets the name from its "Name" entry and the value from its "Value" entry (a
    // missing entry shows as empty); anything else (null included) leaves both as they were.
    void setRepresentedObject(const ItemData& object) override;
    // Blue when selected, yellow when not.
    void setSelected(bool selected) override;
    // The graph follows the history (none for fewer than two points); the Qt tooltip is the
    // text given, or "name: value" while it is empty.
    void setHistory(SharedHistory history) override;
    void setToolTipText(const std::string& text) override;

    QString titleText() const { return _title.text(); }
    QString valueText() const { return _value.text(); }
    // Where the graph is drawn, and its polyline there: what the item draws at its current size.
    QRectF graphRect() const;
    const std::vector<QPointF>& graphPoints() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void updateToolTip();
    QRect titleRect() const;
    QRect valueRect() const;

    QStaticText _title;
    QStaticText _value;
    QFont _titleFont;
    QFont _valueFont;
    // Worked out when first drawn or asked for after a change, not for rows nobody sees.
    mutable std::vector<QPointF> _graph;
    mutable bool _graphStale = true;
    bool _imageStale = true;
    QImage _graphImage;
    QColor _graphColour;
};

}  // namespace qarn
