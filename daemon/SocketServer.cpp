#include "daemon/SocketServer.h"

#include <algorithm>

#include "daemon/Connection.h"
#include "protocol/Protocol.h"
#include "kext/platform/IOLog.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace vennix {

struct SocketServer::Client {
    Client(int socket, Kind kind, const AccessControl::Peer& peer, AccessControl::Rights rights, ReaderPolicy& policy)
        : socket(socket)
        , kind(kind)
        , connection(peer, rights, policy)
    {
    }
    const int socket;
    const Kind kind;
    Connection connection;
    std::chrono::steady_clock::time_point deadline{}; // until open, or the stranger's time
    bool hasDeadline = true;
    protocol::Packet waiting;                         // a reply the peer has not taken yet
    std::chrono::steady_clock::time_point sendDeadline{};
    bool closeAfterSend = false;
    bool waitingForRoom = false;                      // watched for EPOLLOUT, not EPOLLIN
};

namespace {

using Clock = std::chrono::steady_clock;

// The wake-up descriptor's and the listener's places in epoll's data; sockets are >= 0.
constexpr uint64_t kWakeKey = ~uint64_t{0};
constexpr uint64_t kListenerKey = ~uint64_t{0} - 1;
// Connections accepted in one round, so that a flood of connects does not starve the others.
constexpr int kAcceptsPerRound = 16;
// How often the access file is looked at for withdrawn users.
constexpr std::chrono::milliseconds kAccessCheckInterval{500};

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
    , fPolicy(options.msrsFile, options.acpiFile)
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
    server->fListener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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
    server->fWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (server->fWake < 0)
        return fail("cannot create an eventfd");
    server->fEpoll = epoll_create1(EPOLL_CLOEXEC);
    if (server->fEpoll < 0)
        return fail("cannot create an epoll instance");
    epoll_event wake{EPOLLIN, {.u64 = kWakeKey}};
    epoll_event listener{EPOLLIN, {.u64 = kListenerKey}};
    if (epoll_ctl(server->fEpoll, EPOLL_CTL_ADD, server->fWake, &wake) != 0
        || epoll_ctl(server->fEpoll, EPOLL_CTL_ADD, server->fListener, &listener) != 0)
        return fail("cannot watch the socket");
    server->fAccess.refresh();
    return server;
}

SocketServer::~SocketServer()
{
    stop();
}

bool SocketServer::serve(std::string* error)
{
    if (fStopped || fListener < 0 || fThread.joinable()) {
        if (error)
            *error = "the server is not ready to serve";
        return false;
    }
    try {
        fThread = std::thread([this] { loop(); });
    } catch (const std::exception& failure) {
        if (error)
            *error = std::string("cannot start the serving thread: ") + failure.what();
        return false;
    }
    return true;
}

void SocketServer::loop()
{
    epoll_event events[64];
    for (;;) {
        const int timeout = expire();
        const int ready = epoll_wait(fEpoll, events, 64, timeout);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            IOLog("vennixd/ stops serving: %s\n", errorText(errno).c_str());
            return;
        }
        for (int i = 0; i < ready; ++i) {
            const uint64_t key = events[i].data.u64;
            if (key == kWakeKey)
                return;
            if (key == kListenerKey) {
                acceptAll();
                continue;
            }
            const auto found = fClients.find(static_cast<int>(key));
            if (found == fClients.end())
                continue;
            Client& client = *found->second;
            const uint32_t what = events[i].events;
            bool keep = true;
            if (!client.waiting.empty())
                keep = (what & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0 || flush(client);
            else if (what & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
                keep = serveOne(client);
            if (!keep)
                close(client.socket);
        }
        const auto now = Clock::now();
        if (now - fLastAccessCheck >= kAccessCheckInterval) {
            fLastAccessCheck = now;
            if (fAccess.refresh())
                revokeWithdrawnUsers();
        }
    }
}

void SocketServer::acceptAll()
{
    for (int n = 0; n < kAcceptsPerRound; ++n) {
        const int socket = ::accept4(fListener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (socket >= 0) {
            accepted(socket);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
            IOLog("vennixd/ cannot accept a connection: %s\n", errorText(errno).c_str());
        return;
    }
}

unsigned SocketServer::countOf(Kind kind, uid_t uid, bool perUser) const
{
    unsigned count = 0;
    for (const auto& [socket, client] : fClients)
        count += client->kind == kind && (!perUser || client->connection.peer().uid == uid) ? 1 : 0;
    return count;
}

void SocketServer::accepted(int socket)
{
    const std::optional<AccessControl::Peer> peer = AccessControl::peerOf(socket);
    if (!peer) {
        ::close(socket);
        return;
    }
    const AccessControl::Rights rights = fAccess.rightsOf(*peer);
    const Kind kind = peer->uid == 0 ? Kind::Root : rights.mayOpen ? Kind::User : Kind::Stranger;
    const auto now = Clock::now();
    switch (kind) {
    case Kind::Stranger:
        if (countOf(kind, 0, false) >= kMaxStrangers || countOf(kind, peer->uid, true) >= kMaxStrangersPerUser) {
            ::close(socket);
            refused(peer->uid, "may not open a connection, and knocks too often: closed at once");
            return;
        }
        break;
    case Kind::Root:
        if (countOf(kind, 0, false) >= fMaxConnections) {
            ::close(socket);
            IOLog("vennixd/ root holds %u connections: a new one is closed\n", fMaxConnections);
            return;
        }
        break;
    case Kind::User:
        if (countOf(kind, 0, false) >= fMaxConnections) {
            ::close(socket);
            if (!fRefusingAll)
                IOLog("vennixd/ %u connections open: new ones are closed\n", fMaxConnections);
            fRefusingAll = true;
            return;
        }
        fRefusingAll = false;
        if (countOf(kind, peer->uid, true) >= maxConnectionsPerUser()) {
            ::close(socket);
            refused(peer->uid, "holds a quarter of the places: a new connection is closed");
            return;
        }
        break;
    }

    std::unique_ptr<Client> client;
    try {
        client = std::make_unique<Client>(socket, kind, *peer, rights, fPolicy);
    } catch (const std::exception& failure) {
        ::close(socket);
        IOLog("vennixd/ cannot serve a connection: %s\n", failure.what());
        return;
    }
    client->deadline = now + (kind == Kind::Stranger ? kStrangerTime : fOpenTimeout);
    epoll_event interest{EPOLLIN | EPOLLRDHUP, {.u64 = static_cast<uint64_t>(socket)}};
    if (epoll_ctl(fEpoll, EPOLL_CTL_ADD, socket, &interest) != 0) {
        IOLog("vennixd/ cannot watch a connection: %s\n", errorText(errno).c_str());
        ::close(socket);
        return;
    }
    fClients.emplace(socket, std::move(client));
    fCount.store(fClients.size(), std::memory_order_release);
}

bool SocketServer::serveOne(Client& client)
{
    // Room for the largest packet and one byte more: MSG_TRUNC tells a longer one apart.
    static thread_local protocol::Packet buffer(protocol::kMaxPacketSize);
    const ssize_t got = ::recv(client.socket, buffer.data(), buffer.size(), MSG_TRUNC | MSG_DONTWAIT);
    if (got < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (got == 0) {
        // An empty packet and the end of the connection both read as 0; only the end leaves
        // the socket hung up.
        pollfd state{client.socket, POLLRDHUP, 0};
        const int hung = ::poll(&state, 1, 0);
        if (hung < 0 || (hung > 0 && (state.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL))))
            return false;
    }
    const bool truncated = static_cast<size_t>(got) > buffer.size();
    const size_t length = std::min(static_cast<size_t>(got), buffer.size());
    protocol::Packet reply = client.connection.handle(protocol::Bytes(buffer.data(), length), truncated);
    if (client.connection.isOpen())
        client.hasDeadline = false;
    client.closeAfterSend = client.connection.refused();
    if (client.closeAfterSend)
        refused(client.connection.peer().uid, "may not open a connection");
    client.waiting = std::move(reply);
    client.sendDeadline = Clock::now() + kSendTimeout;
    return flush(client);
}

bool SocketServer::flush(Client& client)
{
    // MSG_NOSIGNAL: a client that vanished costs its connection, not the daemon.
    const ssize_t sent = ::send(client.socket, client.waiting.data(), client.waiting.size(),
                                MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        // The peer does not take its replies: wait for room, reading nothing more meanwhile.
        if (client.waitingForRoom)
            return true;
        client.waitingForRoom = true;
        epoll_event interest{EPOLLOUT, {.u64 = static_cast<uint64_t>(client.socket)}};
        return epoll_ctl(fEpoll, EPOLL_CTL_MOD, client.socket, &interest) == 0;
    }
    if (sent != static_cast<ssize_t>(client.waiting.size()))
        return false;
    client.waiting.clear();
    if (client.closeAfterSend)
        return false;
    if (!client.waitingForRoom)
        return true;
    client.waitingForRoom = false;
    epoll_event interest{EPOLLIN | EPOLLRDHUP, {.u64 = static_cast<uint64_t>(client.socket)}};
    return epoll_ctl(fEpoll, EPOLL_CTL_MOD, client.socket, &interest) == 0;
}

void SocketServer::close(int socket)
{
    const auto found = fClients.find(socket);
    if (found == fClients.end())
        return;
    epoll_ctl(fEpoll, EPOLL_CTL_DEL, socket, nullptr);
    // The peer sees the end at once; the user client goes before the socket.
    ::shutdown(socket, SHUT_RDWR);
    found->second->connection.closeClient();
    fClients.erase(found);
    ::close(socket);
    fCount.store(fClients.size(), std::memory_order_release);
}

int SocketServer::expire()
{
    const auto now = Clock::now();
    auto next = now + kAccessCheckInterval;
    std::vector<int> expired;
    for (const auto& [socket, client] : fClients) {
        if (!client->waiting.empty()) {
            if (now >= client->sendDeadline) {
                expired.push_back(socket);
                continue;
            }
            next = std::min(next, client->sendDeadline);
        }
        if (client->hasDeadline) {
            if (now >= client->deadline) {
                expired.push_back(socket);
                continue;
            }
            next = std::min(next, client->deadline);
        }
    }
    for (int socket : expired)
        close(socket);
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::max<long long>(wait, 0) + 1);
}

void SocketServer::revokeWithdrawnUsers()
{
    std::vector<int> withdrawn;
    for (const auto& [socket, client] : fClients) {
        if (client->kind == Kind::User && !fAccess.rightsOf(client->connection.peer()).mayOpen)
            withdrawn.push_back(socket);
    }
    for (int socket : withdrawn) {
        const auto& peer = fClients.at(socket)->connection.peer();
        IOLog("vennixd/ uid %u is no longer allowed: its connection ends\n", static_cast<unsigned>(peer.uid));
        close(socket);
    }
}

void SocketServer::refused(uid_t uid, const char* why)
{
    const auto now = Clock::now();
    // The table stays small whatever the number of uids that knock.
    if (fRefusals.size() > 4096)
        fRefusals.clear();
    const auto [entry, first] = fRefusals.try_emplace(uid);
    Refusals& refusals = entry->second;
    if (!first && now - refusals.since < std::chrono::minutes(1)) {
        ++refusals.count;
        return;
    }
    if (refusals.count > 0)
        IOLog("vennixd/ uid %u %s (and %u more times in the last minute)\n", static_cast<unsigned>(uid), why,
              refusals.count);
    else
        IOLog("vennixd/ uid %u %s\n", static_cast<unsigned>(uid), why);
    refusals.since = now;
    refusals.count = 0;
}

unsigned SocketServer::maxConnectionsPerUser() const
{
    return std::max(1u, fMaxConnections / 4);
}

void SocketServer::stop()
{
    if (fStopped)
        return;
    fStopped = true;

    if (fThread.joinable()) {
        const uint64_t one = 1;
        while (::write(fWake, &one, sizeof one) < 0 && errno == EINTR) {
        }
        fThread.join();
    }
    // The loop has ended: its connections are ours to close.
    while (!fClients.empty())
        close(fClients.begin()->first);
    if (fListener >= 0) {
        ::close(fListener);
        fListener = -1;
        // Only our own socket file: another daemon may have put its own in its place.
        struct stat status{};
        if (lstat(fPath.c_str(), &status) == 0 && status.st_dev == fSocketDevice
            && status.st_ino == fSocketInode)
            unlink(fPath.c_str());
    }
    for (int* fd : {&fWake, &fEpoll}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

} // namespace vennix
