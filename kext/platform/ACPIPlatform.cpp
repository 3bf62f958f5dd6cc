#include "kext/platform/ACPIPlatform.h"

#include <cstring>

namespace vennix {

namespace {

constexpr size_t kNameLength = 4;

bool isLeadCharacter(char c)
{
    return (c >= 'A' && c <= 'Z') || c == '_';
}

bool isNameCharacter(char c)
{
    return isLeadCharacter(c) || (c >= '0' && c <= '9');
}

bool isUnitCharacter(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f') || c == ',';
}

void appendName(std::string& out, const char* name, size_t length, bool padded)
{
    out.append(name, length);
    if (padded)
        out.append(kNameLength - length, '_');
}

} // namespace

bool ACPIPlatform::isACPIName(const char* name, size_t length)
{
    if (name == nullptr || length == 0 || length > kNameLength || !isLeadCharacter(name[0]))
        return false;
    for (size_t i = 1; i < length; ++i) {
        if (!isNameCharacter(name[i]))
            return false;
    }
    return true;
}

bool ACPIPlatform::acpiPathOf(const char* registryPath, bool padded, std::string& acpiPath)
{
    const size_t prefixLength = std::strlen(kIOACPIPlanePrefix);
    if (registryPath == nullptr || std::strncmp(registryPath, kIOACPIPlanePrefix, prefixLength) != 0)
        return false;
    const char* p = registryPath + prefixLength;
    if (*p == '\0')
        return false; // the root itself is no device

    try {
        std::string out;
        for (;;) {
            const char* name = p;
            while (*p != '\0' && *p != '/' && *p != '@')
                ++p;
            if (!isACPIName(name, static_cast<size_t>(p - name)))
                return false;
            out += out.empty() ? "\\" : ".";
            appendName(out, name, static_cast<size_t>(p - name), padded);
            if (*p == '@') {
                const char* unit = ++p;
                while (isUnitCharacter(*p))
                    ++p;
                if (p == unit)
                    return false;
            }
            if (*p == '\0')
                break;
            if (*p != '/')
                return false;
            ++p; // a trailing or doubled '/' leaves an empty name, refused above
        }
        acpiPath = std::move(out);
        return true;
    } catch (...) {
        return false;
    }
}

bool ACPIPlatform::paddedName(const char* name, std::string& padded)
{
    if (name == nullptr)
        return false;
    const size_t length = strnlen(name, kNameLength + 1);
    if (!isACPIName(name, length))
        return false;
    try {
        std::string out;
        appendName(out, name, length, true);
        padded = std::move(out);
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace vennix
