#pragma once
// vennixd's listening socket: a SOCK_SEQPACKET Unix socket, one thread per connection.
//
// listen() binds the socket (creating its directory, replacing a stale socket file, refusing
// when another daemon listens there) and serve() starts accepting, so that the services can
// start in between. Beyond maxConnections a new connection is closed at once.
//
// stop() stops accepting, shuts every connection down, waits for their threads (each closes
// its user client) and removes the socket file: after it returns no connection holds a user
// client, and the services can be terminated.

#include "daemon/AccessControl.h"
#include "daemon/Connection.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace vennix {

class Connection;

class SocketServer {
public:
    struct Options {
        std::string path;      // empty: the default socket path
        std::string usersFile; // empty: the default access file
        bool allowWrites = false;
        unsigned maxConnections = 64;
        // A connection that has not opened a service by then is closed.
        std::chrono::milliseconds openTimeout = Connection::kOpenTimeout;
    };
    static constexpr unsigned kDefaultMaxConnections = 64;

    // A bound, listening socket; null with a message in *error when it cannot be had.
    static std::unique_ptr<SocketServer> listen(const Options& options, std::string* error);

    ~SocketServer();
    SocketServer(const SocketServer&) = delete;
    SocketServer& operator=(const SocketServer&) = delete;

    // Starts accepting connections on a thread of its own. False when it cannot start.
    bool serve(std::string* error = nullptr);
    // See above. Idempotent.
    void stop();

    const std::string& path() const { return fPath; }
    // Connections one user other than root may hold at once: a quarter of the places.
    unsigned maxConnectionsPerUser() const;
    const AccessControl& access() const { return fAccess; }
    // Connections whose thread has not ended yet.
    size_t connectionCount() const;

private:
    struct Client;

    SocketServer(std::string path, const Options& options);

    void acceptLoop();
    void accepted(int socket);
    // Joins and frees the connections whose thread has ended. Caller holds fLock.
    void reapLocked();

    const std::string fPath;
    AccessControl fAccess;
    const unsigned fMaxConnections;
    const std::chrono::milliseconds fOpenTimeout;
    int fListener = -1;
    int fWake[2] = {-1, -1};   // written by stop() to end the accept loop
    dev_t fSocketDevice = 0;   // identify our socket file, so that stop() removes only ours
    ino_t fSocketInode = 0;
    std::thread fAcceptThread;
    bool fStopped = false;

    mutable std::mutex fLock; // guards fClients
    std::vector<std::unique_ptr<Client>> fClients;
    bool fRefusing = false;   // accept thread only: the last connection was over the limit
};

} // namespace vennix
