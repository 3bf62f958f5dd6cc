#pragma once

#include <cstddef>
#include <string>

#include "items/CollectionViewItem.h"

namespace qarn {

// An item of the text list: a header row as its title, a name/value row as name and value.
class TextItem : public CollectionViewItem {
public:
    enum class Kind { Header, NameValue };

    explicit TextItem(Kind kind) : _kind(kind) {}

    Kind kind() const { return _kind; }

    // Same rules as the window's items: data of the other kind, or null, leaves the text as it was.
    void setRepresentedObject(const ItemData& object) override;

    const std::string& title() const { return _title; }
    const std::string& value() const { return _value; }

    // How many characters historyBars() draws.
    static constexpr std::size_t kBarsWidth = 20;

    // The history as bars ▁..█, newest last: each character the mean of an equal slice of the
    // samples, scaled between the lowest and highest of those means; a flat history is all ▄
    // (steady, not low). Shorter than width samples: one character each, right-aligned with
    // spaces so the newest stays in the same column. A slice without a finite sample is a space;
    // no finite sample at all gives "".
    static std::string historyBars(const History& history, std::size_t width = kBarsWidth);

private:
    Kind _kind;
    std::string _title;
    std::string _value;
};

}  // namespace qarn
