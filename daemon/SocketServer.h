#pragma once
// vennixd's listening socket: a SOCK_SEQPACKET Unix socket served by one event loop.
//
// Any local user may connect, so no user may take the service away from the others:
//   - One thread serves every connection with non-blocking sockets and epoll, one packet per
//     connection per round, so a slow or hostile peer delays nobody. Calls are serialised by
//     the CPU service's own lock anyway; a thread per connection bought no parallelism and
//     let a peer that never reads its replies hold a thread in send() for ever.
//   - Rights are decided when a peer connects. A peer that may not open takes no place: its
//     match is answered "found", its open kIOReturnNotPermitted, and the connection closes
//     right after; one that does neither is closed after kStrangerTime. Few such connections
//     are held at once (kMaxStrangers, kMaxStrangersPerUser); more are closed at accept.
//   - The places (maxConnections) are for root and the users who may open: root has as many
//     again of its own, and no other user holds more than a quarter of them.
//   - A connection that has not opened a service within openTimeout of connecting is closed,
//     whatever it sends. A reply the peer does not take within kSendTimeout (its socket
//     buffer full) ends the connection; at most one reply per connection waits.
//   - When the access file changes, the sessions of users it no longer allows end.
//   - Refusals are logged once per uid per minute, with a count.
//
// listen() binds the socket (creating its directory, replacing a stale socket file, refusing
// when another daemon listens there) and serve() starts the loop, so that the services can
// start in between. stop() ends the loop, closes every connection (and with it its user
// client) and removes the socket file: after it returns the services can be terminated.

#include "daemon/AccessControl.h"
#include "daemon/Connection.h"
#include "daemon/ReaderPolicy.h"

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <sys/types.h>
#include <thread>

namespace vennix {

class SocketServer {
public:
    struct Options {
        std::string path;      // empty: the default socket path
        std::string usersFile; // empty: the default access file
        std::string msrsFile = ReaderPolicy::kDefaultMSRsFile;
        std::string acpiFile = ReaderPolicy::kDefaultACPIFile;
        bool allowWrites = false;
        unsigned maxConnections = 64;
        // A connection that has not opened a service by then is closed.
        std::chrono::milliseconds openTimeout = kOpenTimeout;
    };
    static constexpr unsigned kDefaultMaxConnections = 64;
    static constexpr std::chrono::milliseconds kOpenTimeout{10000};
    static constexpr std::chrono::milliseconds kStrangerTime{1000};
    static constexpr std::chrono::milliseconds kSendTimeout{2000};
    static constexpr unsigned kMaxStrangers = 32;
    static constexpr unsigned kMaxStrangersPerUser = 4;

    // A bound, listening socket; null with a message in *error when it cannot be had.
    static std::unique_ptr<SocketServer> listen(const Options& options, std::string* error);

    ~SocketServer();
    SocketServer(const SocketServer&) = delete;
    SocketServer& operator=(const SocketServer&) = delete;

    // Starts the event loop on a thread of its own. False when it cannot start.
    bool serve(std::string* error = nullptr);
    // See above. Idempotent.
    void stop();

    const std::string& path() const { return fPath; }
    // Connections one user other than root may hold at once: a quarter of the places.
    unsigned maxConnectionsPerUser() const;
    const AccessControl& access() const { return fAccess; }
    // Connections held now, strangers' included.
    size_t connectionCount() const { return fCount.load(std::memory_order_acquire); }

private:
    struct Client;
    enum class Kind { Stranger, User, Root };

    SocketServer(std::string path, const Options& options);

    void loop();
    void acceptAll();
    void accepted(int socket);
    // Reads and answers one packet; false when the connection is to end.
    bool serveOne(Client& client);
    // Sends the waiting reply; false when the connection is to end.
    bool flush(Client& client);
    void close(int socket);
    // Closes the connections that have run out of time; the time until the next deadline.
    int expire();
    void revokeWithdrawnUsers();
    void refused(uid_t uid, const char* why);
    unsigned countOf(Kind kind, uid_t uid, bool perUser) const;

    const std::string fPath;
    AccessControl fAccess;
    ReaderPolicy fPolicy;
    const unsigned fMaxConnections;
    const std::chrono::milliseconds fOpenTimeout;
    int fListener = -1;
    int fEpoll = -1;
    int fWake = -1;            // eventfd written by stop() to end the loop
    dev_t fSocketDevice = 0;   // identify our socket file, so that stop() removes only ours
    ino_t fSocketInode = 0;
    std::thread fThread;
    bool fStopped = false;

    // The event loop's own; stop() touches them only after the loop has ended.
    std::map<int, std::unique_ptr<Client>> fClients;
    std::atomic<size_t> fCount{0};
    std::chrono::steady_clock::time_point fLastAccessCheck{};
    bool fRefusingAll = false;
    struct Refusals {
        std::chrono::steady_clock::time_point since;
        unsigned count = 0;
    };
    std::map<uid_t, Refusals> fRefusals;
};

} // namespace vennix
