#pragma once
// The monitor's preferences, in a window of their own beside the list: the items' colours,
// "FullPower", and, when a cooler is known, its fan and pump curves and CPU-temperature
// switches. Every change applies at once (the colours to the list, the cooler's settings through
// its controller) and is stored.

#include <QColor>
#include <QWidget>

#include <functional>

#include "prefs/CoolerSettings.h"

class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QTimer;

namespace qarn {

class CoolerController;
class CurveEditor;

class PreferencesWindow : public QWidget {
    Q_OBJECT

public:
    enum class Colour { Selected, Unselected, Graph };

    // controller may be null (no cooler owner); it must outlive the window. settings: the store
    // the controller reads its setup and "FullPower" from.
    PreferencesWindow(CoolerController* controller, CoolerSettings settings, QWidget* parent = nullptr);

    // Stores the colour (in the standard store, as an archive) and tells the list; what choosing
    // one in the colour dialog does.
    void setColour(Colour which, const QColor& colour);
    // Forgets the chosen colours: the built-in ones again.
    void restoreDefaultColours();

    // What the window shows of the cooler now: whether one is known, its state, and the
    // temperature each curve acts on. Done once a second while the window is shown.
    void refreshCooler();

    CurveEditor* fanEditor() const { return _fanEditor; }
    CurveEditor* pumpEditor() const { return _pumpEditor; }
    QCheckBox* fullPowerBox() const { return _fullPower; }
    QCheckBox* fanFollowsBox() const { return _fanFollows; }
    QCheckBox* pumpFollowsBox() const { return _pumpFollows; }
    QGroupBox* coolerGroup() const { return _cooler; }
    QLabel* coolerState() const { return _state; }
    QPushButton* colourButton(Colour which) const;

    // Adds "Preferences…" to window: the standard shortcut (Ctrl+, where the platform has none)
    // and an entry in the window's context menu, calling open when chosen.
    static QAction* addOpenAction(QWidget& window, std::function<void()> open);

signals:
    // A colour changed: the list repaints its items.
    void coloursChanged();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void chooseColour(Colour which);
    void showColours();
    void showSetup(const CoolerSetup& setup);
    void fanCurveEdited(const CoolerCurve& curve);
    void pumpCurveEdited(const CoolerCurve& curve);
    void fanFollowsToggled(bool follows);
    void pumpFollowsToggled(bool follows);

    CoolerController* _controller;
    CoolerSettings _settings;
    QPushButton* _colourButtons[3];
    QCheckBox* _fullPower;
    QGroupBox* _cooler;
    QLabel* _state;
    CurveEditor* _fanEditor;
    CurveEditor* _pumpEditor;
    QCheckBox* _fanFollows;
    QCheckBox* _pumpFollows;
    QTimer* _timer;
    bool _coolerShown = false;
};

}  // namespace qarn
