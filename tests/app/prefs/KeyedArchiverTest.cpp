// Archives of preference values, and the user defaults that keep colours as archives, on
// QSettings stores in a temporary directory. Run under AddressSanitizer, so a read past the
// bytes or an allocation a forged count asks for fails here.

#include "prefs/KeyedArchiver.h"
#include "prefs/UserDefaults.h"
#include <QDataStream>
#include <QFile>
#include <QPoint>
#include <QRectF>
#include <QTemporaryDir>
#include <QUrl>
#include <gtest/gtest.h>
#include <functional>
#include <random>

namespace qarn {
namespace {

// The header, then whatever stream content the forger writes.
QByteArray forged(const QString& type, const std::function<void(QDataStream&)>& body, quint32 version = 1) {
    QByteArray data("QarnArchive");
    QDataStream stream(&data, QIODevice::WriteOnly | QIODevice::Append);
    stream.setVersion(QDataStream::Qt_6_0);
    stream << version << type;
    body(stream);
    return data;
}

TEST(KeyedArchiver, FlatValuesRoundTripWithTheirTypeAndNothingElseIsArchived) {
    const QVariant values[] = {QColor(12, 34, 56, 78), QColor::fromHsv(300, 20, 40), QColor::fromCmyk(1, 2, 3, 4),
                               QColor::fromRgbF(1.5f, -0.25f, 0.5f), QColor(), QString("Grün"), 42, qulonglong(~0ull),
                               QByteArray("\0\1QarnArchive", 13), 2.5, true, QPoint(-3, 4), QRectF(0.5, 1, 2, 3),
                               QUrl("https://example.org/a?b=c")}; // not a container among them
    for (const QVariant& value : values) {
        const QByteArray archive = KeyedArchiver::archivedData(value);
        EXPECT_TRUE(archive.startsWith("QarnArchive")) << value.typeName();
        const QVariant back = KeyedArchiver::unarchiveObject(archive).value_or(QVariant());
        EXPECT_TRUE(back == value && back.metaType() == value.metaType()) << value.typeName();
        for (qsizetype size = 0; size < archive.size(); ++size)
            EXPECT_FALSE(KeyedArchiver::unarchiveObject(archive.left(size))) << value.typeName() << " cut to " << size;
        EXPECT_FALSE(KeyedArchiver::unarchiveObject(archive + '\0')) << value.typeName();
    }
    for (const QVariant& value : {QVariant(QStringList{"a"}), QVariant(QVariantList{1}), QVariant()})
        EXPECT_TRUE(KeyedArchiver::archivedData(value).isNull()) << value.typeName();
}

TEST(KeyedArchiver, ForgedOrRandomBytesAreNoArchive) {
    const auto colour = [](QDataStream& s) { s << QColor(Qt::blue); };
    ASSERT_TRUE(KeyedArchiver::unarchiveObject(forged("QColor", colour))) << "the forger writes real archives";
    const auto count = [](QDataStream& s) { s << quint32(0xFFFFFFFE); }; // four billion elements
    const QByteArray notArchives[] = {
        "QarnArchiv", "QarnArchive", "qarnArchive" + forged("QColor", colour).mid(11), forged("QColor", colour, 2),
        forged("QBrush", colour), forged("", colour), forged("QVariantList", count), forged("QStringList", count),
        forged("QString", count)};
    for (const QByteArray& data : notArchives)
        EXPECT_FALSE(KeyedArchiver::unarchiveObject(data)) << data.toHex().toStdString();
    for (int model : {6, 7, 0x7F, -1}) // colour models QColor does not know
        EXPECT_FALSE(KeyedArchiver::unarchiveObject(
            forged("QColor", [&](QDataStream& s) { s << qint8(model) << quint16(0xFFFF) << 1ull; })))
            << "model " << model;
    std::mt19937 random(20240501);
    for (int round = 0; round < 2000; ++round) {
        QByteArray data(round % 97, '\0');
        std::generate(data.begin(), data.end(), random);
        EXPECT_FALSE(KeyedArchiver::unarchiveObject(data)) << "round " << round;
    }
}

class UserDefaultsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(standard.fileName().startsWith(dir.path())) << "not the test's own store"; }

    QTemporaryDir dir;
    const bool storesInDir = [this] { // every store QSettings("Qarn", "Qarn") reads or writes
        for (auto format : {QSettings::NativeFormat, QSettings::IniFormat})
            for (auto scope : {QSettings::UserScope, QSettings::SystemScope})
                QSettings::setPath(format, scope, dir.path() + (scope == QSettings::UserScope ? "/user" : "/system"));
        return true;
    }();
    QSettings standard{"Qarn", "Qarn"};
    UserDefaults defaults{standard};
};

TEST_F(UserDefaultsTest, ColoursGoAsArchivesIntoTheStandardStoreAndOtherValuesReadAsStored) {
    QSettings other(dir.path() + "/other.ini", QSettings::IniFormat);
    UserDefaults onOther(other);
    for (const QColor& colour : {QColor(1, 2, 3, 4), QColor::fromHsv(120, 200, 50), QColor::fromRgbF(1.2f, 0, -1)}) {
        onOther.setColor(colour, "Bar"); // the standard store, whichever it is called on
        EXPECT_EQ(defaults.colorForKey("Bar"), colour);
        EXPECT_EQ(UserDefaults::standard().objectForKey("Bar"), QVariant(colour));
    }
    EXPECT_FALSE(other.contains("Bar") || onOther.colorForKey("Bar"));
    other.setValue("Own", KeyedArchiver::archivedData(QColor(1, 1, 1)));
    EXPECT_EQ(onOther.colorForKey("Own"), QColor(1, 1, 1)) << "reads go to the receiving store";
    QFile file(standard.fileName());
    EXPECT_TRUE(file.open(QIODevice::ReadOnly) && file.readAll().contains("@ByteArray(QarnArchive")) << "on disk";

    const QByteArray archive = KeyedArchiver::archivedData(QColor(Qt::green));
    const QByteArray bytes("\x01\xFF\x00", 3), cut = archive.left(archive.size() - 1), longer = archive + "x";
    const std::pair<QVariant, QVariant> cases[] = { // stored, answered
        {false, false}, {QString(), QString()}, {0, 0}, {bytes, bytes}, {cut, cut}, {longer, longer},
        {KeyedArchiver::archivedData(QPoint(1, 2)), QPoint(1, 2)}, {QColor(Qt::red), QColor(Qt::red)}};
    for (const auto& [value, answered] : cases) {
        standard.setValue("FullPower", value);
        EXPECT_EQ(defaults.objectForKey("FullPower", true), answered) << value.typeName();
        EXPECT_FALSE(defaults.colorForKey("FullPower")) << "only an archived colour is one: " << value.typeName();
    }
    standard.remove("FullPower");
    EXPECT_EQ(defaults.objectForKey("FullPower", true), QVariant(true)) << "the default only when nothing is stored";
    EXPECT_FALSE(defaults.objectForKey("FullPower").isValid() || defaults.colorForKey("FullPower"));
}

} // namespace
} // namespace qarn
