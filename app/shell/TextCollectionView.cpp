#include "shell/TextCollectionView.h"

#include <algorithm>

#include "shell/CollectionViewDataSource.h"

namespace qarn {

namespace {

// Terminal columns of UTF-8 text, one per character: counts every byte but continuation bytes.
std::size_t columns(const std::string& text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

}  // namespace

void TextCollectionView::setDataSource(CollectionViewDataSource* dataSource) {
    _dataSource = dataSource;
}

bool TextCollectionView::registerNib(const std::string& nibName, const std::string& identifier) {
    if (nibName == kChannelItemIdentifier)
        _kinds[identifier] = TextItem::Kind::Header;
    else if (nibName == kNameValueItemIdentifier)
        _kinds[identifier] = TextItem::Kind::NameValue;
    else
        return false;
    return true;
}

CollectionViewItem* TextCollectionView::makeItemWithIdentifier(const std::string& identifier, IndexPath) {
    const auto kind = _kinds.find(identifier);
    if (kind == _kinds.end())
        return nullptr;
    auto reusable = std::find_if(_reusable.begin(), _reusable.end(),
                                 [&](const auto& item) { return item->kind() == kind->second; });
    std::unique_ptr<TextItem> item;
    if (reusable != _reusable.end()) {
        item = std::move(*reusable);
        _reusable.erase(reusable);
    } else {
        item = std::make_unique<TextItem>(kind->second);
    }
    _made.push_back(std::move(item));
    return _made.back().get();
}

void TextCollectionView::reloadData() {
    // Every item goes back to the pool; the data source takes them out again by identifier.
    for (auto& item : _made)
        _reusable.push_back(std::move(item));
    _made.clear();
    _rows.clear();
    if (!_dataSource)
        return;
    const std::int64_t count = _dataSource->numberOfSections(*this) > 0
                                   ? _dataSource->numberOfItemsInSection(*this, 0)
                                   : 0;
    for (std::int64_t i = 0; i < count; ++i) {
        CollectionViewItem* item = _dataSource->itemForRepresentedObjectAt(*this, {0, i});
        // Only our own items can come back; anything else shows as an empty row.
        const auto mine = std::find_if(_made.begin(), _made.end(),
                                       [&](const auto& made) { return made.get() == item; });
        _rows.push_back(mine != _made.end() ? mine->get() : nullptr);
    }
    if (_printTo)
        print(*_printTo);
}

IndexPathSet TextCollectionView::selectionIndexPaths() const {
    return {};
}

void TextCollectionView::setSelectionIndexPaths(const IndexPathSet&) {}

std::vector<std::string> TextCollectionView::lines() const {
    std::size_t nameWidth = 0;
    for (const TextItem* row : _rows) {
        if (row && row->kind() == TextItem::Kind::NameValue)
            nameWidth = std::max(nameWidth, columns(row->title()));
    }
    std::vector<std::string> lines;
    lines.reserve(_rows.size());
    for (const TextItem* row : _rows) {
        if (!row) {
            lines.emplace_back();
        } else if (row->kind() == TextItem::Kind::Header) {
            lines.push_back(row->title());
        } else {
            std::string line = "  " + row->title();
            line.append(nameWidth - columns(row->title()) + 2, ' ');
            line += row->value();
            lines.push_back(std::move(line));
        }
    }
    return lines;
}

void TextCollectionView::print(std::ostream& out) const {
    for (const std::string& line : lines())
        out << line << '\n';
    out << '\n';
    out.flush();
}

}  // namespace qarn
