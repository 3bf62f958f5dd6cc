#pragma once
// A cooler curve as a graph of setting (0 to 100 %) against temperature, with points the user
// drags, adds (double-click on empty space) and removes (double-click or right-click a point),
// and the temperature the curve acts on now marked as a vertical line.
//
// The points live in a CurveModel, which keeps them a curve the cooler takes (temperatures
// rising from 0 to CoolerSettings::kMaxTemperature, settings 0 to 100, one to kMaxPoints
// points) whatever is asked of it; the widget only maps the mouse onto it.

#include <QObject>
#include <QWidget>

#include <cstddef>
#include <optional>
#include <vector>

#include "prefs/CoolerSettings.h"

namespace qarn {

struct CurvePoint {
    int temperature = 0;
    int setting = 0;
    bool operator==(const CurvePoint&) const = default;
};

class CurveModel : public QObject {
    Q_OBJECT

public:
    explicit CurveModel(QObject* parent = nullptr);

    // Replaces the points with a curve as the cooler takes it ([temperatures..., settings...]);
    // false, and nothing changes, for one it would not take.
    bool setCurve(const CoolerCurve& curve);
    CoolerCurve curve() const;
    const std::vector<CurvePoint>& points() const { return _points; }

    // The edits. Each keeps the curve valid: a point moves only between its neighbours (and
    // within the ranges), a point is added only where no point has its temperature and while
    // there is room, and the last point stays. The point where the moved one ended up; the
    // index of the added one; whether a point went.
    CurvePoint movePoint(std::size_t index, int temperature, int setting);
    std::optional<std::size_t> addPoint(int temperature, int setting);
    bool removePoint(std::size_t index);

    // The temperature the curve acts on now; nothing when unknown.
    void setCurrentTemperature(std::optional<int> temperature);
    std::optional<int> currentTemperature() const { return _current; }

signals:
    // The points or the current temperature changed, by an edit or from outside.
    void changed();
    // An edit changed the points.
    void edited();

private:
    std::vector<CurvePoint> _points{{30, 25}};
    std::optional<int> _current;
};

class CurveEditor : public QWidget {
    Q_OBJECT

public:
    explicit CurveEditor(QWidget* parent = nullptr);

    CurveModel& model() { return _model; }
    const CurveModel& model() const { return _model; }

    // Where a point is drawn, and the point a place stands for (rounded, within the axes).
    QPoint pixelFor(CurvePoint point) const;
    CurvePoint pointAt(QPoint pixel) const;
    // The point drawn within reach of pixel, nearest first.
    std::optional<std::size_t> pointNear(QPoint pixel) const;

    // The axes' temperature range: 0 to 100 °C, or to kMaxTemperature where a point or the
    // current temperature lies above 100.
    int maximumTemperature() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    // The user finished an edit (a drag when the button is released): the curve to apply.
    void curveEdited(const CoolerCurve& curve);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    QRect plotArea() const;

    CurveModel _model;
    std::optional<std::size_t> _dragged;
    bool _dragMoved = false;
    int _dragAxis = 0;   // the axes stay put while a point is dragged across 100 °C
};

}  // namespace qarn
