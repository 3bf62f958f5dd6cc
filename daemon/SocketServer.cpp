#include "daemon/SocketServer.h"

#include <algorithm>

#include "daemon/Connection.h"
#include "daemon/Protocol.h"
#include "kext/platform/IOLog.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace vennix {

struct SocketServer::Client {
    std::unique_ptr<Connection> connection;
    std::thread thread;
    std::atomic<bool> finished{false};
};

namespace {

std::string errorText(int error)
{
    return std::strerror(error);
}

// Creates the directories leading to path that are missing, each 0755.
bool makeParentDirectories(const std::string& path, std::string* error)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return true;
    const std::string parent = path.substr(0, slash);
    struct stat status{};
    if (stat(parent.c_str(), &status) == 0) {
        if (S_ISDIR(status.st_mode))
            return true;
        if (error)
            *error = parent + " is not a directory";
        return false;
    }
    if (!makeParentDirectories(parent, error))
        return false;
    if (mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) {
        if (error)
            *error = "cannot create " + parent + ": " + errorText(errno);
        return false;
    }
    // Not narrowed by the umask: clients of every user must reach the socket.
    chmod(parent.c_str(), 0755);
    return true;
}

bool socketAddress(const std::string& path, sockaddr_un& address)
{
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// A socket file left behind by a daemon that is gone is removed; a live one is refused.
bool clearOldSocket(const std::string& path, const sockaddr_un& address, std::string* error)
{
    struct stat status{};
    if (lstat(path.c_str(), &status) != 0) {
        if (errno == ENOENT)
            return true;
        if (error)
            *error = "cannot look at " + path + ": " + errorText(errno);
        return false;
    }
    if (!S_ISSOCK(status.st_mode)) {
        if (error)
            *error = path + " exists and is not a socket";
        return false;
    }
    const int probe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        if (error)
            *error = "cannot create a socket: " + errorText(errno);
        return false;
    }
    int result;
    do
        result = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    while (result != 0 && errno == EINTR);
    const int failure = result == 0 ? 0 : errno;
    ::close(probe);
    if (result == 0) {
        if (error)
            *error = "another vennixd listens on " + path;
        return false;
    }
    if (failure != ECONNREFUSED) {
        if (error) {
            *error = failure == EPROTOTYPE ? path + " is a socket of another kind; remove it first"
                                           : "cannot check " + path + ": " + errorText(failure);
        }
        return false;
    }
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        if (error)
            *error = "cannot remove the stale socket " + path + ": " + errorText(errno);
        return false;
    }
    return true;
}

} // namespace

SocketServer::SocketServer(std::string path, const Options& options)
    : fPath(std::move(path))
    , fAccess(options.usersFile.empty() ? AccessControl::kDefaultUsersFile : options.usersFile,
              options.allowWrites)
    , fMaxConnections(options.maxConnections)
    , fOpenTimeout(options.openTimeout)
{
}

std::unique_ptr<SocketServer> SocketServer::listen(const Options& options, std::string* error)
{
    const std::string path = options.path.empty() ? protocol::kDefaultSocketPath : options.path;
    sockaddr_un address;
    if (!socketAddress(path, address)) {
        if (error)
            *error = "socket path is empty or longer than " + std::to_string(sizeof address.sun_path - 1)
                + " bytes: " + path;
        return nullptr;
    }
    if (options.maxConnections == 0) {
        if (error)
            *error = "at least one connection must be allowed";
        return nullptr;
    }
    if (!makeParentDirectories(path, error) || !clearOldSocket(path, address, error))
        return nullptr;

    std::unique_ptr<SocketServer> server(new (std::nothrow) SocketServer(path, options));
    if (!server) {
        if (error)
            *error = "out of memory";
        return nullptr;
    }
    auto fail = [&](const std::string& what) {
        if (error)
            *error = what + ": " + errorText(errno);
        return nullptr;
    };
    server->fListener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (server->fListener < 0)
        return fail("cannot create a socket");
    if (::bind(server->fListener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return fail("cannot bind " + path);
    struct stat status{};
    if (stat(path.c_str(), &status) != 0)
        return fail("cannot look at " + path);
    server->fSocketDevice = status.st_dev;
    server->fSocketInode = status.st_ino;
    // Everyone may connect; the daemon decides per connection who may do what.
    if (chmod(path.c_str(), 0666) != 0)
        return fail("cannot make " + path + " reachable");
    if (::listen(server->fListener, SOMAXCONN) != 0)
        return fail("cannot listen on " + path);
    if (pipe2(server->fWake, O_CLOEXEC | O_NONBLOCK) != 0)
        return fail("cannot create a pipe");
    return server;
}

SocketServer::~SocketServer()
{
    stop();
}

bool SocketServer::serve(std::string* error)
{
    if (fStopped || fListener < 0 || fAcceptThread.joinable()) {
        if (error)
            *error = "the server is not ready to serve";
        return false;
    }
    try {
        fAcceptThread = std::thread([this] { acceptLoop(); });
    } catch (const std::exception& failure) {
        if (error)
            *error = std::string("cannot start the accepting thread: ") + failure.what();
        return false;
    }
    return true;
}

void SocketServer::acceptLoop()
{
    for (;;) {
        pollfd waiting[2] = {{fListener, POLLIN, 0}, {fWake[0], POLLIN, 0}};
        if (::poll(waiting, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            IOLog("vennixd/ stops accepting: %s\n", errorText(errno).c_str());
            return;
        }
        if (waiting[1].revents != 0)
            return;
        if (waiting[0].revents & (POLLERR | POLLNVAL)) {
            IOLog("vennixd/ the listening socket failed\n");
            return;
        }
        if (!(waiting[0].revents & POLLIN))
            continue;
        const int socket = ::accept4(fListener, nullptr, nullptr, SOCK_CLOEXEC);
        if (socket < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors or memory: wait a little rather than spin on the backlog.
                IOLog("vennixd/ cannot accept a connection: %s\n", errorText(errno).c_str());
                pollfd wake{fWake[0], POLLIN, 0};
                if (::poll(&wake, 1, 100) > 0)
                    return;
            }
            continue;
        }
        accepted(socket);
    }
}

void SocketServer::accepted(int socket)
{
    std::lock_guard<std::mutex> hold(fLock);
    reapLocked();
    if (fClients.size() >= fMaxConnections) {
        ::close(socket);
        if (!fRefusing)
            IOLog("vennixd/ %u connections open: new ones are closed\n", fMaxConnections);
        fRefusing = true;
        return;
    }
    fRefusing = false;

    const std::optional<AccessControl::Peer> peer = AccessControl::peerOf(socket);
    if (!peer) {
        ::close(socket);
        return;
    }
    // Anyone may connect, so one user must not be able to take every place and lock the
    // others out; root is not limited.
    if (peer->uid != 0) {
        unsigned held = 0;
        for (const auto& client : fClients)
            held += client->connection->peer().uid == peer->uid ? 1 : 0;
        if (held >= maxConnectionsPerUser()) {
            ::close(socket);
            IOLog("vennixd/ uid %u holds %u connections: a new one is closed\n",
                  static_cast<unsigned>(peer->uid), held);
            return;
        }
    }
    try {
        auto client = std::make_unique<Client>();
        client->connection = std::make_unique<Connection>(socket, *peer, fAccess);
        socket = -1; // the connection owns it now
        Client* running = client.get();
        client->thread = std::thread([running, timeout = fOpenTimeout] {
            running->connection->run(timeout);
            running->finished.store(true, std::memory_order_release);
        });
        fClients.push_back(std::move(client));
    } catch (const std::exception& failure) {
        // A client whose thread did not start is freed here, closing its socket.
        if (socket >= 0)
            ::close(socket);
        IOLog("vennixd/ cannot serve a connection: %s\n", failure.what());
    }
}

void SocketServer::reapLocked()
{
    for (size_t i = 0; i < fClients.size();) {
        if (fClients[i]->finished.load(std::memory_order_acquire)) {
            fClients[i]->thread.join();
            fClients.erase(fClients.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

unsigned SocketServer::maxConnectionsPerUser() const
{
    return std::max(1u, fMaxConnections / 4);
}

size_t SocketServer::connectionCount() const
{
    std::lock_guard<std::mutex> hold(fLock);
    size_t running = 0;
    for (const auto& client : fClients)
        running += client->finished.load(std::memory_order_acquire) ? 0 : 1;
    return running;
}

void SocketServer::stop()
{
    if (fStopped)
        return;
    fStopped = true;

    if (fAcceptThread.joinable()) {
        const char wake = 1;
        while (::write(fWake[1], &wake, 1) < 0 && errno == EINTR) {
        }
        fAcceptThread.join();
    }
    if (fListener >= 0) {
        ::close(fListener);
        fListener = -1;
        // Only our own socket file: another daemon may have put its own in its place.
        struct stat status{};
        if (lstat(fPath.c_str(), &status) == 0 && status.st_dev == fSocketDevice
            && status.st_ino == fSocketInode)
            unlink(fPath.c_str());
    }

    // Connection threads never take fLock, so they can be joined with it held.
    std::lock_guard<std::mutex> hold(fLock);
    for (const auto& client : fClients)
        client->connection->shutdown();
    for (const auto& client : fClients) {
        if (client->thread.joinable())
            client->thread.join();
    }
    fClients.clear();

    for (int& end : fWake) {
        if (end >= 0)
            ::close(end);
        end = -1;
    }
}

} // namespace vennix
