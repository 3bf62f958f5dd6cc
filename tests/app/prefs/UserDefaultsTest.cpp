// The user-defaults operations on QSettings stores in a temporary directory per test: values
// read with their fallback, colours stored and read back, and what is not a colour.

#include "prefs/KeyedArchiver.h"
#include "prefs/UserDefaults.h"

#include <QFile>
#include <QPoint>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace qarn {
namespace {

class UserDefaultsTest : public ::testing::Test {
protected:
    UserDefaultsTest()
    {
        // Every store a QSettings("Qarn", "Qarn") reads or writes, user and system, lies in
        // the temporary directory.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path() + "/user");
        QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope, dir.path() + "/system");
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path() + "/user");
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, dir.path() + "/system");
    }

    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(QSettings("Qarn", "Qarn").fileName().startsWith(dir.path()))
            << "the standard store would not be the test's own";
    }

    // A store that is not the standard one.
    QString otherStorePath() const { return dir.path() + "/other.ini"; }

    QTemporaryDir dir;
};

TEST_F(UserDefaultsTest, AStoredColourReadsBackEqual)
{
    const QList<QColor> colours = {QColor(255, 0, 0), QColor(1, 2, 3, 4), QColor::fromHsv(120, 200, 50),
                                   QColor(Qt::transparent), QColor::fromRgbF(1.25f, 0.5f, -0.5f)};
    UserDefaults defaults = UserDefaults::standard();
    int n = 0;
    for (const QColor& colour : colours) {
        const QString key = QString("colour%1").arg(n++);
        defaults.setColor(colour, key);
        const std::optional<QColor> back = defaults.colorForKey(key);
        ASSERT_TRUE(back) << key.toStdString();
        EXPECT_EQ(*back, colour) << key.toStdString();
    }
}

TEST_F(UserDefaultsTest, AStoredColourSurvivesIntoAnotherStoreObjectAndOntoDisk)
{
    UserDefaults::standard().setColor(QColor(10, 20, 30), "Bar");
    EXPECT_EQ(UserDefaults::standard().colorForKey("Bar"), QColor(10, 20, 30));
    // Written out, not only cached: the file holds the key with the archive's data.
    QSettings standard("Qarn", "Qarn");
    QFile file(standard.fileName());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << standard.fileName().toStdString();
    const QByteArray contents = file.readAll();
    EXPECT_TRUE(contents.contains("Bar=@ByteArray(QarnArchive")) << contents.toStdString();
}

TEST_F(UserDefaultsTest, ObjectForKeyDecodesAStoredColour)
{
    UserDefaults defaults = UserDefaults::standard();
    defaults.setColor(QColor(0, 128, 255), "Accent");
    const QVariant value = defaults.objectForKey("Accent", QVariant());
    EXPECT_EQ(value.metaType(), QMetaType::fromType<QColor>()) << value.typeName();
    EXPECT_EQ(value.value<QColor>(), QColor(0, 128, 255));
}

TEST_F(UserDefaultsTest, ObjectForKeyDecodesAnyArchive)
{
    QSettings settings("Qarn", "Qarn");
    settings.setValue("Label", KeyedArchiver::archivedData(QVariant(QString("Kraken"))));
    UserDefaults defaults(settings);
    EXPECT_EQ(defaults.objectForKey("Label"), QVariant(QString("Kraken")));
}

TEST_F(UserDefaultsTest, ObjectForKeyAnswersDataThatIsNoArchiveUnchanged)
{
    QSettings settings("Qarn", "Qarn");
    UserDefaults defaults(settings);
    const QByteArray archive = KeyedArchiver::archivedData(QVariant::fromValue(QColor(Qt::green)));
    const QList<QByteArray> notArchives = {
        QByteArray("\x01\x02\xFF\x00\x7F", 5),
        QByteArray(),
        archive.left(archive.size() - 1), // cut
        archive + "x",                    // extended
        QByteArray("QarnArchive"),
    };
    int n = 0;
    for (const QByteArray& data : notArchives) {
        const QString key = QString("data%1").arg(n++);
        settings.setValue(key, data);
        const QVariant value = defaults.objectForKey(key, QVariant(QString("default")));
        EXPECT_EQ(value.metaType(), QMetaType::fromType<QByteArray>()) << key.toStdString();
        EXPECT_EQ(value.toByteArray(), data) << key.toStdString();
        EXPECT_FALSE(defaults.colorForKey(key)) << key.toStdString();
    }
}

TEST_F(UserDefaultsTest, ObjectForKeyAnswersOtherValuesAsStored)
{
    QSettings settings("Qarn", "Qarn");
    settings.setValue("FullPower", true);
    settings.setValue("Name", QString("Qarn"));
    settings.setValue("Count", 5);
    UserDefaults defaults(settings);
    EXPECT_TRUE(defaults.objectForKey("FullPower", false).toBool());
    EXPECT_EQ(defaults.objectForKey("Name", 0), QVariant(QString("Qarn")));
    EXPECT_EQ(defaults.objectForKey("Count", 0).toInt(), 5);
}

TEST_F(UserDefaultsTest, ObjectForKeyFallsBackToTheDefaultOnlyWhenNothingIsStored)
{
    QSettings settings("Qarn", "Qarn");
    UserDefaults defaults(settings);
    EXPECT_EQ(defaults.objectForKey("Missing", QVariant(7)), QVariant(7));
    EXPECT_FALSE(defaults.objectForKey("Missing", QVariant()).isValid()) << "a null default is answered as null";
    EXPECT_FALSE(defaults.objectForKey("Missing").isValid());

    settings.setValue("Empty", QString());
    EXPECT_EQ(defaults.objectForKey("Empty", QVariant(7)), QVariant(QString())) << "a stored empty string is a value";
    settings.setValue("Zero", 0);
    EXPECT_EQ(defaults.objectForKey("Zero", QVariant(7)).toInt(), 0);
}

TEST_F(UserDefaultsTest, ColorForKeyIsNoValueForAnythingButAnArchivedColour)
{
    QSettings settings("Qarn", "Qarn");
    settings.setValue("String", QString("#ff0000"));
    settings.setValue("Number", 0xFF0000);
    settings.setValue("ArchivedString", KeyedArchiver::archivedData(QVariant(QString("red"))));
    settings.setValue("ArchivedNumber", KeyedArchiver::archivedData(QVariant(0xFF0000)));
    settings.setValue("ArchivedPoint", KeyedArchiver::archivedData(QVariant(QPoint(1, 2))));
    settings.setValue("PlainColour", QColor(Qt::red)); // a colour, but not archived data
    UserDefaults defaults(settings);
    for (const char* key : {"String", "Number", "ArchivedString", "ArchivedNumber", "ArchivedPoint",
                            "PlainColour", "Missing"})
        EXPECT_FALSE(defaults.colorForKey(key)) << key;
}

TEST_F(UserDefaultsTest, SetColorWritesTheStandardStoreWhicheverItIsCalledOn)
{
    QSettings other(otherStorePath(), QSettings::IniFormat);
    UserDefaults onOther(other);
    onOther.setColor(QColor(9, 8, 7), "Bar");

    EXPECT_FALSE(other.contains("Bar")) << "the store it was called on stays as it was";
    EXPECT_FALSE(onOther.colorForKey("Bar"));
    EXPECT_EQ(UserDefaults::standard().colorForKey("Bar"), QColor(9, 8, 7));

    // Reads go to the receiving store.
    other.setValue("Own", KeyedArchiver::archivedData(QVariant::fromValue(QColor(1, 1, 1))));
    EXPECT_EQ(onOther.colorForKey("Own"), QColor(1, 1, 1));
    EXPECT_FALSE(UserDefaults::standard().colorForKey("Own"));
}

TEST_F(UserDefaultsTest, RandomBytesStoredAreAnsweredAsData)
{
    QSettings settings("Qarn", "Qarn");
    UserDefaults defaults(settings);
    quint32 state = 12345;
    for (int round = 0; round < 200; ++round) {
        QByteArray data(round % 53, '\0');
        for (char& c : data) {
            state = state * 1664525u + 1013904223u;
            c = static_cast<char>(state >> 24);
        }
        settings.setValue("Random", data);
        EXPECT_EQ(defaults.objectForKey("Random"), QVariant(data)) << "round " << round;
        EXPECT_FALSE(defaults.colorForKey("Random")) << "round " << round;
    }
}

} // namespace
} // namespace qarn
