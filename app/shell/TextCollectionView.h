#pragma once

#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "items/TextItem.h"
#include "shell/CollectionView.h"

namespace qarn {

// The list for a terminal: reloadData() rebuilds the rows from the data source, print() writes
// them, a header row as its title and a name/value row as name and value in two columns.
// Selection has no meaning here and stays empty.
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
    void printEachReload(std::ostream* out) { _printTo = out; }

private:
    std::ostream* _printTo = nullptr;
    CollectionViewDataSource* _dataSource = nullptr;
    std::map<std::string, TextItem::Kind> _kinds;        // identifier -> item kind
    std::vector<std::unique_ptr<TextItem>> _made;         // made since the last reload began
    std::vector<std::unique_ptr<TextItem>> _reusable;
    std::vector<const TextItem*> _rows;                   // by position; null where no item
};

}  // namespace qarn
