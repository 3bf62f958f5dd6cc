#pragma once
// Archives of single values, as the preferences store them: a fixed header that tells an
// archive apart from any other stored bytes, then a QDataStream of the value's type name and
// the value.
//
//   "QarnArchive" | quint32 version | QString type name | the value as its type streams it
//
// Only types whose stream form is flat are archived and read back (numbers, strings, byte
// arrays, colours, geometry, dates, URLs): a container's stream form starts with an element
// count that the reader would allocate for before reading a single element, so a damaged or
// forged archive could ask for any amount of memory.

#include <QByteArray>
#include <QVariant>

#include <optional>

namespace qarn {

class KeyedArchiver {
public:
    static constexpr char kMagic[] = "QarnArchive";
    static constexpr quint32 kVersion = 1;

    // The archive of value; a null QByteArray for a type that is not archived.
    static QByteArray archivedData(const QVariant& value);

    // The value an archive holds; no value for bytes that are not a whole, intact archive of
    // an archived type. Never reads past data.
    static std::optional<QVariant> unarchiveObject(const QByteArray& data);

    // Whether values of this type are archived.
    static bool isArchivable(QMetaType type);
};

} // namespace qarn
