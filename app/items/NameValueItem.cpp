#include "items/NameValueItem.h"

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

NameValueItem::NameValueItem(QWidget* parent) : QWidget(parent) {
    // A row is 130 points wide: the name and the value each get a line of their own, the name
    // smaller, so that "Non Turbo Ratio" and "40 Unlocked, Max. 40" both fit.
    _titleFont = font();
    _valueFont = font();
    const qreal size = font().pointSizeF();
    _titleFont.setPointSizeF(size * 0.8);
    _valueFont.setPointSizeF(size * 0.9);
    // The texts are drawn by the row itself, each laid out once when it changes: labels would
    // lay theirs out again on every repaint, and the graph behind the value repaints every tick.
    _title.setTextFormat(Qt::PlainText);
    _value.setTextFormat(Qt::PlainText);
    _title.setPerformanceHint(QStaticText::AggressiveCaching);
    _value.setPerformanceHint(QStaticText::AggressiveCaching);
}

QRect NameValueItem::titleRect() const {
    return QRect(4, 1, std::max(0, width() - 6), std::max(0, height() / 2 - 1));
}

QRect NameValueItem::valueRect() const {
    const int half = height() / 2;
    return QRect(4, half, std::max(0, width() - 6), std::max(0, height() - half - 1));
}

void NameValueItem::setRepresentedObject(const ItemData& object) {
    CollectionViewItem::setRepresentedObject(object);
    if (const auto* row = std::get_if<Dictionary>(&object)) {
        const QString title = entry(*row, kNameKey);
        const QString value = entry(*row, kValueKey);
        if (title != _title.text()) {
            _title.setText(title);
            update(titleRect());
        }
        if (value != _value.text()) {
            _value.setText(value);
            update(valueRect());
        }
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
    const QString text = toolTipText().empty() ? titleText() + ": " + valueText()
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
    QPainter painter(this);
    const std::vector<QPointF>& points = graphPoints();
    if (!points.empty()) {
        // Drawn again only for a new history, size or colour; a repaint for the text reuses it.
        const QRect area = graphRect().toAlignedRect();
        const QColor colour = ItemBackground::graph();
        if (_imageStale || _graphImage.size() != area.size() || colour != _graphColour) {
            _graphImage = RowGraph::draw(points, area, colour);
            _graphColour = colour;
            _imageStale = false;
        }
        painter.drawImage(area.topLeft(), _graphImage);
    }
    // Each line left-aligned and centred in its half, clipped at the row's edge as a label is.
    painter.setPen(palette().color(QPalette::WindowText));
    const auto draw = [&](const QStaticText& text, const QFont& font, const QRect& rect) {
        if (text.text().isEmpty())
            return;
        painter.setFont(font);
        painter.setClipRect(rect);
        const int lineHeight = QFontMetrics(font).height();
        painter.drawStaticText(rect.left(), rect.top() + (rect.height() - lineHeight) / 2, text);
    };
    draw(_title, _titleFont, titleRect());
    draw(_value, _valueFont, valueRect());
}

void NameValueItem::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    _graphStale = _imageStale = true;
}

}  // namespace qarn
