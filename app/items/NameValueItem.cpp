#include "items/NameValueItem.h"

#include <QLabel>
#include <QPainter>

#include <algorithm>

#include "items/ItemBackground.h"
#include "items/RowGraph.h"

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
    // Placed by hand rather than by a layout: a layout asks a label for its size hint, which lays
    // the text out again, on every value change, ten times a second for every row.
    placeFields();
}

void NameValueItem::placeFields() {
    const int half = height() / 2;
    _titleField->setGeometry(4, 1, std::max(0, width() - 6), std::max(0, half - 1));
    _valueField->setGeometry(4, half, std::max(0, width() - 6), std::max(0, height() - half - 1));
}

void NameValueItem::setRepresentedObject(const ItemData& object) {
    CollectionViewItem::setRepresentedObject(object);
    if (const auto* row = std::get_if<Dictionary>(&object)) {
        _titleField->setText(entry(*row, kNameKey));
        _valueField->setText(entry(*row, kValueKey));
        if (toolTipText().empty())
            updateToolTip();
    }
}

void NameValueItem::setSelected(bool selected) {
    CollectionViewItem::setSelected(selected);
    ItemBackground::apply(*this, selected);
}

void NameValueItem::setHistory(SharedHistory history) {
    // Rows are handed their history every tick, the same one until a point is added: one that
    // did not change costs no repaint.
    if (history == sharedHistory() || (history && sharedHistory() && *history == *sharedHistory()))
        return;
    CollectionViewItem::setHistory(std::move(history));
    _graphStale = _imageStale = true;
    update(graphRect().toAlignedRect());
}

void NameValueItem::setToolTipText(const std::string& text) {
    if (text == toolTipText())
        return;
    CollectionViewItem::setToolTipText(text);
    updateToolTip();
}

void NameValueItem::updateToolTip() {
    // Without a description, the whole row, also where a long value is cut at the row's edge.
    const QString text = toolTipText().empty() ? _titleField->text() + ": " + _valueField->text()
                                               : QString::fromStdString(toolTipText());
    // Set on every tick's reload: a change is an event.
    if (text != toolTip())
        setToolTip(text);
}

QRectF NameValueItem::graphRect() const {
    // The lower half of the row, behind the value, inside the layout's margins.
    return QRectF(4.0, height() / 2.0, width() - 6.0, height() / 2.0 - 2.0);
}

const std::vector<QPointF>& NameValueItem::graphPoints() const {
    if (_graphStale) {
        _graph = history().size() < 2 ? std::vector<QPointF>() : RowGraph::points(history(), graphRect());
        _graphStale = false;
    }
    return _graph;
}

void NameValueItem::paintEvent(QPaintEvent*) {
    const std::vector<QPointF>& points = graphPoints();
    if (points.empty())
        return;
    // Drawn again only for a new history, size or colour; a repaint for the value alone reuses it.
    const QRect area = graphRect().toAlignedRect();
    const QColor colour = ItemBackground::graph();
    if (_imageStale || _graphImage.size() != area.size() || colour != _graphColour) {
        _graphImage = RowGraph::draw(points, area, colour);
        _graphColour = colour;
        _imageStale = false;
    }
    QPainter painter(this);
    painter.drawImage(area.topLeft(), _graphImage);
}

void NameValueItem::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    placeFields();
    _graphStale = _imageStale = true;
}

}  // namespace qarn
