#include "prefs/CurveEditor.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace qarn {

namespace {

constexpr int kMaxTemperature = static_cast<int>(CoolerSettings::kMaxTemperature);
constexpr int kMaxSetting = 100;
constexpr int kReach = 8;   // pixels from a point's centre that still take it
constexpr int kRadius = 4;

}  // namespace

CurveModel::CurveModel(QObject* parent) : QObject(parent) {}

bool CurveModel::setCurve(const CoolerCurve& curve) {
    if (!CoolerSettings::validCurve(curve))
        return false;
    const std::size_t count = curve.size() / 2;
    std::vector<CurvePoint> points;
    for (std::size_t i = 0; i < count; ++i)
        points.push_back({static_cast<int>(curve[i]), static_cast<int>(curve[count + i])});
    if (points != _points) {
        _points = std::move(points);
        emit changed();
    }
    return true;
}

CoolerCurve CurveModel::curve() const {
    CoolerCurve curve;
    for (const CurvePoint& point : _points)
        curve.push_back(point.temperature);
    for (const CurvePoint& point : _points)
        curve.push_back(point.setting);
    return curve;
}

CurvePoint CurveModel::movePoint(std::size_t index, int temperature, int setting) {
    if (index >= _points.size())
        return {};
    const int lowest = index == 0 ? 0 : _points[index - 1].temperature + 1;
    const int highest = index + 1 == _points.size() ? kMaxTemperature : _points[index + 1].temperature - 1;
    const CurvePoint moved{std::clamp(temperature, lowest, highest), std::clamp(setting, 0, kMaxSetting)};
    if (moved != _points[index]) {
        _points[index] = moved;
        emit changed();
        emit edited();
    }
    return moved;
}

std::optional<std::size_t> CurveModel::addPoint(int temperature, int setting) {
    if (_points.size() >= CoolerSettings::kMaxPoints || temperature < 0 || temperature > kMaxTemperature)
        return std::nullopt;
    const auto at = std::lower_bound(_points.begin(), _points.end(), temperature,
                                     [](const CurvePoint& point, int t) { return point.temperature < t; });
    if (at != _points.end() && at->temperature == temperature)
        return std::nullopt;
    const auto added = _points.insert(at, {temperature, std::clamp(setting, 0, kMaxSetting)});
    emit changed();
    emit edited();
    return static_cast<std::size_t>(added - _points.begin());
}

bool CurveModel::removePoint(std::size_t index) {
    if (_points.size() <= 1 || index >= _points.size())
        return false;
    _points.erase(_points.begin() + static_cast<std::ptrdiff_t>(index));
    emit changed();
    emit edited();
    return true;
}

void CurveModel::setCurrentTemperature(std::optional<int> temperature) {
    if (temperature == _current)
        return;
    _current = temperature;
    emit changed();
}

CurveEditor::CurveEditor(QWidget* parent) : QWidget(parent) {
    setMouseTracking(false);
    setFocusPolicy(Qt::ClickFocus);
    connect(&_model, &CurveModel::changed, this, qOverload<>(&QWidget::update));
    // An edit outside a drag (added, removed, or made through the model) is finished at once.
    connect(&_model, &CurveModel::edited, this, [this] {
        if (!_dragged)
            emit curveEdited(_model.curve());
    });
    setToolTip(tr("Drag a point to change it; double-click empty space to add one; double-click or "
                  "right-click a point to remove it."));
}

QSize CurveEditor::sizeHint() const {
    return {420, 220};
}

QSize CurveEditor::minimumSizeHint() const {
    return {240, 140};
}

int CurveEditor::maximumTemperature() const {
    if (_dragged)
        return _dragAxis;
    const bool high = std::any_of(_model.points().begin(), _model.points().end(),
                                  [](const CurvePoint& point) { return point.temperature > 100; }) ||
                      _model.currentTemperature().value_or(0) > 100;
    return high ? kMaxTemperature : 100;
}

QRect CurveEditor::plotArea() const {
    const QFontMetrics metrics = fontMetrics();
    const int left = metrics.horizontalAdvance(QStringLiteral("100 %")) + 8;
    const int bottom = metrics.height() + 6;
    return rect().adjusted(left, kRadius + 4, -(metrics.horizontalAdvance(QStringLiteral("150")) / 2 + 4), -bottom);
}

QPoint CurveEditor::pixelFor(CurvePoint point) const {
    const QRect area = plotArea();
    const double x = area.left() + double(point.temperature) * area.width() / maximumTemperature();
    const double y = area.bottom() - double(point.setting) * area.height() / kMaxSetting;
    return {static_cast<int>(std::lround(x)), static_cast<int>(std::lround(y))};
}

CurvePoint CurveEditor::pointAt(QPoint pixel) const {
    const QRect area = plotArea();
    if (area.width() <= 0 || area.height() <= 0)
        return {};
    const double temperature = double(pixel.x() - area.left()) * maximumTemperature() / area.width();
    const double setting = double(area.bottom() - pixel.y()) * kMaxSetting / area.height();
    return {std::clamp(static_cast<int>(std::lround(temperature)), 0, maximumTemperature()),
            std::clamp(static_cast<int>(std::lround(setting)), 0, kMaxSetting)};
}

std::optional<std::size_t> CurveEditor::pointNear(QPoint pixel) const {
    std::optional<std::size_t> nearest;
    int best = kReach * kReach + 1;
    for (std::size_t i = 0; i < _model.points().size(); ++i) {
        const QPoint offset = pixelFor(_model.points()[i]) - pixel;
        const int distance = offset.x() * offset.x() + offset.y() * offset.y();
        if (distance < best) {
            best = distance;
            nearest = i;
        }
    }
    return nearest;
}

void CurveEditor::mousePressEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    const auto near = pointNear(at);
    if (event->button() == Qt::RightButton && near) {
        _model.removePoint(*near);
    } else if (event->button() == Qt::LeftButton && near) {
        _dragAxis = maximumTemperature();
        _dragged = near;
        _dragMoved = false;
        update();
    }
    event->accept();
}

void CurveEditor::mouseMoveEvent(QMouseEvent* event) {
    if (!_dragged)
        return;
    const CurvePoint wanted = pointAt(event->position().toPoint());
    const CurvePoint before = _model.points()[*_dragged];
    if (_model.movePoint(*_dragged, wanted.temperature, wanted.setting) != before)
        _dragMoved = true;
}

void CurveEditor::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !_dragged)
        return;
    _dragged.reset();
    update();
    if (_dragMoved)
        emit curveEdited(_model.curve());
    _dragMoved = false;
}

void CurveEditor::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    _dragged.reset();
    const QPoint at = event->position().toPoint();
    if (const auto near = pointNear(at)) {
        _model.removePoint(*near);
    } else if (plotArea().contains(at)) {
        const CurvePoint point = pointAt(at);
        _model.addPoint(point.temperature, point.setting);
    }
}

void CurveEditor::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRect area = plotArea();
    const QPalette& colours = palette();
    painter.fillRect(area, colours.color(QPalette::Base));

    // Grid and scales: every 10 °C (labelled every 20, or 30 on the wide axis) and every 20 %.
    const int top = maximumTemperature();
    const int labelStep = top > 100 ? 30 : 20;
    const QFontMetrics metrics = fontMetrics();
    QPen grid(colours.color(QPalette::Mid));
    grid.setWidth(0);
    for (int t = 0; t <= top; t += 10) {
        const int x = pixelFor({t, 0}).x();
        painter.setPen(grid);
        painter.drawLine(x, area.top(), x, area.bottom());
        if (t % labelStep == 0) {
            const QString label = QString::number(t);
            painter.setPen(colours.color(QPalette::Text));
            painter.drawText(x - metrics.horizontalAdvance(label) / 2, area.bottom() + metrics.ascent() + 3, label);
        }
    }
    for (int s = 0; s <= kMaxSetting; s += 20) {
        const int y = pixelFor({0, s}).y();
        painter.setPen(grid);
        painter.drawLine(area.left(), y, area.right(), y);
        const QString label = QStringLiteral("%1 %").arg(s);
        painter.setPen(colours.color(QPalette::Text));
        painter.drawText(area.left() - metrics.horizontalAdvance(label) - 4, y + metrics.ascent() / 2 - 1, label);
    }
    painter.drawText(area.right() - metrics.horizontalAdvance(QStringLiteral("°C")), area.bottom() - 3,
                     QStringLiteral("°C"));

    // The curve as the cooler reads it: flat before the first point and after the last.
    const auto& points = _model.points();
    QPainterPath path(QPointF(area.left(), pixelFor({0, points.front().setting}).y()));
    for (const CurvePoint& point : points)
        path.lineTo(pixelFor(point));
    path.lineTo(area.right(), pixelFor({0, points.back().setting}).y());
    painter.setPen(QPen(colours.color(QPalette::Highlight), 2));
    painter.drawPath(path);

    if (const auto current = _model.currentTemperature()) {
        const int x = pixelFor({std::clamp(*current, 0, top), 0}).x();
        painter.setPen(QPen(QColor(200, 40, 40), 1, Qt::DashLine));
        painter.drawLine(x, area.top(), x, area.bottom());
        const QString label = QStringLiteral("%1 °C").arg(*current);
        const int width = metrics.horizontalAdvance(label);
        painter.drawText(x + width + 4 > area.right() ? x - width - 3 : x + 3, area.top() + metrics.ascent(), label);
    }

    for (std::size_t i = 0; i < points.size(); ++i) {
        const bool dragged = _dragged == i;
        painter.setPen(QPen(colours.color(QPalette::Highlight), 1.5));
        painter.setBrush(dragged ? colours.color(QPalette::Highlight) : colours.color(QPalette::Base));
        painter.drawEllipse(pixelFor(points[i]), kRadius + (dragged ? 1 : 0), kRadius + (dragged ? 1 : 0));
    }
    if (_dragged) {
        const CurvePoint point = points[*_dragged];
        const QString label = QStringLiteral("%1 °C: %2 %").arg(point.temperature).arg(point.setting);
        painter.setPen(colours.color(QPalette::Text));
        painter.drawText(area.left() + 4, area.top() + metrics.ascent(), label);
    }
}

}  // namespace qarn
