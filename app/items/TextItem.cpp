#include "items/TextItem.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

namespace qarn {

std::string TextItem::historyBars(const History& history, std::size_t width) {
    static constexpr const char* kLevels[] = {"▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
    static constexpr int kTop = 7;
    const std::size_t count = std::min(history.size(), kHistoryLength);
    const auto first = history.end() - static_cast<std::ptrdiff_t>(count);
    const std::size_t slices = std::min(count, width);
    std::vector<std::optional<double>> means(slices);
    std::optional<double> low, high;
    for (std::size_t i = 0; i < slices; ++i) {
        double sum = 0;
        std::size_t finite = 0;
        for (auto sample = first + static_cast<std::ptrdiff_t>(i * count / slices);
             sample != first + static_cast<std::ptrdiff_t>((i + 1) * count / slices); ++sample) {
            if (std::isfinite(*sample)) {
                sum += *sample;
                ++finite;
            }
        }
        if (finite == 0)
            continue;
        const double mean = sum / static_cast<double>(finite);
        means[i] = mean;
        low = std::min(low.value_or(mean), mean);
        high = std::max(high.value_or(mean), mean);
    }
    if (!low)
        return {};
    std::string bars(width - slices, ' ');
    for (const auto& mean : means) {
        if (!mean)
            bars += ' ';
        else if (*high == *low)
            bars += kLevels[3];   // ▄
        else
            bars += kLevels[std::lround((*mean - *low) / (*high - *low) * kTop)];
    }
    return bars;
}

void TextItem::setRepresentedObject(const ItemData& object) {
    CollectionViewItem::setRepresentedObject(object);
    if (_kind == Kind::Header) {
        if (const auto* title = std::get_if<std::string>(&object))
            _title = *title;
        return;
    }
    if (const auto* row = std::get_if<Dictionary>(&object)) {
        const auto name = row->find(kNameKey);
        const auto value = row->find(kValueKey);
        _title = name == row->end() ? std::string() : name->second;
        _value = value == row->end() ? std::string() : value->second;
    }
}

}  // namespace qarn
