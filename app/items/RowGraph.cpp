#include "items/RowGraph.h"

#include <algorithm>

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

}  // namespace qarn
