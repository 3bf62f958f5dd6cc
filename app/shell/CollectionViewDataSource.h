#pragma once

#include <cstdint>

#include "channels/Channel.h"
#include "shell/IndexPath.h"

namespace qarn {

class CollectionView;
class CollectionViewItem;

// What a collection view asks its controller, always on the main thread: the list's length, the
// item for a position (made by the view, filled by the controller), each row's size, and the
// user's selection changes.
class CollectionViewDataSource {
public:
    virtual ~CollectionViewDataSource();

    virtual std::int64_t numberOfSections(CollectionView& view) = 0;
    virtual std::int64_t numberOfItemsInSection(CollectionView& view, std::int64_t section) = 0;
    // Null when the position shows no item.
    virtual CollectionViewItem* itemForRepresentedObjectAt(CollectionView& view, IndexPath indexPath) = 0;
    virtual Size sizeForItemAt(CollectionView& view, IndexPath indexPath) = 0;

    // Called only for changes the user makes, not for setSelectionIndexPaths().
    virtual void didSelectItemsAt(CollectionView& view, const IndexPathSet& indexPaths) = 0;
    virtual void didDeselectItemsAt(CollectionView& view, const IndexPathSet& indexPaths) = 0;
};

}  // namespace qarn
