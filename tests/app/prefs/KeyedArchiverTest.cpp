// Archives of preference values: what round-trips, what is refused, and bytes that are not a
// whole archive (random, cut, extended, forged headers). Run under AddressSanitizer, so a
// read past the bytes or an allocation a forged count asks for fails here.

#include "prefs/KeyedArchiver.h"

#include <QColor>
#include <QDataStream>
#include <QIODevice>
#include <QPoint>
#include <QRectF>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <gtest/gtest.h>

#include <functional>
#include <random>

namespace qarn {
namespace {

// Bytes as a forger would write them: the header, then whatever stream content is given.
QByteArray forged(const QString& typeName, const std::function<void(QDataStream&)>& body,
                  quint32 version = KeyedArchiver::kVersion)
{
    QByteArray data(KeyedArchiver::kMagic);
    QDataStream stream(&data, QIODevice::WriteOnly | QIODevice::Append);
    stream.setVersion(QDataStream::Qt_6_0);
    stream << version << typeName;
    body(stream);
    return data;
}

TEST(KeyedArchiver, ValuesRoundTripWithTheirType)
{
    const QList<QVariant> values = {
        QVariant::fromValue(QColor(12, 34, 56, 78)),
        QVariant::fromValue(QColor::fromHsv(300, 20, 40)),
        QVariant::fromValue(QColor::fromCmyk(1, 2, 3, 4)),
        QVariant::fromValue(QColor::fromRgbF(1.5f, -0.25f, 0.5f)), // extended RGB
        QVariant::fromValue(QColor()),
        QVariant(QString("Grün")),
        QVariant(QByteArray("\x00\x01QarnArchive", 13)),
        QVariant(42),
        QVariant(qulonglong(0xFFFFFFFFFFFFFFFF)),
        QVariant(2.5),
        QVariant(true),
        QVariant(QPoint(-3, 4)),
        QVariant(QRectF(0.5, 1, 2, 3)),
        QVariant(QUrl("https://example.org/a?b=c")),
    };
    for (const QVariant& value : values) {
        const QByteArray archive = KeyedArchiver::archivedData(value);
        ASSERT_FALSE(archive.isNull()) << value.typeName();
        EXPECT_TRUE(archive.startsWith("QarnArchive"));
        const std::optional<QVariant> back = KeyedArchiver::unarchiveObject(archive);
        ASSERT_TRUE(back) << value.typeName();
        EXPECT_EQ(back->metaType(), value.metaType()) << value.typeName();
        EXPECT_EQ(*back, value) << value.typeName();
    }
}

TEST(KeyedArchiver, ContainersAndUnknownTypesAreNotArchived)
{
    EXPECT_TRUE(KeyedArchiver::archivedData(QVariant(QStringList{"a"})).isNull());
    EXPECT_TRUE(KeyedArchiver::archivedData(QVariant(QVariantList{1, 2})).isNull());
    EXPECT_TRUE(KeyedArchiver::archivedData(QVariant()).isNull());
}

TEST(KeyedArchiver, BytesWithoutTheHeaderAreNoArchive)
{
    EXPECT_FALSE(KeyedArchiver::unarchiveObject(QByteArray()));
    EXPECT_FALSE(KeyedArchiver::unarchiveObject(QByteArray("QarnArchiv")));
    EXPECT_FALSE(KeyedArchiver::unarchiveObject(QByteArray("QarnArchive")));
    const QByteArray archive = KeyedArchiver::archivedData(QVariant::fromValue(QColor(Qt::red)));
    QByteArray otherMagic = archive;
    otherMagic[0] = 'q';
    EXPECT_FALSE(KeyedArchiver::unarchiveObject(otherMagic));
}

TEST(KeyedArchiver, EveryCutOrExtendedArchiveIsRefused)
{
    for (const QVariant& value : {QVariant::fromValue(QColor(1, 2, 3)), QVariant(QString("text")),
                                  QVariant(QUrl("file:///tmp"))}) {
        const QByteArray archive = KeyedArchiver::archivedData(value);
        for (qsizetype size = 0; size < archive.size(); ++size)
            EXPECT_FALSE(KeyedArchiver::unarchiveObject(archive.left(size)))
                << value.typeName() << " cut to " << size << " of " << archive.size();
        EXPECT_FALSE(KeyedArchiver::unarchiveObject(archive + '\0')) << value.typeName();
    }
}

TEST(KeyedArchiver, ForgedHeadersAreRefused)
{
    const auto colorBody = [](QDataStream& s) { s << QColor(Qt::blue); };
    ASSERT_TRUE(KeyedArchiver::unarchiveObject(forged("QColor", colorBody))) << "the forger writes real archives";

    EXPECT_FALSE(KeyedArchiver::unarchiveObject(forged("QColor", colorBody, 2))) << "another version";
    EXPECT_FALSE(KeyedArchiver::unarchiveObject(forged("QBrush", colorBody))) << "a type not archived";
    EXPECT_FALSE(KeyedArchiver::unarchiveObject(forged("", colorBody)));
    // A container whose count would have the reader reserve room for four billion elements.
    EXPECT_FALSE(KeyedArchiver::unarchiveObject(forged("QVariantList", [](QDataStream& s) { s << quint32(0xFFFFFFFE); })));
    EXPECT_FALSE(KeyedArchiver::unarchiveObject(forged("QStringList", [](QDataStream& s) { s << quint32(0xFFFFFFFE); })));
    // A string claiming more bytes than there are.
    EXPECT_FALSE(KeyedArchiver::unarchiveObject(forged("QString", [](QDataStream& s) { s << quint32(0x7FFFFFFE); })));
    // A colour of a colour model QColor does not know.
    for (int model : {6, 7, 0x7F, -1}) {
        const QByteArray data = forged("QColor", [&](QDataStream& s) {
            s << qint8(model) << quint16(0xFFFF) << quint16(1) << quint16(2) << quint16(3) << quint16(0);
        });
        EXPECT_FALSE(KeyedArchiver::unarchiveObject(data)) << "model " << model;
    }
}

TEST(KeyedArchiver, RandomBytesAreNotMistakenForAnArchive)
{
    std::mt19937 random(20240501);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 2000; ++round) {
        QByteArray data(round % 97, '\0');
        for (char& c : data)
            c = static_cast<char>(byte(random));
        EXPECT_FALSE(KeyedArchiver::unarchiveObject(data)) << "round " << round;
    }
}

TEST(KeyedArchiver, DamagedArchivesNeverCrashAndAnswerOnlyArchivableTypes)
{
    // Random damage behind a real header: whatever is read back is one of the archived types,
    // and nothing reads past the bytes (AddressSanitizer) or allocates without bound.
    const QByteArray archive = KeyedArchiver::archivedData(QVariant::fromValue(QColor(10, 20, 30)));
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(0, 255);
    const qsizetype headerSize = qsizetype(sizeof KeyedArchiver::kMagic - 1);
    for (int round = 0; round < 5000; ++round) {
        QByteArray damaged = archive;
        std::uniform_int_distribution<qsizetype> position(headerSize, damaged.size() - 1);
        for (int flips = 1 + round % 4; flips > 0; --flips)
            damaged[position(random)] = static_cast<char>(byte(random));
        if (round % 3 == 0)
            damaged.truncate(headerSize + (round % (damaged.size() - headerSize)));
        const std::optional<QVariant> value = KeyedArchiver::unarchiveObject(damaged);
        if (value) {
            EXPECT_TRUE(KeyedArchiver::isArchivable(value->metaType())) << value->typeName();
        }
    }
}

} // namespace
} // namespace qarn
