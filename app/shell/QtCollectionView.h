#pragma once

#include <QRect>
#include <QScrollArea>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QSettings;

#include "shell/CollectionView.h"

namespace qarn {

// The window's list: one column of item widgets in a scroll area, each placed at the height the
// data source gives for its row, top to bottom without spacing, and as wide as the widest row or
// the window, whichever is wider. Items are made by identifier and reused across reloads. A click
// selects the row under the pointer (one row at a time); a click below the rows clears the
// selection.
class QtCollectionView : public QScrollArea, public CollectionView {
    Q_OBJECT

public:
    explicit QtCollectionView(QWidget* parent = nullptr);

    void setDataSource(CollectionViewDataSource* dataSource) override;
    // Knows the item widgets "ChannelItem" and "NameValueItem".
    bool registerNib(const std::string& nibName, const std::string& identifier) override;
    CollectionViewItem* makeItemWithIdentifier(const std::string& identifier, IndexPath indexPath) override;
    void reloadData() override;
    IndexPathSet selectionIndexPaths() const override;
    void setSelectionIndexPaths(const IndexPathSet& indexPaths) override;

    // What the list shows since the last reload, by position.
    std::int64_t numberOfRows() const { return static_cast<std::int64_t>(_rows.size()); }
    QWidget* rowWidget(std::int64_t position) const;          // null past the end or without item
    CollectionViewItem* itemAt(std::int64_t position) const;  // same
    // The size the data source gave, in the scrolled content's coordinates; the widget may be wider.
    QRect rowGeometry(std::int64_t position) const;
    QWidget* content() const { return _content; }

    // One line per row: position, identifier, texts, size, place and background, for debugging
    // and for checking a running window from outside.
    std::vector<std::string> describe() const;

    // Puts the window where it was when last closed, as saved in store under kGeometryKey (when
    // anything is saved there), and saves it there whenever it is closed. Before show().
    static constexpr const char* kGeometryKey = "WindowGeometry";
    void rememberGeometry(std::shared_ptr<QSettings> store);

    // Paints the items again in ItemBackground's colours, after the user changed them.
    void reapplyColors();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    struct Slot {
        std::string identifier;
        QWidget* widget = nullptr;
        CollectionViewItem* item = nullptr;
    };
    struct Row {
        Slot slot;
        QRect geometry;
    };

    void clickAt(QPoint contentPosition);
    void changeSelection(const IndexPathSet& selection, bool fromUser);
    void fitContent();

    CollectionViewDataSource* _dataSource = nullptr;
    std::map<std::string, std::string> _nibs;   // identifier -> nib name
    QWidget* _content;
    std::vector<Row> _rows;
    std::vector<Slot> _made;       // made while asking the data source for one row
    std::vector<Slot> _reusable;   // hidden, ready for the next row of their kind
    IndexPathSet _selection;
    QSize _rowsSize;   // the rows' extent: widest row by summed heights
    std::shared_ptr<QSettings> _geometryStore;
};

}  // namespace qarn
