#pragma once
// The monitor's preferences: values under string keys in a QSettings store, with reading that
// falls back to a default and colours kept as archived data (KeyedArchiver). Reads go to the
// store the object wraps; setColor always writes the standard store, whichever store it is
// called on.
//
// QSettings objects on the same file in one process see each other's changes at once, so a
// colour stored through one is read through any other.

#include <QColor>
#include <QSettings>
#include <QString>
#include <QVariant>

#include <memory>
#include <optional>

namespace qarn {

class UserDefaults {
public:
    // Organisation and application of the standard store.
    static constexpr const char* kOrganization = "Qarn";
    static constexpr const char* kApplication = "Qarn";

    // Reads and writes settings, which must outlive this object.
    explicit UserDefaults(QSettings& settings);

    // The standard store: QSettings("Qarn", "Qarn"), owned by the object answered.
    static UserDefaults standard();

    UserDefaults(UserDefaults&&) noexcept = default;
    UserDefaults& operator=(UserDefaults&&) noexcept = default;
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;
    ~UserDefaults();

    // The value stored under key; an archive decoded into the value it holds, other data as
    // it is; defaultValue when nothing is stored.
    QVariant objectForKey(const QString& key, const QVariant& defaultValue = {}) const;

    // Archives color and stores it under key in the standard store.
    void setColor(const QColor& color, const QString& key);

    // The colour archived under key; no value for a missing key, anything that is not data,
    // and data that is not the archive of a colour.
    std::optional<QColor> colorForKey(const QString& key) const;

    QSettings& settings() const { return *fSettings; }

private:
    explicit UserDefaults(std::unique_ptr<QSettings> owned);

    std::unique_ptr<QSettings> fOwned; // the standard store's QSettings; null when wrapping
    QSettings* fSettings;
};

} // namespace qarn
