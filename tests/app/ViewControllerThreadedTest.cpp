#include <algorithm>
#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "TestChannels.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "shell/AppDelegate.h"
#include "shell/Application.h"
#include "shell/LaunchOptions.h"
#include "shell/TextCollectionView.h"
#include "shell/ViewController.h"
#include "platform/EmbeddedServiceDirectory.h"

namespace qarn {
namespace {

// Writes its rows one at a time, pausing between them, with plain (non-atomic) strings: a reader
// that looked at the channel during sample() would see rows of two passes, and ThreadSanitizer
// would report the unsynchronised reads.
class SlowChannel : public Channel {
public:
    static constexpr int kRows = 4;

    SlowChannel() {
        for (int i = 0; i < kRows; ++i)
            _rows.push_back(row("S" + std::to_string(i), "0"));
    }

    std::int64_t numberOfItems() const override { return kRows; }
    ItemData dataAt(std::int64_t index) const override { return _rows.at(static_cast<std::size_t>(index)); }
    Size sizeAt(std::int64_t) const override { return {240.0, 22.0}; }
    std::string itemIdentifierAt(std::int64_t) const override { return kNameValueItemIdentifier; }

    void sample() override {
        ++_pass;
        for (auto& r : _rows) {
            r[kValueKey] = std::to_string(_pass);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

private:
    std::vector<Dictionary> _rows;
    int _pass = 0;
};

// The passes shown for the slow channel's rows, in list order.
std::vector<int> shownPasses(const std::vector<std::string>& lines) {
    std::vector<int> passes;
    for (const std::string& line : lines) {
        if (line.rfind("  S", 0) == 0)
            passes.push_back(std::stoi(line.substr(line.rfind(' ') + 1)));
    }
    return passes;
}

TEST(ViewControllerThreadedTest, TheListNeverShowsAChannelInTheMiddleOfASamplingPass) {
    RunLoop mainQueue;   // this thread is the main thread
    TextCollectionView list;
    NotificationCenter center;
    auto controller = ViewController::create(center, mainQueue, list, testing::listOnly());
    controller->viewDidLoad();
    controller->addChannel(std::make_shared<SlowChannel>());

    AppDelegate delegate(center, [](std::chrono::duration<double>) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    delegate.applicationDidFinishLaunching();

    int lastPass = 0;
    int reloads = 0;
    while (lastPass < 40) {
        mainQueue.runNext();
        ++reloads;
        const std::vector<int> passes = shownPasses(list.lines());
        ASSERT_EQ(passes.size(), static_cast<std::size_t>(SlowChannel::kRows));
        for (int pass : passes)
            ASSERT_EQ(pass, passes.front()) << "rows of two sampling passes shown together";
        ASSERT_GE(passes.front(), lastPass) << "an older pass replaced a newer one";
        lastPass = passes.front();

        // The main thread adds channels and refreshes while the tick thread samples.
        if (reloads == 5)
            controller->addChannel(std::make_shared<testing::RowsChannel>("A", 2));
        if (reloads % 3 == 0)
            controller->refresh();
    }
    delegate.stop();
    mainQueue.runPending();

    const auto lines = list.lines();
    ASSERT_EQ(lines.size(), 1u + SlowChannel::kRows + 2u);
    EXPECT_EQ(lines.front(), "Hallo");
    EXPECT_EQ(lines.back().rfind("  A1", 0), 0u);
}

TEST(ViewControllerStartTest, ChecksTheServiceFirstThenListsThePackageAndEveryCPU) {
    auto services = EmbeddedServiceDirectory::simulated();
    ASSERT_TRUE(services);
    RunLoop mainQueue;
    TextCollectionView list;
    NotificationCenter center;
    std::vector<std::string> journal;
    CPUServiceAccess access;
    std::shared_ptr<ViewController> controller;
    access.loadVennix = [&] {
        // Nothing is opened or listed before the check has returned.
        journal.push_back(controller->cpu() ? "check after open" : "check");
        journal.push_back(list.lines().empty() ? "empty list" : "list");
    };
    access.directory = services;
    controller = ViewController::create(center, mainQueue, list, access);
    controller->viewDidLoad();
    mainQueue.runPending();
    EXPECT_EQ(journal, (std::vector<std::string>{"check", "empty list"}));
    ASSERT_TRUE(controller->cpu());
    EXPECT_EQ(center.observerCount("QXNSApp"), 1u);

    // The header, the eight package rows, one row per logical CPU.
    center.post(AppDelegate::kTickNotification, nullptr);
    mainQueue.runPending();
    const auto lines = list.lines();
    ASSERT_EQ(lines.size(), 1u + 8u + 8u);
    EXPECT_EQ(lines[0], "Hallo");
    EXPECT_EQ(lines[1].rfind("  Number of Cores", 0), 0u);
    EXPECT_EQ(lines[1].back(), '4');
    EXPECT_EQ(lines[9].rfind("  Used ratio  CPU: 0", 0), 0u);
    EXPECT_EQ(lines[16].rfind("  Used ratio  CPU: 7", 0), 0u);
}

TEST(TextModeTest, PrintsTheListOncePerTickAndStopsAfterTheTicksAsked) {
    LaunchOptions options;
    options.text = true;
    options.simulate = true;
    options.ticks = 3;
    std::ostringstream out;
    EXPECT_EQ(Application::runText(options, out), 0);
    // A line that says the processor is simulated, then the whole list once per tick.
    std::istringstream text(out.str());
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);)
        lines.push_back(line);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().rfind("Simulated processor", 0), 0u) << lines.front();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Hallo"), 3);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.rfind("  Used ratio  CPU: ", 0) == 0; }),
              24);
}

}  // namespace
}  // namespace qarn
