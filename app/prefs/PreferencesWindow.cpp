#include "prefs/PreferencesWindow.h"

#include <QAction>
#include <QCheckBox>
#include <QColorDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <optional>
#include <utility>

#include "cooler/Asetek.h"
#include "cooler/CoolerController.h"
#include "items/ItemBackground.h"
#include "prefs/CurveEditor.h"
#include "prefs/UserDefaults.h"

namespace qarn {

namespace {

const char* keyFor(PreferencesWindow::Colour which) {
    switch (which) {
    case PreferencesWindow::Colour::Selected:
        return ItemBackground::kSelectedKey;
    case PreferencesWindow::Colour::Unselected:
        return ItemBackground::kUnselectedKey;
    case PreferencesWindow::Colour::Graph:
        return ItemBackground::kGraphKey;
    }
    return ItemBackground::kGraphKey;
}

QColor builtIn(PreferencesWindow::Colour which) {
    switch (which) {
    case PreferencesWindow::Colour::Selected:
        return ItemBackground::builtInSelected();
    case PreferencesWindow::Colour::Unselected:
        return ItemBackground::builtInDeselected();
    case PreferencesWindow::Colour::Graph:
        return ItemBackground::builtInGraph();
    }
    return {};
}

constexpr PreferencesWindow::Colour kColours[] = {PreferencesWindow::Colour::Selected,
                                                  PreferencesWindow::Colour::Unselected,
                                                  PreferencesWindow::Colour::Graph};

// The colour stored for which, else the built-in one: what the list shows once it has loaded them.
QColor chosenColour(const UserDefaults& defaults, PreferencesWindow::Colour which) {
    return defaults.colorForKey(keyFor(which)).value_or(builtIn(which));
}

std::optional<int> whole(int64_t value) {
    return static_cast<int>(value);
}

}  // namespace

PreferencesWindow::PreferencesWindow(CoolerController* controller, CoolerSettings settings, QWidget* parent)
    : QWidget(parent, Qt::Window), _controller(controller), _settings(std::move(settings)) {
    setWindowTitle(tr("Qarn Preferences"));
    auto* layout = new QVBoxLayout(this);

    auto* colours = new QGroupBox(tr("Colours"), this);
    auto* colourForm = new QFormLayout(colours);
    const QString names[] = {tr("Selected row"), tr("Other rows"), tr("Graphs")};
    for (const Colour which : kColours) {
        auto* button = new QPushButton(colours);
        button->setIconSize(QSize(40, 14));
        connect(button, &QPushButton::clicked, this, [this, which] { chooseColour(which); });
        _colourButtons[static_cast<int>(which)] = button;
        colourForm->addRow(names[static_cast<int>(which)], button);
    }
    auto* defaults = new QPushButton(tr("Default Colours"), colours);
    connect(defaults, &QPushButton::clicked, this, &PreferencesWindow::restoreDefaultColours);
    colourForm->addRow(QString(), defaults);
    layout->addWidget(colours);

    _fullPower = new QCheckBox(tr("Full power: drive the cooler as if the CPU were at 90 °C"), this);
    _fullPower->setChecked(_settings.fullPower());
    connect(_fullPower, &QCheckBox::toggled, this, [this](bool on) { _settings.setFullPower(on); });
    layout->addWidget(_fullPower);

    _cooler = new QGroupBox(tr("Cooler"), this);
    auto* coolerLayout = new QVBoxLayout(_cooler);
    _state = new QLabel(_cooler);
    _state->setWordWrap(true);
    coolerLayout->addWidget(_state);
    const auto addCurve = [&](const QString& title, CurveEditor*& editor, QCheckBox*& follows, const QString& box) {
        coolerLayout->addWidget(new QLabel(title, _cooler));
        editor = new CurveEditor(_cooler);
        coolerLayout->addWidget(editor, 1);
        follows = new QCheckBox(box, _cooler);
        coolerLayout->addWidget(follows);
    };
    addCurve(tr("Fan setting against temperature"), _fanEditor, _fanFollows, tr("Fan follows the CPU"));
    addCurve(tr("Pump setting against temperature"), _pumpEditor, _pumpFollows, tr("Pump follows the CPU"));
    connect(_fanEditor, &CurveEditor::curveEdited, this, &PreferencesWindow::fanCurveEdited);
    connect(_pumpEditor, &CurveEditor::curveEdited, this, &PreferencesWindow::pumpCurveEdited);
    connect(_fanFollows, &QCheckBox::toggled, this, &PreferencesWindow::fanFollowsToggled);
    connect(_pumpFollows, &QCheckBox::toggled, this, &PreferencesWindow::pumpFollowsToggled);
    layout->addWidget(_cooler, 1);

    _timer = new QTimer(this);
    _timer->setInterval(1000);
    connect(_timer, &QTimer::timeout, this, &PreferencesWindow::refreshCooler);

    showColours();
    refreshCooler();
}

QPushButton* PreferencesWindow::colourButton(Colour which) const {
    return _colourButtons[static_cast<int>(which)];
}

void PreferencesWindow::showColours() {
    const UserDefaults defaults = UserDefaults::standard();
    for (const Colour which : kColours) {
        const QColor colour = chosenColour(defaults, which);
        QPixmap swatch(40, 14);
        swatch.fill(colour);
        colourButton(which)->setIcon(swatch);
        colourButton(which)->setText(colour.name());
    }
}

void PreferencesWindow::chooseColour(Colour which) {
    const QColor current = chosenColour(UserDefaults::standard(), which);
    const QColor chosen = QColorDialog::getColor(current, this, tr("Choose a Colour"));
    if (chosen.isValid())
        setColour(which, chosen);
}

void PreferencesWindow::setColour(Colour which, const QColor& colour) {
    UserDefaults::standard().setColor(colour, keyFor(which));
    ItemBackground::loadStoredColors();
    showColours();
    emit coloursChanged();
}

void PreferencesWindow::restoreDefaultColours() {
    UserDefaults defaults = UserDefaults::standard();
    for (const Colour which : kColours)
        defaults.settings().remove(keyFor(which));
    defaults.settings().sync();
    ItemBackground::loadStoredColors();
    showColours();
    emit coloursChanged();
}

void PreferencesWindow::showSetup(const CoolerSetup& setup) {
    _fanEditor->model().setCurve(setup.fanCurve);
    _pumpEditor->model().setCurve(setup.pumpCurve);
    const QSignalBlocker fan(_fanFollows), pump(_pumpFollows);
    _fanFollows->setChecked(setup.fanFollowsCPU);
    _pumpFollows->setChecked(setup.pumpFollowsCPU);
}

void PreferencesWindow::refreshCooler() {
    const CoolerStatus status = _controller ? _controller->status() : CoolerStatus{};
    const bool known = status.attached || _settings.hasStoredSetup();
    // The curves are read once, when the cooler becomes known: afterwards the window is where
    // they change, and the cooler's copy may lag a cycle behind an edit.
    if (known && !_coolerShown)
        showSetup(status.attached ? status.setup : _settings.load());
    _coolerShown = _coolerShown || known;
    _cooler->setVisible(_coolerShown);

    std::optional<int> fanInput, pumpInput;
    if (status.attached) {
        const std::optional<int> cpu = status.cpuTemperatureKnown ? whole(status.cpuTemperature) : std::nullopt;
        const std::optional<int> liquid = whole(status.liquidTemperature);
        // The driver lets a hot CPU drive the fan even when the fan follows the liquid.
        const bool fanOnCPU = _fanFollows->isChecked() || (cpu && *cpu > Asetek::kFanFollowsCPUAbove);
        fanInput = fanOnCPU ? cpu : liquid;
        pumpInput = _pumpFollows->isChecked() ? cpu : liquid;
        QString text = QString::fromStdString(status.name) + ": ";
        if (cpu)
            text += tr("CPU %1 °C, ").arg(*cpu);
        text += tr("liquid %1 °C; fan %2 %, pump %3 %").arg(*liquid).arg(status.fanSetting).arg(status.pumpSetting);
        _state->setText(text);
    } else if (!status.problem.empty()) {
        _state->setText(QString::fromStdString(status.problem));
    } else {
        _state->setText(tr("No cooler is attached: these settings are sent to it when it appears."));
    }
    _fanEditor->model().setCurrentTemperature(fanInput);
    _pumpEditor->model().setCurrentTemperature(pumpInput);
}

void PreferencesWindow::fanCurveEdited(const CoolerCurve& curve) {
    if (_controller)
        _controller->setFanCurve(curve);
    _settings.setFanCurve(curve);
}

void PreferencesWindow::pumpCurveEdited(const CoolerCurve& curve) {
    if (_controller)
        _controller->setPumpCurve(curve);
    _settings.setPumpCurve(curve);
}

void PreferencesWindow::fanFollowsToggled(bool follows) {
    if (_controller)
        _controller->setFanFollowsCPU(follows);
    _settings.setFanFollowsCPU(follows);
    refreshCooler();
}

void PreferencesWindow::pumpFollowsToggled(bool follows) {
    if (_controller)
        _controller->setPumpFollowsCPU(follows);
    _settings.setPumpFollowsCPU(follows);
    refreshCooler();
}

void PreferencesWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    refreshCooler();
    _timer->start();
}

void PreferencesWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    _timer->stop();
}

QAction* PreferencesWindow::addOpenAction(QWidget& window, std::function<void()> open) {
    auto* action = new QAction(tr("Preferences…"), &window);
    QList<QKeySequence> keys = QKeySequence::keyBindings(QKeySequence::Preferences);
    if (keys.isEmpty())
        keys = {QKeySequence(Qt::CTRL | Qt::Key_Comma)};
    action->setShortcuts(keys);
    action->setShortcutContext(Qt::WindowShortcut);
    action->setMenuRole(QAction::PreferencesRole);
    connect(action, &QAction::triggered, &window, [open = std::move(open)] { open(); });
    window.addAction(action);
    window.setContextMenuPolicy(Qt::ActionsContextMenu);
    return action;
}

}  // namespace qarn
