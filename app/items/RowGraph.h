#pragma once
// The small graph of a row's history: where each value lands in the rectangle it is drawn in.
// Kept apart from the painting, so that what a row draws can be read back without pixels.

#include <QPointF>
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
};

}  // namespace qarn
