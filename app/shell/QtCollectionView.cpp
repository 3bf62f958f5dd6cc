#include "shell/QtCollectionView.h"

#include <QCloseEvent>
#include <QEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPalette>
#include <QSettings>

#include <algorithm>
#include <cmath>

#include "items/ChannelItem.h"
#include "items/ItemBackground.h"
#include "items/NameValueItem.h"
#include "shell/CollectionViewDataSource.h"

namespace qarn {

namespace {

// A row size from a channel, in whole pixels; nonsense (negative, NaN, absurdly large) is bounded.
int pixels(double points) {
    constexpr double kLargest = 100000.0;
    if (!(points > 0.0))
        return 0;
    return static_cast<int>(std::lround(std::min(points, kLargest)));
}

std::string background(const QWidget& widget) {
    if (!widget.autoFillBackground())
        return "default";
    const QColor colour = widget.palette().color(QPalette::Window);
    if (colour == ItemBackground::builtInSelected())
        return "blue";
    if (colour == ItemBackground::builtInDeselected())
        return "yellow";
    return colour.name().toStdString();
}

}  // namespace

QtCollectionView::QtCollectionView(QWidget* parent) : QScrollArea(parent), _content(new QWidget) {
    setWidgetResizable(false);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setWidget(_content);
    _content->installEventFilter(this);
}

void QtCollectionView::setDataSource(CollectionViewDataSource* dataSource) {
    _dataSource = dataSource;
}

bool QtCollectionView::registerNib(const std::string& nibName, const std::string& identifier) {
    if (nibName != kChannelItemIdentifier && nibName != kNameValueItemIdentifier)
        return false;
    _nibs[identifier] = nibName;
    return true;
}

CollectionViewItem* QtCollectionView::makeItemWithIdentifier(const std::string& identifier, IndexPath) {
    const auto nib = _nibs.find(identifier);
    if (nib == _nibs.end())
        return nullptr;
    const auto reusable = std::find_if(_reusable.begin(), _reusable.end(),
                                       [&](const Slot& slot) { return slot.identifier == identifier; });
    Slot slot;
    if (reusable != _reusable.end()) {
        slot = *reusable;
        _reusable.erase(reusable);
    } else {
        slot.identifier = identifier;
        if (nib->second == kChannelItemIdentifier) {
            auto* item = new ChannelItem(_content);
            slot.widget = item;
            slot.item = item;
        } else {
            auto* item = new NameValueItem(_content);
            slot.widget = item;
            slot.item = item;
        }
        // Clicks go to the list, which decides about selection.
        slot.widget->setAttribute(Qt::WA_TransparentForMouseEvents);
        slot.widget->hide();
    }
    _made.push_back(slot);
    return slot.item;
}

void QtCollectionView::reloadData() {
    // The selection does not survive a reload: selected items are told first.
    changeSelection({}, false);

    for (Row& row : _rows) {
        if (row.slot.widget)
            _reusable.push_back(row.slot);
    }
    _rows.clear();

    const std::int64_t count = _dataSource && _dataSource->numberOfSections(*this) > 0
                                   ? _dataSource->numberOfItemsInSection(*this, 0)
                                   : 0;
    int top = 0;
    int width = 0;
    for (std::int64_t i = 0; i < count; ++i) {
        _made.clear();
        CollectionViewItem* item = _dataSource->itemForRepresentedObjectAt(*this, {0, i});
        Row row;
        for (const Slot& made : _made) {
            if (made.item == item && item)
                row.slot = made;
            else
                _reusable.push_back(made);   // made but not used for this row
        }
        _made.clear();
        const Size size = _dataSource->sizeForItemAt(*this, {0, i});
        row.geometry = QRect(0, top, pixels(size.width), pixels(size.height));
        top += row.geometry.height();
        width = std::max(width, row.geometry.width());
        if (row.slot.widget)
            row.slot.widget->show();
        _rows.push_back(row);
    }
    for (const Slot& slot : _reusable)
        slot.widget->hide();
    _rowsSize = QSize(width, top);
    fitContent();
}

void QtCollectionView::fitContent() {
    // At least as large as the viewport, so that a click beside or below the rows still reaches
    // the list (and clears the selection); every row as wide as the content, so the rows grow
    // with the window and a narrow row does not leave a gap beside it.
    const int width = std::max(_rowsSize.width(), viewport()->width());
    _content->resize(width, std::max(_rowsSize.height(), viewport()->height()));
    for (const Row& row : _rows) {
        if (row.slot.widget)
            row.slot.widget->setGeometry(row.geometry.x(), row.geometry.y(), width, row.geometry.height());
    }
}

void QtCollectionView::resizeEvent(QResizeEvent* event) {
    QScrollArea::resizeEvent(event);
    fitContent();
}

bool QtCollectionView::viewportEvent(QEvent* event) {
    // The viewport also narrows without the window resizing, when the vertical scroll bar appears.
    if (event->type() == QEvent::Resize)
        fitContent();
    return QScrollArea::viewportEvent(event);
}

void QtCollectionView::rememberGeometry(std::shared_ptr<QSettings> store) {
    _geometryStore = std::move(store);
    if (!_geometryStore)
        return;
    const QVariant saved = _geometryStore->value(QLatin1String(kGeometryKey));
    if (saved.isValid())
        restoreGeometry(saved.toByteArray());
}

void QtCollectionView::closeEvent(QCloseEvent* event) {
    if (_geometryStore) {
        _geometryStore->setValue(QLatin1String(kGeometryKey), saveGeometry());
        _geometryStore->sync();
    }
    QScrollArea::closeEvent(event);
}

void QtCollectionView::reapplyColors() {
    for (const Row& row : _rows) {
        // Items never selected nor deselected keep the default background.
        if (row.slot.widget && row.slot.item && row.slot.widget->autoFillBackground())
            ItemBackground::apply(*row.slot.widget, row.slot.item->isSelected());
        if (row.slot.widget)
            row.slot.widget->update();
    }
}

IndexPathSet QtCollectionView::selectionIndexPaths() const {
    return _selection;
}

void QtCollectionView::setSelectionIndexPaths(const IndexPathSet& indexPaths) {
    changeSelection(indexPaths, false);
}

void QtCollectionView::changeSelection(const IndexPathSet& requested, bool fromUser) {
    IndexPathSet selection;
    for (const IndexPath& path : requested) {
        if (path.section == 0 && itemAt(path.item))
            selection.insert(path);
    }
    IndexPathSet deselected;
    IndexPathSet selected;
    std::set_difference(_selection.begin(), _selection.end(), selection.begin(), selection.end(),
                        std::inserter(deselected, deselected.end()));
    std::set_difference(selection.begin(), selection.end(), _selection.begin(), _selection.end(),
                        std::inserter(selected, selected.end()));
    _selection = selection;
    for (const IndexPath& path : deselected) {
        if (CollectionViewItem* item = itemAt(path.item))
            item->setSelected(false);
    }
    for (const IndexPath& path : selected)
        itemAt(path.item)->setSelected(true);
    if (fromUser && _dataSource) {
        if (!deselected.empty())
            _dataSource->didDeselectItemsAt(*this, deselected);
        if (!selected.empty())
            _dataSource->didSelectItemsAt(*this, selected);
    }
}

QWidget* QtCollectionView::rowWidget(std::int64_t position) const {
    if (position < 0 || position >= numberOfRows())
        return nullptr;
    return _rows[static_cast<std::size_t>(position)].slot.widget;
}

CollectionViewItem* QtCollectionView::itemAt(std::int64_t position) const {
    if (position < 0 || position >= numberOfRows())
        return nullptr;
    return _rows[static_cast<std::size_t>(position)].slot.item;
}

QRect QtCollectionView::rowGeometry(std::int64_t position) const {
    if (position < 0 || position >= numberOfRows())
        return {};
    return _rows[static_cast<std::size_t>(position)].geometry;
}

void QtCollectionView::clickAt(QPoint contentPosition) {
    IndexPathSet selection;
    for (std::int64_t i = 0; i < numberOfRows(); ++i) {
        const QRect& geometry = _rows[static_cast<std::size_t>(i)].geometry;
        // Rows span the content's width, whatever width their channel gave.
        if (contentPosition.y() >= geometry.top() && contentPosition.y() <= geometry.bottom() &&
            geometry.height() > 0) {
            selection.insert({0, i});
            break;
        }
    }
    changeSelection(selection, true);
}

bool QtCollectionView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == _content &&
        (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonRelease)) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton) {
            if (event->type() == QEvent::MouseButtonPress)
                clickAt(mouse->position().toPoint());
            return true;
        }
    }
    return QScrollArea::eventFilter(watched, event);
}

std::vector<std::string> QtCollectionView::describe() const {
    std::vector<std::string> lines;
    for (std::int64_t i = 0; i < numberOfRows(); ++i) {
        const Row& row = _rows[static_cast<std::size_t>(i)];
        std::string line = "row " + std::to_string(i) + " ";
        if (!row.slot.widget) {
            line += "(none)";
        } else {
            line += row.slot.identifier;
            if (const auto* item = qobject_cast<const NameValueItem*>(row.slot.widget)) {
                line += " \"" + item->titleText().toStdString() + "\" \"" + item->valueText().toStdString() + "\"";
            } else {
                for (const QLabel* label : row.slot.widget->findChildren<QLabel*>())
                    line += " \"" + label->text().toStdString() + "\"";
            }
        }
        line += " " + std::to_string(row.geometry.width()) + "x" + std::to_string(row.geometry.height()) +
                " at " + std::to_string(row.geometry.x()) + "," + std::to_string(row.geometry.y());
        if (row.slot.widget)
            line += std::string(" ") + (row.slot.widget->isVisible() ? "visible" : "hidden") + " " +
                    background(*row.slot.widget);
        lines.push_back(std::move(line));
    }
    return lines;
}

}  // namespace qarn
