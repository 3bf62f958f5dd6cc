#include "telemetry/ACPIAccessor.h"

#include "protocol/AccessorTypes.h"
#include "protocol/WireFormat.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iostream>

namespace qarn {

namespace {

using vennix::readU32;
using vennix::readU64;

constexpr size_t kTagSize = 4;
// What the format's writers leave unused of their room when they cut a string or byte buffer.
constexpr size_t kCutMargin = 4;

bool holdsNul(std::string_view text)
{
    return text.find('\0') != std::string_view::npos;
}

void append(std::vector<uint8_t>& bytes, const void* data, size_t size)
{
    const auto* first = static_cast<const uint8_t*>(data);
    bytes.insert(bytes.end(), first, first + size);
}

// key NUL path NUL; false (and nothing appended) when either holds a NUL.
bool appendStrings(std::vector<uint8_t>& bytes, std::string_view path, std::string_view key)
{
    if (holdsNul(key) || holdsNul(path))
        return false;
    bytes.reserve(key.size() + path.size() + 2 + ACPIAccessor::kRequestSlack);
    append(bytes, key.data(), key.size());
    bytes.push_back(0);
    append(bytes, path.data(), path.size());
    bytes.push_back(0);
    return true;
}

// The argument as one wire-format item, written by the format's own writers; false for a
// string with a NUL (the format ends a string at its first NUL, so the method would get
// another string than the one asked for) and for what cannot be carried.
bool appendItem(std::vector<uint8_t>& bytes, const ACPIValue& argument)
{
    const auto* text = std::get_if<std::string>(&argument);
    const auto* number = std::get_if<uint64_t>(&argument);
    const auto* data = std::get_if<std::vector<uint8_t>>(&argument);
    if ((text && holdsNul(*text)) || (data && data->size() > ServiceConnection::kMaxStructureSize))
        return false;
    const size_t itemSize = text ? vennix::stringItemSize(text->size())
        : number                 ? vennix::numberItemSize()
                                 : vennix::dataItemSize(data->size());
    // With this much room the writers cut nothing.
    const size_t room = vennix::roomForWholeItem(itemSize);
    const size_t at = bytes.size();
    bytes.resize(at + room);
    uint8_t* out = bytes.data() + at;
    const int written = text ? vennix::writeStringItem(out, static_cast<int>(room), text->data(), text->size())
        : number             ? vennix::writeNumberItem(out, static_cast<int>(room), *number)
                             : vennix::writeDataItem(out, static_cast<int>(room), data->data(), data->size());
    bytes.resize(at + static_cast<size_t>(written));
    return static_cast<size_t>(written) == itemSize;
}

// A request larger than a call carries would reach the service as no request at all.
std::vector<uint8_t> checkedSize(std::vector<uint8_t> request)
{
    if (request.size() > ServiceConnection::kMaxStructureSize)
        return {};
    return request;
}

void writeToStandardError(std::string_view line)
{
    // One insertion, so that the line is not split by another thread's output.
    std::cerr << (std::string(line) + "\n") << std::flush;
}

} // namespace

std::shared_ptr<ACPIAccessor> ACPIAccessor::create(ServiceDirectory& directory, const LogSink& log)
{
    // The connection holds what it needs; the service found is not kept.
    std::unique_ptr<ServiceConnection> connection = directory.openService(kServiceName);
    if (!connection)
        return nullptr;

    if (log)
        log(kOpenedMessage);
    else
        writeToStandardError(kOpenedMessage);
    return std::make_shared<ACPIAccessor>(std::move(connection));
}

ACPIAccessor::ACPIAccessor(std::unique_ptr<ServiceConnection> connection)
    : fConnection(std::move(connection))
{
}

ACPIAccessor::~ACPIAccessor()
{
    if (fConnection)
        fConnection->close();
}

std::vector<uint8_t> ACPIAccessor::makeRequest(std::string_view path, std::string_view key)
{
    std::vector<uint8_t> request;
    if (!appendStrings(request, path, key))
        return {};
    // The slack is sent too, zeroed rather than left to chance.
    request.insert(request.end(), kRequestSlack, 0);
    return checkedSize(std::move(request));
}

std::vector<uint8_t> ACPIAccessor::makeRequest(std::string_view path, std::string_view key,
                                               const ACPIValue& argument)
{
    std::vector<uint8_t> request;
    if (!appendStrings(request, path, key) || !appendItem(request, argument))
        return {};
    return checkedSize(std::move(request));
}

std::optional<ACPIValue> ACPIAccessor::decodeReply(const void* reply, size_t size)
{
    if (reply == nullptr || size < kTagSize)
        return std::nullopt;
    const auto* bytes = static_cast<const uint8_t*>(reply);
    switch (readU32(bytes, 0)) {
    case vennix::kObjectTypeString: {
        // A string that does not fit is cut, without its NUL, short of the last kCutMargin
        // bytes; the reply was zeroed, so a NUL there is the fill behind a cut string, not
        // the end of a whole one.
        if (size < kTagSize + kCutMargin)
            return std::nullopt;
        const void* end = std::memchr(bytes + kTagSize, '\0', size - kTagSize - kCutMargin);
        if (end == nullptr)
            return std::nullopt;
        const auto* text = reinterpret_cast<const char*>(bytes + kTagSize);
        return ACPIValue{std::string(text, static_cast<const char*>(end) - text)};
    }
    case vennix::kObjectTypeNumber:
        if (size < kTagSize + 8)
            return std::nullopt;
        return ACPIValue{readU64(bytes, kTagSize)};
    case vennix::kObjectTypeData: {
        if (size < kTagSize + 4)
            return std::nullopt;
        const uint64_t length = readU32(bytes, kTagSize);
        if (length > size - (kTagSize + 4))
            return std::nullopt;
        const uint8_t* first = bytes + kTagSize + 4;
        return ACPIValue{std::vector<uint8_t>(first, first + length)};
    }
    default:
        return std::nullopt;
    }
}

std::optional<ACPIValue> ACPIAccessor::getValueOnDevice(std::string_view path, std::string_view key)
{
    return call(vennix::kAccessorMethodGetValueOnDevice, makeRequest(path, key));
}

std::optional<std::string> ACPIAccessor::checkValueOnDevice(std::string_view path, std::string_view key)
{
    std::optional<ACPIValue> reply = call(vennix::kAccessorMethodCheckValueOnDevice, makeRequest(path, key));
    if (!reply)
        return std::nullopt;
    auto* text = std::get_if<std::string>(&*reply);
    if (text == nullptr)
        return std::nullopt;
    return std::move(*text);
}

std::optional<ACPIValue> ACPIAccessor::setValueOnDevice(std::string_view path, std::string_view key,
                                                        const ACPIValue& argument)
{
    return call(vennix::kAccessorMethodSetValueOnDevice, makeRequest(path, key, argument));
}

std::optional<ACPIValue> ACPIAccessor::call(uint32_t selector, const std::vector<uint8_t>& request)
{
    fLastResult = !fConnection ? vennix::kIOReturnNotOpen : request.empty() ? vennix::kIOReturnBadArgument
                                                                            : vennix::kIOReturnSuccess;
    if (fLastResult != vennix::kIOReturnSuccess)
        return std::nullopt;
    // Zeroed: a call that writes no reply (no such device or method) leaves tag 0 here,
    // which decodes as no value.
    std::array<uint8_t, kReplySize> reply{};
    size_t size = reply.size();
    fLastResult = fConnection->callStructMethod(selector, request.data(), request.size(), reply.data(), &size);
    if (fLastResult != vennix::kIOReturnSuccess)
        return std::nullopt;
    // The size reported back is the room given, not what was written: the item's own lengths
    // say where it ends, checked against the whole buffer the service could write.
    return decodeReply(reply.data(), reply.size());
}

} // namespace qarn
