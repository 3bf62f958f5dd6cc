#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "channels/Channel.h"
#include "channels/ChannelSnapshot.h"
#include "shell/CollectionViewDataSource.h"

namespace qarn {

class CollectionView;
class IntelCPU;
class MainQueue;
class ServiceDirectory;
class NotificationCenter;
struct Notification;

// A list position mapped to a channel (its place in the channel list) and an item in it.
struct ChannelItemIndex {
    std::int64_t channel = 0;
    std::int64_t item = 0;

    bool operator==(const ChannelItemIndex&) const = default;
};

// The controller of the monitor's list: owns the channels in display order, samples them all on
// each tick and has the list reloaded on the main thread.
//
// Threads: sampling runs on the tick thread under _lock. At the end of each pass, still under
// _lock, the controller copies every channel's rows into one immutable snapshot and publishes
// it; the main thread adopts the newest published snapshot when it reloads, and every data-source
// callback reads only that. So the list never sees a channel in the middle of sample(), and no
// main-thread callback takes _lock, which addChannel() holds while it publishes.
// How the controller reaches the CPU service when its view loads.
struct CPUServiceAccess {
    // The installation check (loadVennix); nothing when empty.
    std::function<void()> loadVennix;
    // Where the service "Vennix" is looked for; null: there is none, and the CPU channels show
    // what they show without an accessor.
    std::shared_ptr<ServiceDirectory> directory;
    // The package and per-CPU channels after the header; tests of the list's own workings leave
    // them out.
    bool cpuChannels = true;
};

class ViewController : public CollectionViewDataSource, public std::enable_shared_from_this<ViewController> {
public:
    // Only the list's first channels are counted; more than this is not a real list.
    static constexpr std::int64_t kMaxChannels = 9999;

    // The centre, the queue and the view must outlive the controller's use of them.
    static std::shared_ptr<ViewController> create(NotificationCenter& center, MainQueue& mainQueue,
                                                  CollectionView& collectionView,
                                                  CPUServiceAccess access = {});

    // Checks the CPU service, opens the CPU accessor, sets the list up with its three channels and
    // starts observing ticks; main thread, once.
    void viewDidLoad();

    // The installation check of the CPU service; blocks until it is done.
    void loadVennix();

    // The shared CPU accessor; null before viewDidLoad or when the service could not be opened.
    std::shared_ptr<IntelCPU> cpu() const { return _cpu; }

    // Appends the channel and has the list reloaded (queued to the main thread). Answers the
    // channel; null for a null channel, which is not added. Any thread, but not from sample().
    std::shared_ptr<Channel> addChannel(std::shared_ptr<Channel> channel);

    // One tick, on the tick thread: samples every channel in list order under _lock, publishes
    // their rows and queues a reload. Does not wait for the reload.
    void timerLoop(const Notification& notification);

    // Reloads the list now and keeps the selected positions; main thread.
    void refresh();

    // Everything below reads the rows the list shows (the snapshot adopted at the last reload);
    // main thread.

    // Sum of the item counts of the first min(n, channel count) channels; n is compared as
    // unsigned, so a negative n counts every channel.
    std::int64_t numberOfItemsInChannels(std::int64_t n) const;

    // Maps a list position to (channel, item), skipping channels without items. Positions at or
    // beyond the end yield channel == the number of channels and the remainder as item.
    ChannelItemIndex channelItemIndexFor(IndexPath indexPath) const;

    std::int64_t numberOfSections(CollectionView& view) override;
    std::int64_t numberOfItemsInSection(CollectionView& view, std::int64_t section) override;
    CollectionViewItem* itemForRepresentedObjectAt(CollectionView& view, IndexPath indexPath) override;
    Size sizeForItemAt(CollectionView& view, IndexPath indexPath) override;
    // Selecting and deselecting change nothing here; only the items' look changes.
    void didSelectItemsAt(CollectionView& view, const IndexPathSet& indexPaths) override;
    void didDeselectItemsAt(CollectionView& view, const IndexPathSet& indexPaths) override;

private:
    using Rows = std::vector<ChannelSnapshot>;

    ViewController(NotificationCenter& center, MainQueue& mainQueue, CollectionView& collectionView,
                   CPUServiceAccess access);

    // Copies all channels' rows and makes them the newest published rows. Caller holds _lock.
    void publishLocked();
    // Queues a reload on the main thread; the task keeps the controller alive until it has run.
    void requestReload();
    // Main thread: adopts the newest published rows and reloads the list from them.
    void reloadData();
    // The shown row for a position; null past the end.
    const ChannelSnapshot::Row* shownRowAt(IndexPath indexPath) const;

    NotificationCenter& _center;
    MainQueue& _mainQueue;
    CollectionView& _collectionView;
    const CPUServiceAccess _access;
    std::shared_ptr<IntelCPU> _cpu;                   // set in viewDidLoad, then only read

    std::mutex _lock;                                 // guards _channels and every sampling pass
    std::vector<std::shared_ptr<Channel>> _channels;  // display order, only appended to

    mutable std::mutex _publishLock;                  // guards _published; taken inside _lock or alone
    std::shared_ptr<const Rows> _published;

    std::shared_ptr<const Rows> _shown;               // main thread only
};

}  // namespace qarn
