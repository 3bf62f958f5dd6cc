#pragma once
// The client's end of one vennixd socket: one request packet out, one answer packet back.

#include "protocol/IOReturn.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace qarn {

class ServiceSocket {
public:
    // Connects to the SOCK_SEQPACKET socket at path; null with *why saying what went wrong.
    static std::unique_ptr<ServiceSocket> connect(const std::string& path, std::string* why);
    ~ServiceSocket();

    ServiceSocket(const ServiceSocket&) = delete;
    ServiceSocket& operator=(const ServiceSocket&) = delete;

    // Sends request and waits for the answer. kIOReturnSuccess with the answer in *answer, a
    // view of the socket's own buffer that is valid until the next exchange;
    // kIOReturnTimeout when none came in time, kIOReturnIPCError when the daemon closed the
    // socket or the packet could not be sent. A failure closes the socket: the daemon's view
    // of this connection is lost, so nothing further may be sent on it.
    vennix::IOReturn exchange(const std::vector<uint8_t>& request, std::span<const uint8_t>* answer);

    bool isOpen() const { return fDescriptor >= 0; }
    void close();

    // How long exchange waits for an answer. An ACPI evaluation may take a while; a daemon
    // that hangs must not hang the caller for ever.
    static constexpr std::chrono::milliseconds kAnswerTimeout{10000};

private:
    explicit ServiceSocket(int descriptor) : fDescriptor(descriptor) {}
    int fDescriptor = -1;
    std::vector<uint8_t> fBuffer; // receives every answer; allocated once
};

} // namespace qarn
