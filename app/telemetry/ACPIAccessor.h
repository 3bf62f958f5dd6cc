#pragma once
// The monitor's client of the CPU service's "ACPIAccessor": evaluates an ACPI method (or
// reads an object) of a device named by its registry path, such as
// "IOACPIPlane:/_SB/PCI0/LPCB/EC0", and decodes the object the service answers.
//
// Requests are the key (the method name), its NUL, the path, its NUL and three bytes of
// slack; selector 4 appends its argument as one item of the object wire format. Replies are
// one item of that format in a 200-byte buffer; only strings, numbers and byte data are
// decoded, everything else (null, arrays, cut strings and data, an item running past the
// buffer) reads as no value.
//
// No lock of its own: the service serialises the calls of all its clients.

#include "platform/ServiceConnection.h"
#include "platform/ServiceDirectory.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qarn {

// A decoded reply: a string (tag 2), a number (tag 3) or byte data (tag 5).
using ACPIValue = std::variant<std::string, uint64_t, std::vector<uint8_t>>;

class ACPIAccessor {
public:
    // The service it opens, and the line logged when it did.
    static constexpr const char* kServiceName = "ACPIAccessor";
    static constexpr const char* kOpenedMessage = "ACPIAccessor";
    // Room for the reply of each call.
    static constexpr size_t kReplySize = 200;
    // Bytes after the path's NUL in the requests of selectors 3 and 5.
    static constexpr size_t kRequestSlack = 3;

    using LogSink = std::function<void(std::string_view line)>;

    // Finds the service "ACPIAccessor" and opens a connection of type 0. Logs kOpenedMessage
    // (to log, by default one line on standard error) when it did; null, with nothing left
    // open and nothing logged, when the service is missing or does not open.
    static std::shared_ptr<ACPIAccessor> create(ServiceDirectory& directory, const LogSink& log = {});

    // Takes over the connection (null: every call fails as on a closed one).
    explicit ACPIAccessor(std::unique_ptr<ServiceConnection> connection);
    // Closes the connection.
    ~ACPIAccessor();

    ACPIAccessor(const ACPIAccessor&) = delete;
    ACPIAccessor& operator=(const ACPIAccessor&) = delete;

    // Evaluates key on the device at path (selector 3). No value when the call fails, the
    // device or method does not exist, or the reply is not a string, number or byte data.
    std::optional<ACPIValue> getValueOnDevice(std::string_view path, std::string_view key);

    // Asks the service to check key on the device at path (selector 5). Its answer is a string:
    // the class name of the result ("OSNumber", "OSString", "OSData", "OSArray"), "Falscher
    // Key" when the evaluation fails, or the path itself when it names no ACPI device. No value
    // when the call fails.
    std::optional<std::string> checkValueOnDevice(std::string_view path, std::string_view key);

    // Evaluates key on the device at path with argument as its one argument (selector 4) and
    // decodes the result as getValueOnDevice does. A string argument cannot hold a NUL.
    std::optional<ACPIValue> setValueOnDevice(std::string_view path, std::string_view key,
                                              const ACPIValue& argument);

    // The request of selectors 3 and 5 (with no argument) or 4: key, NUL, path, NUL, then the
    // argument item, or the zeroed slack. Empty when key, path or a string argument holds a
    // NUL, or when the request would exceed what a call carries.
    static std::vector<uint8_t> makeRequest(std::string_view path, std::string_view key);
    static std::vector<uint8_t> makeRequest(std::string_view path, std::string_view key,
                                            const ACPIValue& argument);

    // The top-level item of a reply written into size bytes (zeroed before): a string, number
    // or byte data; no value for every other tag and for an item that does not end within
    // size. A string must end before the last four bytes, which the service leaves unwritten
    // when it cuts a string that does not fit: a NUL there is the zero fill, not the string's.
    static std::optional<ACPIValue> decodeReply(const void* reply, size_t size);

    // The return code of the last get, check or set: kIOReturnBadArgument for a request refused
    // before any call (a NUL in the key or path), kIOReturnNotOpen without a connection.
    IOReturn lastResult() const { return fLastResult; }

private:
    // One call of selector with request; the decoded reply, or no value.
    std::optional<ACPIValue> call(uint32_t selector, const std::vector<uint8_t>& request);

    std::unique_ptr<ServiceConnection> fConnection;
    IOReturn fLastResult = vennix::kIOReturnSuccess;
};

} // namespace qarn
