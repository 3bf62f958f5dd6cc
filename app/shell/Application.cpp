#include "shell/Application.h"

#include <QApplication>
#include <QPixmap>
#include <QScreen>
#include <QSettings>
#include <QShortcut>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cooler/CoolerChannel.h"
#include "cooler/CoolerController.h"
#include "cooler/CoolerEnvironment.h"
#include "items/ItemBackground.h"
#include "prefs/PreferencesWindow.h"
#include "prefs/UserDefaults.h"
#include "platform/SignalStop.h"
#include "platform/UdevSerialPorts.h"
#include "protocol/Protocol.h"
#include "serial_display/DisplayChannel.h"
#include "serial_display/SparvelDevice.h"
#include "sim/SimulatedSparvelDisplay.h"
#include "platform/EmbeddedServiceDirectory.h"
#include "platform/NotificationCenter.h"
#include "platform/QtMainQueue.h"
#include "platform/RunLoop.h"
#include "platform/SocketServiceDirectory.h"
#include "shell/AppDelegate.h"
#include "shell/LaunchOptions.h"
#include "shell/QtCollectionView.h"
#include "shell/TerminalScreen.h"
#include "shell/TextCollectionView.h"
#include "shell/VennixInstallation.h"
#include "shell/ViewController.h"
#include "telemetry/IntelCPU.h"

namespace qarn {

namespace {

bool isSet(const char* value) {
    return value && *value;
}

// Calls `last` on the tick thread after the Nth tick, once the controller (observing first) has
// queued that tick's reload, and stops the tick loop there.
void stopAfterTicks(NotificationCenter& center, AppDelegate& delegate, std::int64_t ticks,
                    std::function<void()> last) {
    if (ticks <= 0)
        return;
    center.addObserver(AppDelegate::kTickNotification,
                       [&delegate, ticks, last = std::move(last), count = std::int64_t{0}](const Notification&) mutable {
                           if (++count != ticks)
                               return;
                           delegate.requestStop();
                           last();
                       });
}

// Where this run reads the CPU, and the installation check that goes with it. False, with a
// message on standard error, when the simulated services cannot be started.
bool chooseCPUService(const LaunchOptions& options, CPUServiceAccess& access) {
    if (options.simulate) {
        std::string why;
        auto embedded = EmbeddedServiceDirectory::simulated(&why);
        if (!embedded) {
            std::cerr << "qarn: " << why << "\n";
            return false;
        }
        access.directory = embedded;
        access.loadVennix = [] { VennixInstallation::standard(true).loadVennix(); };
        return true;
    }
    access.directory = std::make_shared<SocketServiceDirectory>(SocketServiceDirectory::defaultPath());
    // The installer sets up the system's vennixd; a daemon named by VENNIX_SOCKET is the user's
    // own, and installing the system's would not bring it up.
    const char* socket = std::getenv(vennix::protocol::kSocketPathVariable);
    if (!isSet(socket) || std::string(socket) == vennix::protocol::kDefaultSocketPath)
        access.loadVennix = [] { VennixInstallation::standard(false).loadVennix(); };
    return true;
}

// Whether the numbers come from a simulated processor (embedded, or a vennixd --simulate).
bool showsSimulatedProcessor(const ViewController& controller) {
    const auto cpu = controller.cpu();
    return cpu && cpu->isSimulated();
}

// Why the rows built from MSRs show no number on this processor, naming them; empty when they
// show numbers. Asked once, before the tick thread starts.
std::string msrNotice(const ViewController& controller) {
    const auto cpu = controller.cpu();
    if (!cpu)
        return {};
    const std::string why = cpu->msrLimitation();
    if (why.empty())
        return {};
    return why + ": the rows C-State Limit, Temperature Target, Turbo Ratio, Non Turbo Ratio, Uncore Ratio, "
                 "P-State and SVID and every CPU's Used ratio show no number.";
}

// Without the CPU service the CPU rows stay empty; the user learns why and what to do.
void explainMissingCPUService(const ViewController& controller, ServiceDirectory& directory) {
    if (controller.cpu())
        return;
    std::string why = directory.explainUnavailable("Vennix");
    if (why.empty())
        why = "the CPU information could not be read";
    std::cerr << "qarn: no CPU service (" << why << "); the CPU rows stay empty.\n"
              << "Run 'qarn --simulate' to see a simulated processor.\n";
}

// The cooler, when one is attached or appears later: its own control loop on a worker thread,
// and its rows after the CPU's. Held by the rows, so it lives as long as the list may show them.
struct CoolerOwner {
    CoolerEnvironment environment;
    CoolerSettings settings;   // where its setup and "FullPower" are kept (the preferences edit them)
    std::unique_ptr<CoolerController> controller;
};

std::shared_ptr<CoolerOwner> addCooler(const LaunchOptions& options, const CPUServiceAccess& access,
                                       MainQueue& queue, ViewController& view) {
    auto owner = std::make_shared<CoolerOwner>();
    owner->environment = CoolerEnvironment::make(options.simulate, [directory = access.directory] { return directory; });
    owner->settings = CoolerSettings::standard(options.simulate);
    CoolerController::Options cooler;
    cooler.cpuTemperature = owner->environment.cpuTemperature;
    cooler.readSettings(owner->settings);
    owner->controller = std::make_unique<CoolerController>(*owner->environment.bus, queue, std::move(cooler));
    view.addChannel(CoolerChannel::with([owner] { return owner->controller->status(); }));
    return owner;
}

// Looks for a serial display beside the window (each port takes over a second to answer) and
// gives the first one found a row. The simulated display of --simulate lives as long as this.
class DisplaySearch {
public:
    DisplaySearch(bool simulate, std::shared_ptr<ViewController> controller) {
        if (simulate && (fSimulated = sim::SimulatedSparvelDisplay::create()))
            fPorts = std::make_unique<sim::SimulatedSerialPorts>(std::vector<std::string>{fSimulated->slavePath()});
        else if (!simulate)
            fPorts = std::make_unique<UdevSerialPorts>();
        if (!fPorts)
            return;
        fThread = std::thread([ports = fPorts.get(), controller = std::move(controller)] {
            const auto found = SparvelDevice::findSparvels(*ports);
            if (!found.empty())
                controller->addChannel(DisplayChannel::with(*found.front()));
        });
    }
    ~DisplaySearch() {
        if (fThread.joinable())
            fThread.join();
    }

private:
    std::unique_ptr<sim::SimulatedSparvelDisplay> fSimulated;
    std::unique_ptr<SerialPorts> fPorts;
    std::thread fThread;
};

}  // namespace

bool Application::displayAvailable(const char* display, const char* waylandDisplay, const char* qpaPlatform) {
    if (isSet(qpaPlatform)) {
        const std::string platform = qpaPlatform;
        if (platform.rfind("xcb", 0) != 0 && platform.rfind("wayland", 0) != 0)
            return true;
    }
    return isSet(display) || isSet(waylandDisplay);
}

int Application::main(int argc, char** argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.emplace_back(argv[i]);
    LaunchOptions options;
    std::string error;
    if (!LaunchOptions::parse(arguments, options, error)) {
        std::cerr << "qarn: " << error << "\nRun 'qarn --help' for the options.\n";
        return kExitUsage;
    }
    if (options.help) {
        std::cout << LaunchOptions::usage();
        return 0;
    }
    if (options.text)
        return runText(options, std::cout);
    if (!displayAvailable(std::getenv("DISPLAY"), std::getenv("WAYLAND_DISPLAY"), std::getenv("QT_QPA_PLATFORM"))) {
        std::cerr << "qarn: there is no display to show the window on (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
                     "Run 'qarn --text' to print the list in the terminal instead.\n";
        return kExitNoDisplay;
    }
    return runWindow(argc, argv, options);
}

int Application::runText(const LaunchOptions& options, std::ostream& out) {
    // On a terminal the list is redrawn in place, and Ctrl-C ends it as cleanly as --ticks does;
    // the signals are blocked before any thread starts, so that every thread inherits that.
    const bool terminal = &out == &std::cout && TerminalScreen::isTerminal(STDOUT_FILENO);
    if (terminal)
        SignalStop::block(true);
    CPUServiceAccess access;
    if (!chooseCPUService(options, access))
        return 1;
    RunLoop mainLoop;
    TextCollectionView list;
    NotificationCenter center;
    auto controller = ViewController::create(center, mainLoop, list, access);
    controller->viewDidLoad();
    addCooler(options, access, mainLoop, *controller);
    explainMissingCPUService(*controller, *access.directory);
    std::vector<std::string> notices;
    if (showsSimulatedProcessor(*controller))
        notices.emplace_back("Simulated processor: these are not this machine's numbers.");
    if (const std::string notice = msrNotice(*controller); !notice.empty())
        notices.push_back(notice);

    AppDelegate delegate(center, {}, options.interval);
    // Each tick's reload prints the list; the first one, queued by viewDidLoad before any tick,
    // goes unprinted.
    mainLoop.runPending();
    std::optional<TerminalScreen> screen;
    std::optional<SignalStop> stopSignals;
    if (terminal) {
        screen.emplace(STDOUT_FILENO);
        list.redrawEachReload(&out, [&screen] { return screen->size(); }, std::move(notices));
        // Queued rather than stopping at once, so that a signal before the loop runs still counts.
        stopSignals.emplace([&mainLoop] { mainLoop.dispatchAsync([&mainLoop] { mainLoop.stop(); }); }, true);
    } else {
        for (const std::string& notice : notices)
            out << notice << "\n\n";
        list.printEachReload(&out);
    }
    stopAfterTicks(center, delegate, options.ticks, [&mainLoop] {
        mainLoop.dispatchAsync([&mainLoop] { mainLoop.stop(); });
    });

    delegate.applicationDidFinishLaunching();
    mainLoop.run();
    delegate.stop();
    const bool signalled = stopSignals && stopSignals->signalled();
    stopSignals.reset();
    out.flush();
    screen.reset();
    // A hung-up terminal takes no more output; ending on a signal is still a clean end.
    return signalled || out.good() ? 0 : 1;
}

int Application::runWindow(int argc, char** argv, const LaunchOptions& options) {
    CPUServiceAccess access;
    if (!chooseCPUService(options, access))
        return 1;
    QApplication app(argc, argv);
    ItemBackground::loadStoredColors();
    QtCollectionView window;
    window.setWindowTitle("Qarn");
    // Tall enough for the package facts, a few CPUs and their graphs; the list grows with it.
    window.resize(340, 720);
    window.rememberGeometry(std::make_shared<QSettings>(QString::fromLatin1(UserDefaults::kOrganization),
                                                       QString::fromLatin1(UserDefaults::kApplication)));
    QtMainQueue mainQueue(&window);
    NotificationCenter center;
    auto controller = ViewController::create(center, mainQueue, window, access);
    controller->viewDidLoad();
    const std::shared_ptr<CoolerOwner> cooler = addCooler(options, access, mainQueue, *controller);
    DisplaySearch displays(options.simulate, controller);
    explainMissingCPUService(*controller, *access.directory);
    if (showsSimulatedProcessor(*controller))
        window.setWindowTitle("Qarn (simulated processor)");
    if (const std::string notice = msrNotice(*controller); !notice.empty()) {
        window.setWindowTitle(QString::fromStdString("Qarn (" + controller->cpu()->processorName() + ": no MSR readings)"));
        window.setToolTip(QString::fromStdString(notice));
        std::cerr << "qarn: " << notice << "\n";
    }

    AppDelegate delegate(center, {}, options.interval);
    int status = 0;
    // Made when first asked for, kept (hidden) when closed; gone before the cooler it edits.
    std::unique_ptr<PreferencesWindow> preferences;
    const auto openPreferences = [&] {
        if (!preferences) {
            preferences = std::make_unique<PreferencesWindow>(cooler->controller.get(), cooler->settings, &window);
            QObject::connect(preferences.get(), &PreferencesWindow::coloursChanged, &window,
                             [&window] { window.reapplyColors(); });
        }
        preferences->show();
        preferences->raise();
        preferences->activateWindow();
    };
    PreferencesWindow::addOpenAction(window, openPreferences);

    stopAfterTicks(center, delegate, options.ticks, [&] {
        // Queued behind the last tick's reload.
        mainQueue.dispatchAsync([&] {
            if (options.dumpWindow) {
                std::cout << "window \"" << window.windowTitle().toStdString() << "\" " << window.width() << "x"
                          << window.height() << (window.isVisible() ? " visible" : " hidden") << "\n";
                for (const std::string& line : window.describe())
                    std::cout << line << "\n";
                std::cout.flush();
            }
            if (!options.grabPath.empty()) {
                QWidget& shown = options.preferences && preferences ? static_cast<QWidget&>(*preferences)
                                                                     : static_cast<QWidget&>(window);
                shown.repaint();
                QPixmap picture;
                if (QScreen* screen = shown.screen())
                    picture = screen->grabWindow(shown.winId());
                if (picture.isNull())
                    picture = shown.grab();
                if (!picture.save(QString::fromStdString(options.grabPath), "PNG")) {
                    std::cerr << "qarn: could not save the picture to " << options.grabPath << "\n";
                    status = 1;
                }
            }
            QCoreApplication::exit(status);
        });
    });

    // Reloading by hand keeps the selection, unlike the reload of each tick.
    auto* refresh = new QShortcut(QKeySequence::Refresh, &window);
    QObject::connect(refresh, &QShortcut::activated, &window, [&controller] { controller->refresh(); });

    window.show();
    if (options.preferences)
        openPreferences();
    delegate.applicationDidFinishLaunching();
    const int result = app.exec();
    delegate.applicationWillTerminate();
    delegate.stop();
    return result;
}

}  // namespace qarn
