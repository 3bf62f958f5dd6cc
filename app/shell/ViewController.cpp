#include "shell/ViewController.h"

#include <algorithm>

#include "items/CollectionViewItem.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "shell/AppDelegate.h"
#include "shell/CollectionView.h"
#include "telemetry/CPUChannel.h"
#include "telemetry/IntelCPU.h"
#include "telemetry/MetricsChannel.h"
#include "telemetry/PackageChannel.h"

namespace qarn {

std::shared_ptr<ViewController> ViewController::create(NotificationCenter& center, MainQueue& mainQueue,
                                                       CollectionView& collectionView, CPUServiceAccess access) {
    return std::shared_ptr<ViewController>(new ViewController(center, mainQueue, collectionView, std::move(access)));
}

ViewController::ViewController(NotificationCenter& center, MainQueue& mainQueue, CollectionView& collectionView,
                               CPUServiceAccess access)
    : _center(center), _mainQueue(mainQueue), _collectionView(collectionView), _access(std::move(access)) {}

void ViewController::loadVennix() {
    if (_access.loadVennix)
        _access.loadVennix();
}

void ViewController::viewDidLoad() {
    // Order matters: the installation check of the CPU service first (nothing below may run before
    // it has returned), then the shared CPU accessor (which may be missing; start-up goes on), then
    // the list, the channels in display order and, last, the tick observer.
    loadVennix();
    _cpu = _access.directory ? IntelCPU::create(*_access.directory) : nullptr;

    // The list: one column of items made by identifier.
    _collectionView.setDataSource(this);
    _collectionView.registerNib(kChannelItemIdentifier, kChannelItemIdentifier);
    _collectionView.registerNib(kNameValueItemIdentifier, kNameValueItemIdentifier);

    // The channels, in display order.
    addChannel(Channel::create());
    if (_access.cpuChannels) {
        addChannel(PackageChannel::with(_cpu));
        const auto perCPU = CPUChannel::with(_cpu);
        addChannel(perCPU);
        // Reads the per-CPU channel's batches of the tick, so it comes after it.
        addChannel(MetricsChannel::with(_cpu, perCPU->readings()));
    }

    // Ticks arrive on the tick thread. A weak reference, because the centre outlives controllers
    // and the controller never removes itself.
    std::weak_ptr<ViewController> weak = shared_from_this();
    _center.addObserver(AppDelegate::kTickNotification, [weak](const Notification& notification) {
        if (auto self = weak.lock())
            self->timerLoop(notification);
    });
}

std::shared_ptr<Channel> ViewController::addChannel(std::shared_ptr<Channel> channel) {
    if (!channel)
        return nullptr;
    {
        std::lock_guard guard(_lock);
        _channels.push_back(channel);
        publishLocked();
    }
    // Queued rather than called here: the list's callbacks must not run while _lock is held, and
    // this may be called from a thread other than the main one.
    requestReload();
    return channel;
}

void ViewController::timerLoop(const Notification&) {
    std::lock_guard guard(_lock);
    for (const auto& channel : _channels)
        channel->sample();
    publishLocked();
    requestReload();
}

void ViewController::refresh() {
    const IndexPathSet selection = _collectionView.selectionIndexPaths();
    reloadData();
    _collectionView.setSelectionIndexPaths(selection);
}

void ViewController::publishLocked() {
    auto rows = std::make_shared<Rows>();
    rows->reserve(_channels.size());
    for (const auto& channel : _channels)
        rows->push_back(ChannelSnapshot::of(*channel));
    std::lock_guard guard(_publishLock);
    _published = std::move(rows);
}

void ViewController::requestReload() {
    _mainQueue.dispatchAsync([self = shared_from_this()] { self->reloadData(); });
}

void ViewController::reloadData() {
    {
        std::lock_guard guard(_publishLock);
        _shown = _published;
    }
    _collectionView.reloadData();
}

std::int64_t ViewController::numberOfItemsInChannels(std::int64_t n) const {
    if (!_shown)
        return 0;
    const auto count = static_cast<std::uint64_t>(_shown->size());
    const auto m = std::min(static_cast<std::uint64_t>(n), count);
    std::int64_t total = 0;
    for (std::uint64_t c = 0; c < m; ++c)
        total += (*_shown)[c].numberOfItems();
    return total;
}

ChannelItemIndex ViewController::channelItemIndexFor(IndexPath indexPath) const {
    std::int64_t p = indexPath.item;
    std::int64_t c = 0;
    const auto count = _shown ? static_cast<std::int64_t>(_shown->size()) : 0;
    while (c < count) {
        const std::int64_t items = (*_shown)[static_cast<std::size_t>(c)].numberOfItems();
        if (p < items)
            break;
        p -= items;
        ++c;
    }
    return {c, p};
}

const ChannelSnapshot::Row* ViewController::shownRowAt(IndexPath indexPath) const {
    const ChannelItemIndex index = channelItemIndexFor(indexPath);
    if (!_shown || index.channel >= static_cast<std::int64_t>(_shown->size()))
        return nullptr;
    return (*_shown)[static_cast<std::size_t>(index.channel)].rowAt(index.item);
}

std::int64_t ViewController::numberOfSections(CollectionView&) {
    return 1;
}

std::int64_t ViewController::numberOfItemsInSection(CollectionView&, std::int64_t) {
    return numberOfItemsInChannels(kMaxChannels);
}

CollectionViewItem* ViewController::itemForRepresentedObjectAt(CollectionView& view, IndexPath indexPath) {
    const ChannelSnapshot::Row* row = shownRowAt(indexPath);
    if (!row)
        return nullptr;
    CollectionViewItem* item = view.makeItemWithIdentifier(row->identifier, indexPath);
    if (item) {
        item->setRepresentedObject(row->data);
        item->setHistory(row->history);
        item->setToolTipText(row->toolTip);
    }
    return item;
}

Size ViewController::sizeForItemAt(CollectionView&, IndexPath indexPath) {
    const ChannelSnapshot::Row* row = shownRowAt(indexPath);
    return row ? row->size : Size{};
}

void ViewController::didSelectItemsAt(CollectionView&, const IndexPathSet&) {}

void ViewController::didDeselectItemsAt(CollectionView&, const IndexPathSet&) {}

}  // namespace qarn
