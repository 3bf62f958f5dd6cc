#pragma once

#include <string>

#include "shell/IndexPath.h"

namespace qarn {

class CollectionViewDataSource;
class CollectionViewItem;

// A single-column list of items driven by a data source. Two kinds exist: the window's list and
// the text list. All calls happen on the main thread.
class CollectionView {
public:
    virtual ~CollectionView();

    // The data source is not owned and must outlive the view's use of it.
    virtual void setDataSource(CollectionViewDataSource* dataSource) = 0;

    // Makes the item kind that the view knows under nibName available under identifier. False
    // when the view has no item kind of that name.
    virtual bool registerNib(const std::string& nibName, const std::string& identifier) = 0;

    // An item of the kind registered under identifier, new or reused, for the position; null when
    // nothing is registered under it. The view owns the item; it stays valid until the next reload.
    virtual CollectionViewItem* makeItemWithIdentifier(const std::string& identifier, IndexPath indexPath) = 0;

    // Rebuilds every row from the data source. The selection is cleared: selected items are
    // deselected first.
    virtual void reloadData() = 0;

    virtual IndexPathSet selectionIndexPaths() const = 0;
    // Selects exactly these positions (those past the end are ignored), telling only the items
    // whose state changes.
    virtual void setSelectionIndexPaths(const IndexPathSet& indexPaths) = 0;
};

}  // namespace qarn
