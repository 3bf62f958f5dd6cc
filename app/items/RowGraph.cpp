#include "items/RowGraph.h"

#include <algorithm>
#include <cmath>

namespace qarn {

std::vector<QPointF> RowGraph::points(const History& history, const QRectF& rect) {
    std::vector<QPointF> points;
    if (history.empty() || rect.isEmpty())
        return points;
    // The newest kHistoryLength values, should a longer history come.
    const std::size_t count = std::min(history.size(), kHistoryLength);
    const auto first = history.end() - static_cast<std::ptrdiff_t>(count);
    const auto [low, high] = std::minmax_element(first, history.end());
    const double range = static_cast<double>(*high) - *low;
    const double step = rect.width() / static_cast<double>(kHistoryLength - 1);
    const double start = rect.right() - step * static_cast<double>(count - 1);
    points.reserve(count);
    for (auto value = first; value != history.end(); ++value) {
        const double x = start + step * static_cast<double>(value - first);
        const double y = range > 0 ? rect.bottom() - (static_cast<double>(*value) - *low) / range * rect.height()
                                   : rect.center().y();
        points.emplace_back(x, y);
    }
    return points;
}

QImage RowGraph::draw(const std::vector<QPointF>& points, const QRect& area, const QColor& colour) {
    QImage image(area.size(), QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return image;
    image.fill(Qt::transparent);
    const int width = image.width();
    const int height = image.height();
    std::vector<int> low(static_cast<std::size_t>(width), height);
    std::vector<int> high(static_cast<std::size_t>(width), -1);
    // Clamped before truncation, so truncating is the floor (and compiles without branches).
    const double bottomRow = height - 1;
    const double lastColumn = width - 1;
    const auto row = [bottomRow](double y) { return static_cast<int>(std::min(std::max(y, 0.0), bottomRow)); };
    const auto column = [lastColumn](double x) { return static_cast<int>(std::min(std::max(x, 0.0), lastColumn)); };
    const auto cover = [&](int c, int r0, int r1) {
        low[static_cast<std::size_t>(c)] = std::min({low[static_cast<std::size_t>(c)], r0, r1});
        high[static_cast<std::size_t>(c)] = std::max({high[static_cast<std::size_t>(c)], r0, r1});
    };
    const QPointF origin(area.topLeft());
    QPointF previous;
    int previousColumn = -1;
    int previousRow = 0;
    for (const QPointF& point : points) {
        const QPointF p = point - origin;
        if (!std::isfinite(p.x()) || !std::isfinite(p.y())) {
            previousColumn = -1;
            continue;
        }
        const int c = column(p.x());
        const int r = row(p.y());
        if (previousColumn == c) {
            cover(c, previousRow, r);
        } else if (previousColumn >= 0) {
            // The segment crosses into another column: each column it passes gets the rows between
            // where it enters and where it leaves.
            const int step = c > previousColumn ? 1 : -1;
            const double slope = (p.y() - previous.y()) / (p.x() - previous.x());
            int from = previousRow;
            for (int k = previousColumn; k != c; k += step) {
                const double boundary = step > 0 ? k + 1 : k;
                const int at = row(previous.y() + (boundary - previous.x()) * slope);
                cover(k, from, at);
                from = at;
            }
            cover(c, from, r);
        } else {
            cover(c, r, r);
        }
        previous = p;
        previousColumn = c;
        previousRow = r;
    }
    const QRgb pixel = qPremultiply(colour.rgba());
    uchar* const bits = image.bits();   // detaches once, not for every pixel as scanLine() would
    const qsizetype stride = image.bytesPerLine();
    for (int c = 0; c < width; ++c) {
        for (int y = low[static_cast<std::size_t>(c)]; y <= high[static_cast<std::size_t>(c)]; ++y)
            reinterpret_cast<QRgb*>(bits + y * stride)[c] = pixel;
    }
    return image;
}

}  // namespace qarn
