#pragma once
// One client's connection to vennixd: the protocol's state machine, without the socket (the
// server's event loop reads and writes packets).
//
//   match -> remembers the service (a failed match forgets it); refused after open
//   open  -> creates the user client on the matched service, if the peer may open
//   call  -> runs externalMethod on the daemon's copies of the caller's buffers
//
// The peer's rights are decided once, when it connects. A peer that may not open learns
// nothing: every well-formed match is answered "found", its open kIOReturnNotPermitted, after
// which refused() is true and the server closes the connection. Users other than root read
// only what the ReaderPolicy lets them (kIOReturnNotPrivileged otherwise), and their energy
// counters come at its rate.

#include "daemon/AccessControl.h"
#include "protocol/Protocol.h"
#include "daemon/ReaderPolicy.h"
#include "kext/platform/IOUserClient.h"

#include <cstdint>

namespace vennix {

class Connection {
public:
    // policy must outlive the connection.
    Connection(const AccessControl::Peer& peer, AccessControl::Rights rights, ReaderPolicy& policy);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // The answer to one packet. truncated: the packet was longer than kMaxPacketSize and
    // packet holds only its beginning.
    protocol::Packet handle(protocol::Bytes packet, bool truncated = false);

    // Closes and releases the user client, if one is open. Another open may follow.
    void closeClient();

    bool isOpen() const { return fClient != nullptr; }
    // The peer asked to open and may not: nothing more is served on this connection.
    bool refused() const { return fRefused; }
    const AccessControl::Peer& peer() const { return fPeer; }
    const AccessControl::Rights& rights() const { return fRights; }

    // The answer to a packet of that type that cannot be read: the message's own form with
    // kIOReturnBadArgument (a match: found 0), or the error message for an unknown type.
    static protocol::Packet refusal(uint32_t type);

private:
    protocol::Packet match(protocol::Bytes packet);
    protocol::Packet open(protocol::Bytes packet);
    protocol::Packet call(protocol::Bytes packet);
    // kIOReturnNotPrivileged when a reader may not make this call, else kIOReturnSuccess.
    IOReturn readerCheck(const protocol::CallView& request);

    const AccessControl::Peer fPeer;
    const AccessControl::Rights fRights;
    ReaderPolicy& fPolicy;
    task fTask;                       // handed to the user client; lives as long as it
    IOService* fService = nullptr;    // the matched service, retained
    IOUserClient* fClient = nullptr;  // the open user client, our reference
    bool fRefused = false;
};

} // namespace vennix
