#include "tools/serve/iscsi_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace serve {

namespace {

constexpr size_t kReadChunk = 256 * 1024;
// A connection whose peer stops reading is dropped once this much waits.
constexpr size_t kMaxPending = 64u * 1024 * 1024;

void nonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

std::string peerName(const sockaddr_in& a)
{
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

}  // namespace

IscsiServer::IscsiServer(TargetBackend& backend) : backend_(backend) {}

IscsiServer::~IscsiServer()
{
    for (Client& c : clients_) ::close(c.fd);
    if (listenFd_ >= 0) ::close(listenFd_);
}

bool IscsiServer::listen(const std::string& address, std::string& error)
{
    size_t colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == address.size()) {
        error = "listen address must be ADDR:PORT, not '" + address + "'";
        return false;
    }
    std::string host = address.substr(0, colon);
    std::string port = address.substr(colon + 1);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) {
        error = "cannot resolve '" + address + "': " + gai_strerror(rc);
        return false;
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, 16) != 0) {
        error = "cannot listen on " + address + ": " + std::strerror(errno);
        freeaddrinfo(found);
        ::close(fd);
        return false;
    }
    freeaddrinfo(found);
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    nonBlocking(fd);
    listenFd_ = fd;
    address_ = peerName(bound);
    return true;
}

void IscsiServer::accept(std::ostream* log)
{
    for (;;) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        int fd = ::accept(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length);
        if (fd < 0) return;
        nonBlocking(fd);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Client c;
        c.fd = fd;
        c.peer = peerName(peer);
        c.connection.reset(new IscsiConnection(backend_));
        clients_.push_back(std::move(c));
        ++served_;
        if (log) *log << "connection from " << clients_.back().peer << "\n" << std::flush;
    }
}

bool IscsiServer::readFrom(Client& client)
{
    if (readBuffer_.size() != kReadChunk) readBuffer_.resize(kReadChunk);
    for (;;) {
        ssize_t n = ::recv(client.fd, readBuffer_.data(), readBuffer_.size(), 0);
        if (n > 0) {
            client.connection->receive(readBuffer_.data(), static_cast<size_t>(n));
            if (client.connection->hasOutput()) {
                std::vector<uint8_t> out = client.connection->takeOutput();
                client.pending.insert(client.pending.end(), out.begin(), out.end());
            }
            if (client.connection->closing()) return true;
            continue;
        }
        if (n == 0) return false;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

bool IscsiServer::writeTo(Client& client)
{
    while (client.sent < client.pending.size()) {
        ssize_t n = ::send(client.fd, client.pending.data() + client.sent,
                           client.pending.size() - client.sent, MSG_NOSIGNAL);
        if (n > 0) {
            client.sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        return false;
    }
    if (client.sent == client.pending.size()) {
        client.pending.clear();
        client.sent = 0;
    } else if (client.sent > kReadChunk) {
        client.pending.erase(client.pending.begin(),
                             client.pending.begin() + static_cast<std::ptrdiff_t>(client.sent));
        client.sent = 0;
    }
    return client.pending.size() - client.sent <= kMaxPending;
}

void IscsiServer::drop(size_t index, const std::string& why, std::ostream* log)
{
    if (log) *log << "connection from " << clients_[index].peer << " closed: " << why << "\n"
                  << std::flush;
    ::close(clients_[index].fd);
    clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(index));
}

void IscsiServer::run(const volatile std::sig_atomic_t& stop, std::ostream* log)
{
    std::vector<pollfd> fds;
    while (!stop) {
        fds.clear();
        fds.push_back({listenFd_, POLLIN, 0});
        for (const Client& c : clients_) {
            short events = c.connection->closing() ? 0 : POLLIN;
            if (c.sent < c.pending.size()) events |= POLLOUT;
            fds.push_back({c.fd, events, 0});
        }
        int ready = ::poll(fds.data(), fds.size(), 1000);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents & POLLIN) accept(log);
        // Walk backwards so that dropping a client keeps the others' places.
        for (size_t i = fds.size() - 1; i >= 1; --i) {
            Client& c = clients_[i - 1];
            const short revents = fds[i].revents;
            bool alive = true;
            std::string why = "closed by the initiator";
            if (revents & (POLLIN | POLLHUP | POLLERR)) alive = readFrom(c);
            if (alive && !writeTo(c)) {
                alive = false;
                why = "the initiator stopped taking what was sent";
            }
            if (alive && c.connection->closing() && c.sent >= c.pending.size()) {
                alive = false;
                why = c.connection->closeReason();
            }
            if (!alive) drop(i - 1, why, log);
        }
    }
    // Stopping: what was answered is sent as far as the peers take it.
    for (Client& c : clients_) writeTo(c);
}

}  // namespace serve
