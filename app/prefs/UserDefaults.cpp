#include "prefs/UserDefaults.h"

#include "prefs/KeyedArchiver.h"

#include <QByteArray>

#include <utility>

namespace qarn {

namespace {

bool isData(const QVariant& value)
{
    return value.metaType() == QMetaType::fromType<QByteArray>();
}

} // namespace

UserDefaults::UserDefaults(QSettings& settings)
    : fSettings(&settings)
{
}

UserDefaults::UserDefaults(std::unique_ptr<QSettings> owned)
    : fOwned(std::move(owned))
    , fSettings(fOwned.get())
{
}

UserDefaults::~UserDefaults() = default;

UserDefaults UserDefaults::standard()
{
    return UserDefaults(std::make_unique<QSettings>(QString::fromLatin1(kOrganization),
                                                    QString::fromLatin1(kApplication)));
}

QVariant UserDefaults::objectForKey(const QString& key, const QVariant& defaultValue) const
{
    if (!fSettings->contains(key))
        return defaultValue;
    QVariant value = fSettings->value(key);
    if (isData(value)) {
        if (std::optional<QVariant> object = KeyedArchiver::unarchiveObject(value.toByteArray()))
            return *object;
    }
    return value;
}

void UserDefaults::setColor(const QColor& color, const QString& key)
{
    const QByteArray data = KeyedArchiver::archivedData(QVariant::fromValue(color));
    UserDefaults defaults = standard();
    defaults.settings().setValue(key, data);
    defaults.settings().sync();
}

std::optional<QColor> UserDefaults::colorForKey(const QString& key) const
{
    const QVariant value = fSettings->value(key);
    if (!isData(value))
        return std::nullopt;
    const std::optional<QVariant> object = KeyedArchiver::unarchiveObject(value.toByteArray());
    if (!object || object->metaType() != QMetaType::fromType<QColor>())
        return std::nullopt;
    return object->value<QColor>();
}

} // namespace qarn
