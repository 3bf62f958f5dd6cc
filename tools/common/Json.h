#pragma once
// The JSON the command-line tools print for scripts: one object a line, built field by field.
// Header-only, so that each tool takes it without another library between them.

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qarn::json {

// text as a JSON string: quotes, backslashes and control characters escaped, and bytes that are
// not UTF-8 replaced by U+FFFD, so that any parser takes the line.
inline std::string quote(std::string_view text)
{
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            static constexpr char kHex[] = "0123456789abcdef";
            switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20)
                    out += std::string("\\u00") + kHex[c >> 4] + kHex[c & 15];
                else
                    out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        // A well-formed sequence passes as it is: no overlong forms, surrogates or values past U+10FFFF.
        const size_t length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        bool valid = length != 0 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k)
            valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (valid && length > 2) {
            const auto second = static_cast<unsigned char>(text[i + 1]);
            valid = !(c == 0xE0 && second < 0xA0) && !(c == 0xED && second >= 0xA0) && !(c == 0xF0 && second < 0x90)
                    && !(c == 0xF4 && second >= 0x90);
        }
        if (valid) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out += "\\ufffd";
            ++i;
        }
    }
    return out + "\"";
}

// A number with the given decimals; null when it is unknown or not finite (JSON has no NaN).
inline std::string number(std::optional<double> value, int decimals)
{
    if (!value || !std::isfinite(*value))
        return "null";
    char text[400];
    const auto end = std::to_chars(text, text + sizeof text, *value, std::chars_format::fixed, decimals).ptr;
    return std::string(text, end);
}

inline std::string integer(std::optional<int64_t> value)
{
    return value ? std::to_string(*value) : "null";
}

// An object written in the order its fields are added.
class Object {
public:
    Object& text(std::string_view key, std::string_view value) { return raw(key, quote(value)); }
    Object& number(std::string_view key, std::optional<double> value, int decimals)
    {
        return raw(key, json::number(value, decimals));
    }
    Object& integer(std::string_view key, std::optional<int64_t> value) { return raw(key, json::integer(value)); }
    Object& boolean(std::string_view key, bool value) { return raw(key, value ? "true" : "false"); }
    // The time now, in seconds since the Unix epoch, to the millisecond.
    Object& now(std::string_view key)
    {
        using namespace std::chrono;
        return number(key, duration<double>(system_clock::now().time_since_epoch()).count(), 3);
    }
    // value must be JSON already (an array built by the caller).
    Object& raw(std::string_view key, std::string_view value)
    {
        fText += fText.size() > 1 ? "," : "";
        fText += quote(key);
        fText += ':';
        fText += value;
        return *this;
    }
    std::string str() const { return fText + "}"; }

private:
    std::string fText = "{";
};

} // namespace qarn::json
