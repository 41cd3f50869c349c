// port_listener: the far agent's own listening socket that a rewritten PORT or EPRT names to the
// FTP server. It accepts one connection, from the FTP server's address only, and joins it to the
// client's data connection that claimed its announcement. Either may come first: the one that
// does waits for the other until the announcement's lifetime is over; then the listener gives up
// (and ends a data connection still waiting for it).
#pragma once

#include <cstdint>
#include <memory>

#include "net/socket.h"

namespace orv {

class client_end;
struct server_context;

class port_listener : public socket {
public:
    enum class listener_state {
        listening,  // waiting for the FTP server
        holding,    // the FTP server's connection is held for the client's data connection
        done        // joined or given up: the selector destroys it
    };

    // Listens on `local_net` (network order) with a port the system chooses; the ok flag is
    // cleared (after the message) when it cannot. Only `service_net` may connect.
    port_listener(const reporter& parent, std::shared_ptr<server_context> context, uint32_t local_net,
                  uint32_t service_net);
    ~port_listener() override;

    uint64_t token() const { return token_; }
    // Host order; 0 when not listening.
    uint16_t port() const { return port_; }
    listener_state state() const { return state_; }

    // A data connection claimed this listener: joined at once when the service's connection is
    // held, otherwise when it comes.
    void offer(client_end* end);
    // `end` is going away: it waits no more.
    void forget(client_end* end);

    int handle_events(int readable, int writable, int error) override;
    int wants_events(int* read, int* write, int* error) override;

private:
    void finish();

    std::shared_ptr<server_context> context_;
    uint32_t service_net_;
    uint64_t token_ = 0;
    uint16_t port_ = 0;
    listener_state state_ = listener_state::listening;
    int held_ = -1;
    client_end* waiter_ = nullptr;
    int64_t expires_ms_ = 0;
};

}  // namespace orv
