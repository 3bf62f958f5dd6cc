#include "prefs/KeyedArchiver.h"

#include <QColor>
#include <QDataStream>
#include <QDate>
#include <QIODevice>
#include <QPoint>
#include <QPointF>
#include <QRect>
#include <QRectF>
#include <QSize>
#include <QSizeF>
#include <QString>
#include <QTime>
#include <QUrl>

#include <vector>
#include <cstring>

namespace qarn {

namespace {

// Fixed, so that archives written by one Qt read the same under a later one.
constexpr QDataStream::Version kStreamVersion = QDataStream::Qt_6_0;

constexpr size_t kMagicSize = sizeof KeyedArchiver::kMagic - 1;

// The types archived, by the name written into the archive.
const std::vector<QMetaType>& archivableTypes()
{
    static const std::vector<QMetaType> types = {
        QMetaType::fromType<bool>(),      QMetaType::fromType<int>(),
        QMetaType::fromType<uint>(),      QMetaType::fromType<qlonglong>(),
        QMetaType::fromType<qulonglong>(), QMetaType::fromType<float>(),
        QMetaType::fromType<double>(),    QMetaType::fromType<QString>(),
        QMetaType::fromType<QByteArray>(), QMetaType::fromType<QColor>(),
        QMetaType::fromType<QPoint>(),    QMetaType::fromType<QPointF>(),
        QMetaType::fromType<QSize>(),     QMetaType::fromType<QSizeF>(),
        QMetaType::fromType<QRect>(),     QMetaType::fromType<QRectF>(),
        QMetaType::fromType<QDate>(),     QMetaType::fromType<QTime>(),
        QMetaType::fromType<QUrl>(),
    };
    return types;
}

// A colour's stream form starts with its colour model (RGB, HSV, ...), which QColor takes as
// it stands, whatever the byte says; a byte that names no model is damage, refused before
// QColor reads it.
bool colorModelIsKnown(QDataStream& stream)
{
    char model = 0;
    if (stream.device() == nullptr || stream.device()->peek(&model, 1) != 1)
        return false;
    return model >= QColor::Invalid && model <= QColor::ExtendedRgb;
}

std::optional<QMetaType> archivableType(const QString& name)
{
    for (const QMetaType& type : archivableTypes())
        if (name == QLatin1String(type.name()))
            return type;
    return std::nullopt;
}

} // namespace

bool KeyedArchiver::isArchivable(QMetaType type)
{
    for (const QMetaType& archivable : archivableTypes())
        if (type == archivable)
            return true;
    return false;
}

QByteArray KeyedArchiver::archivedData(const QVariant& value)
{
    const QMetaType type = value.metaType();
    if (!isArchivable(type))
        return {};
    QByteArray data(kMagic, static_cast<qsizetype>(kMagicSize));
    QDataStream stream(&data, QIODevice::WriteOnly | QIODevice::Append);
    stream.setVersion(kStreamVersion);
    stream << kVersion << QString::fromLatin1(type.name());
    if (!type.save(stream, value.constData()) || stream.status() != QDataStream::Ok)
        return {};
    return data;
}

std::optional<QVariant> KeyedArchiver::unarchiveObject(const QByteArray& data)
{
    if (data.size() < static_cast<qsizetype>(kMagicSize)
        || std::memcmp(data.constData(), kMagic, kMagicSize) != 0)
        return std::nullopt;
    // A read-only view of the bytes after the header; QDataStream stops at their end.
    const QByteArray body = QByteArray::fromRawData(data.constData() + kMagicSize,
                                                    data.size() - static_cast<qsizetype>(kMagicSize));
    QDataStream stream(body);
    stream.setVersion(kStreamVersion);

    quint32 version = 0;
    QString name;
    stream >> version >> name;
    if (stream.status() != QDataStream::Ok || version != kVersion)
        return std::nullopt;
    const std::optional<QMetaType> type = archivableType(name);
    if (!type)
        return std::nullopt;

    if (*type == QMetaType::fromType<QColor>() && !colorModelIsKnown(stream))
        return std::nullopt;
    QVariant value(*type);
    if (!type->load(stream, value.data()))
        return std::nullopt;
    // Anything left over, or a read that ran out, means these bytes are not one of ours.
    if (stream.status() != QDataStream::Ok || !stream.atEnd())
        return std::nullopt;
    return value;
}

} // namespace qarn
