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

// The first `width` columns of text, never splitting a character.
std::string cut(const std::string& text, std::size_t width) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && seen++ == width)
            return text.substr(0, i);
    }
    return text;
}

constexpr const char* kHome = "\x1b[H";
constexpr const char* kClearLine = "\x1b[K";
constexpr const char* kClearBelow = "\x1b[J";

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
    if (!_printTo)
        return;
    if (!_size) {
        print(*_printTo);
        return;
    }
    const TerminalSize size = _size();
    std::vector<std::string> shown;
    for (const std::string& notice : _notices) {
        for (std::string& line : wrap(notice, size.columns))
            shown.push_back(std::move(line));
        shown.emplace_back();
    }
    for (std::string& line : lines())
        shown.push_back(std::move(line));
    *_printTo << frame(shown, size);
    _printTo->flush();
}

void TextCollectionView::redrawEachReload(std::ostream* out, std::function<TerminalSize()> size,
                                          std::vector<std::string> notices) {
    _printTo = out;
    _size = out ? std::move(size) : nullptr;
    _notices = std::move(notices);
}

std::string TextCollectionView::frame(const std::vector<std::string>& lines, TerminalSize size) {
    const std::size_t rows = std::max<std::size_t>(size.rows, 1);
    const bool fits = lines.size() <= rows;
    const std::size_t shown = fits ? lines.size() : rows - 1;
    std::string frame = kHome;
    for (std::size_t i = 0; i < shown; ++i) {
        frame += cut(lines[i], size.columns);
        frame += kClearLine;
        if (i + 1 < rows)
            frame += '\n';
    }
    if (!fits) {
        frame += cut("… " + std::to_string(lines.size() - shown) + " more rows", size.columns);
        frame += kClearLine;
    }
    frame += kClearBelow;
    return frame;
}

std::vector<std::string> TextCollectionView::wrap(const std::string& text, std::size_t width) {
    width = std::max<std::size_t>(width, 1);
    std::vector<std::string> lines;
    std::string rest = text;
    while (columns(rest) > width) {
        // The last space that leaves at most `width` columns before it, else a hard cut.
        const std::string head = cut(rest, width + 1);
        const auto space = head.rfind(' ');
        if (space != std::string::npos && space > 0) {
            lines.push_back(rest.substr(0, space));
            rest.erase(0, space + 1);
        } else {
            lines.push_back(cut(rest, width));
            rest.erase(0, lines.back().size());
        }
    }
    lines.push_back(rest);
    return lines;
}

IndexPathSet TextCollectionView::selectionIndexPaths() const {
    return {};
}

void TextCollectionView::setSelectionIndexPaths(const IndexPathSet&) {}

std::vector<std::string> TextCollectionView::lines() const {
    std::size_t nameWidth = 0;
    std::size_t valueWidth = 0;   // of the rows with bars, which line up after the widest
    std::vector<std::string> bars(_rows.size());
    for (std::size_t i = 0; i < _rows.size(); ++i) {
        const TextItem* row = _rows[i];
        if (!row || row->kind() != TextItem::Kind::NameValue)
            continue;
        nameWidth = std::max(nameWidth, columns(row->title()));
        bars[i] = TextItem::historyBars(row->history());
        if (!bars[i].empty())
            valueWidth = std::max(valueWidth, columns(row->value()));
    }
    std::vector<std::string> lines;
    lines.reserve(_rows.size());
    for (std::size_t i = 0; i < _rows.size(); ++i) {
        const TextItem* row = _rows[i];
        if (!row) {
            lines.emplace_back();
        } else if (row->kind() == TextItem::Kind::Header) {
            lines.push_back(row->title());
        } else {
            std::string line = "  " + row->title();
            line.append(nameWidth - columns(row->title()) + 2, ' ');
            line += row->value();
            if (!bars[i].empty()) {
                line.append(valueWidth - columns(row->value()) + 2, ' ');
                line += bars[i];
            }
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
