#pragma once
// The tools' JSON output read back with Qt's parser, as a script would read it: one object a
// line, each key of a stable set with its type and a plausible range.

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qarn::testing {

// Every line of text as an object; a line that is not one fails the test.
inline std::vector<QJsonObject> jsonLines(const std::string& text)
{
    std::vector<QJsonObject> objects;
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "the last line is cut off: " << text;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        QJsonParseError error;
        const QByteArray line = QByteArray::fromStdString(text.substr(start, end - start));
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        EXPECT_TRUE(error.error == QJsonParseError::NoError && document.isObject())
            << error.errorString().toStdString() << ": " << line.toStdString();
        objects.push_back(document.object());
    }
    return objects;
}

struct Key {
    const char* name;
    QJsonValue::Type type;
    double low = 0, high = 0; // numbers only
};

// object holds exactly keys, each of its type; numbers within their range.
inline void expectKeys(const QJsonObject& object, const std::vector<Key>& keys)
{
    const std::string text = QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
    EXPECT_EQ(object.size(), static_cast<qsizetype>(keys.size())) << text;
    for (const Key& key : keys) {
        const QJsonValue value = object.value(key.name);
        EXPECT_EQ(value.type(), key.type) << key.name << " in " << text;
        if (key.type == QJsonValue::Double) {
            EXPECT_TRUE(value.toDouble() >= key.low && value.toDouble() <= key.high)
                << key.name << " = " << value.toDouble() << ", expected " << key.low << " to " << key.high;
        } else if (key.type == QJsonValue::String) {
            EXPECT_FALSE(value.toString().isEmpty()) << key.name;
        }
    }
}

} // namespace qarn::testing
