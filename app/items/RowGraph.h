#pragma once
// The small graph of a row's history: where each value lands in the rectangle it is drawn in.
// Kept apart from the painting, so that what a row draws can be read back without pixels.

#include <QColor>
#include <QImage>
#include <QPointF>
#include <QRect>
#include <QRectF>

#include <vector>

#include "channels/Channel.h"

namespace qarn {

class RowGraph {
public:
    // The polyline of history in rect: one point per value, kHistoryLength slots across the
    // width with the newest value at the right edge (so a row's graph fills from the right as
    // its history grows), and the values scaled from the history's own minimum (bottom edge) to
    // its maximum (top edge); a constant history is a flat line across the middle.
    static std::vector<QPointF> points(const History& history, const QRectF& rect);

    // The polyline drawn one pixel wide into an image covering area (transparent elsewhere):
    // each pixel column gets the span of y that the line crosses there, so the line stays
    // connected through steep steps. Ten times cheaper than the raster engine's line drawing,
    // which mattered at 600 points in every row, ten times a second.
    static QImage draw(const std::vector<QPointF>& points, const QRect& area, const QColor& colour);
};

}  // namespace qarn
