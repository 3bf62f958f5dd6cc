#pragma once
// One client's connection to vennixd: the protocol's state machine on one socket.
//
//   match -> remembers the service (a failed match forgets it); refused after open
//   open  -> checks the peer's rights, creates the user client on the matched service
//   call  -> runs externalMethod on the daemon's copies of the caller's buffers
//
// run() serves packets until the peer closes the socket or dies, or the server shuts the
// socket down; then the user client is closed and released. Each connection runs on its own
// thread; handle() is the state machine without the socket, for tests.

#include "daemon/AccessControl.h"
#include "daemon/Protocol.h"
#include "kext/platform/IOUserClient.h"

#include <chrono>
#include <cstdint>

namespace vennix {

class Connection {
public:
    // Takes ownership of socket (a connected SOCK_SEQPACKET socket, or -1 for handle() only).
    // access must outlive the connection.
    Connection(int socket, const AccessControl::Peer& peer, const AccessControl& access);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Reads packets and answers each until the connection ends; then closes the user client.
    // A connection that has not opened a service within openTimeout is closed: anyone may
    // connect, and idle connections would otherwise hold places that users need.
    void run(std::chrono::milliseconds openTimeout = kOpenTimeout);
    static constexpr std::chrono::milliseconds kOpenTimeout{10000};

    // Wakes run() for good; safe from any thread while run() reads or writes.
    void shutdown();

    // The answer to one packet. truncated: the packet was longer than kMaxPacketSize and
    // packet holds only its beginning.
    protocol::Packet handle(protocol::Bytes packet, bool truncated = false);

    // Closes and releases the user client, if one is open. Another open may follow.
    void closeClient();

    bool isOpen() const { return fClient != nullptr; }
    int socket() const { return fSocket; }
    const AccessControl::Peer& peer() const { return fPeer; }

    // The answer to a packet of that type that cannot be read: the message's own form with
    // kIOReturnBadArgument (a match: found 0), or the error message for an unknown type.
    static protocol::Packet refusal(uint32_t type);

private:
    protocol::Packet match(protocol::Bytes packet);
    protocol::Packet open(protocol::Bytes packet);
    protocol::Packet call(protocol::Bytes packet);

    // Receives one packet into fBuffer. False when the connection has ended.
    // Before an open, waits no longer than until deadline.
    bool receive(size_t& length, bool& truncated, std::chrono::steady_clock::time_point deadline);
    bool send(const protocol::Packet& packet);

    const int fSocket;
    const AccessControl::Peer fPeer;
    const AccessControl& fAccess;
    task fTask;                       // handed to the user client; lives as long as it
    IOService* fService = nullptr;    // the matched service, retained
    IOUserClient* fClient = nullptr;  // the open user client, our reference
    bool fMayWrite = false;           // decided at open
    protocol::Packet fBuffer;
};

} // namespace vennix
