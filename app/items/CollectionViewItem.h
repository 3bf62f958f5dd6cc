#pragma once

#include "channels/Channel.h"

namespace qarn {

// One row's item in a collection view: shows its represented object and its selected state.
// Subclasses override both setters and call the base version first.
class CollectionViewItem {
public:
    virtual ~CollectionViewItem();

    virtual void setRepresentedObject(const ItemData& object);
    const ItemData& representedObject() const { return _representedObject; }

    virtual void setSelected(bool selected);
    bool isSelected() const { return _selected; }

    // The row's recent values (drawn as a small graph where the item can) and what its tooltip
    // says; the base keeps them for subclasses to show.
    virtual void setHistory(SharedHistory history);
    const History& history() const;
    const SharedHistory& sharedHistory() const { return _history; }
    virtual void setToolTipText(const std::string& text);
    const std::string& toolTipText() const { return _toolTip; }

private:
    ItemData _representedObject;
    bool _selected = false;
    SharedHistory _history;
    std::string _toolTip;
};

}  // namespace qarn
