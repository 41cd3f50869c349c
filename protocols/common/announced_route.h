// announced_route: the client agent's side of a connection a Progress broker or an Oracle
// listener announced on a control connection. A rendezvous listens for the client program where
// it reached the announcing connection,
// and a TLS end to the far agent carries a data header naming the announced address and port.
// The two are partners and a pair of their own: they outlive the control connection, since the
// client program may close it before it follows the announcement.
#pragma once

#include <cstdint>

#include "agent/channel_header.h"

namespace orv {

class clientaccept;
class relaysocket;

class announced_route {
public:
    // Binds the rendezvous (not registered yet). On failure `ok()` is false and the message has
    // been reported: `failure` when it cannot be allocated, "unable to bind" otherwise.
    announced_route(relaysocket& announcer, const char* rendezvous_type, const char* failure);
    // Drops the rendezvous unless open() has handed it to the selector.
    ~announced_route();
    announced_route(const announced_route&) = delete;
    announced_route& operator=(const announced_route&) = delete;

    bool ok() const { return rendezvous_ != nullptr; }
    // The rendezvous port, host order.
    uint16_t port() const;

    // Creates the TLS end with `header`, registers both ends, pairs them and logs the pair's
    // connect line. False after "system error. unable to create clientfwd socket" (the
    // rendezvous is dropped then).
    bool open(const channel_header& header);

private:
    relaysocket& announcer_;
    clientaccept* rendezvous_ = nullptr;
};

}  // namespace orv
