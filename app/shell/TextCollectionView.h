#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "items/TextItem.h"
#include "shell/CollectionView.h"

namespace qarn {

// A terminal's size in character cells.
struct TerminalSize {
    std::size_t rows = 24;
    std::size_t columns = 80;
};

// The list for a terminal: reloadData() rebuilds the rows from the data source, print() writes
// them, a header row as its title and a name/value row as name and value in two columns, then
// the row's history as bars in a third where it has one. Selection has no meaning here and stays
// empty.
class TextCollectionView : public CollectionView {
public:
    void setDataSource(CollectionViewDataSource* dataSource) override;
    // Knows the item kinds "ChannelItem" (a header) and "NameValueItem".
    bool registerNib(const std::string& nibName, const std::string& identifier) override;
    CollectionViewItem* makeItemWithIdentifier(const std::string& identifier, IndexPath indexPath) override;
    void reloadData() override;
    IndexPathSet selectionIndexPaths() const override;
    void setSelectionIndexPaths(const IndexPathSet& indexPaths) override;

    // The rows of the last reload, one text line each.
    std::vector<std::string> lines() const;

    // Writes lines() and then an empty line that ends the list.
    void print(std::ostream& out) const;
    // From now on every reload prints the list to out (null: no more), so that a tick costs
    // the main thread one wake-up, not two.
    void printEachReload(std::ostream* out) {
        _printTo = out;
        _size = nullptr;
    }
    // From now on every reload draws the list over the previous one (see frame()), below the
    // notices (paragraphs, each wrapped to the width and followed by an empty line), at the size
    // the terminal has at that moment. Null: no more.
    void redrawEachReload(std::ostream* out, std::function<TerminalSize()> size, std::vector<std::string> notices);

    // One redraw of lines from the top-left corner: each line cut to the width and cleared to
    // its end, the lines below the screen left out for a last line saying how many, then the
    // rest of the screen cleared. No newline follows the last line, so the screen never scrolls.
    static std::string frame(const std::vector<std::string>& lines, TerminalSize size);

    // text in lines of at most width columns, broken at spaces where it can be.
    static std::vector<std::string> wrap(const std::string& text, std::size_t width);

private:
    std::ostream* _printTo = nullptr;
    std::function<TerminalSize()> _size;   // set: redraw in place
    std::vector<std::string> _notices;
    CollectionViewDataSource* _dataSource = nullptr;
    std::map<std::string, TextItem::Kind> _kinds;        // identifier -> item kind
    std::vector<std::unique_ptr<TextItem>> _made;         // made since the last reload began
    std::vector<std::unique_ptr<TextItem>> _reusable;
    std::vector<const TextItem*> _rows;                   // by position; null where no item
};

}  // namespace qarn
