// The iSCSI target's network side: a listening TCP socket and its
// connections, served by one poll() loop on the caller's thread. Each
// connection's bytes go to its IscsiConnection, which runs the SCSI
// commands they complete there and then, so commands from every connection
// reach the simulated machine one at a time, in the order they complete.
#ifndef TOOLS_SERVE_ISCSI_SERVER_H
#define TOOLS_SERVE_ISCSI_SERVER_H

#include <csignal>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tools/serve/iscsi_connection.h"

namespace serve {

class IscsiServer {
public:
    explicit IscsiServer(TargetBackend& backend);
    ~IscsiServer();
    IscsiServer(const IscsiServer&) = delete;
    IscsiServer& operator=(const IscsiServer&) = delete;

    // Binds and listens on "ADDR:PORT" (an IPv4 address or a name; port 0
    // picks a free one). False with a reason when it cannot.
    bool listen(const std::string& address, std::string& error);
    // Where it listens, "ADDR:PORT", the port resolved.
    const std::string& address() const { return address_; }

    // Serves until stop becomes nonzero (a signal handler sets it); the
    // command in flight, if any, has completed when it returns, and what
    // the connections had to send was sent as far as they would take it.
    // Connections opened and closed are told to log, if given.
    void run(const volatile std::sig_atomic_t& stop, std::ostream* log);

    size_t connectionsServed() const { return served_; }

private:
    struct Client {
        int fd = -1;
        std::string peer;
        std::unique_ptr<IscsiConnection> connection;
        std::vector<uint8_t> pending;  // bytes not yet sent
        size_t sent = 0;
    };

    void accept(std::ostream* log);
    // Reads what is there; false when the peer closed or failed.
    bool readFrom(Client& client);
    // Sends what it can; false on a failed socket.
    bool writeTo(Client& client);
    void drop(size_t index, const std::string& why, std::ostream* log);

    TargetBackend& backend_;
    int listenFd_ = -1;
    std::string address_;
    std::vector<Client> clients_;
    std::vector<uint8_t> readBuffer_;  // one for all reads, made once
    size_t served_ = 0;
};

}  // namespace serve

#endif  // TOOLS_SERVE_ISCSI_SERVER_H
