// clientaccept: the rendezvous of a passive FTP data connection, or of a connection a Progress
// broker or an Oracle listener announced, on the client agent. It listens on the address the
// client program reached this agent on (never on every address: a session bound to 127.0.0.1
// opens nothing to the network), at a port the system chooses, and the client program is told
// to connect there (227 or 229 reply, rewritten port message or redirect). The first connection
// it accepts takes its place: partner (the clientfwd), pair slot and, for FTP, membership in the
// control connection's data connection. It accepts once only.
//
// It sits in the pair's plain slot until then, which is why it is a relaysocket (in the state
// `listening`, with the accept time-out as its deadline); it never relays.
// Bytes the far agent sends before the FTP client connects wait in its partner-input buffer and
// go to the accepted connection.
#pragma once

#include <cstdint>

#include "agent/relaysocket.h"
#include "protocols/common/data_control.h"

namespace orv {

class clientdata;

class clientaccept : public relaysocket, public control_member {
public:
    static constexpr int listen_backlog = 10;

    // Binds to `local_addr_net` (network order: the address on which the client program
    // reached this agent, so the rendezvous is reachable exactly where the control connection
    // is) at a port the system chooses, and listens; "unable to bind" and a cleared ok flag on
    // failure. The session's accept_timeout (seconds, when above 0) bounds the wait for the
    // client program. `type` names it in the connection log.
    clientaccept(const reporter& parent, connection_data& data, const channel_header& header, uint32_t local_addr_net,
                 const char* type = "FTP client rendezvous");
    // The same on the address of `local` (IPv4 or IPv6; its port is ignored).
    clientaccept(const reporter& parent, connection_data& data, const channel_header& header, const inetaddr& local,
                 const char* type = "FTP client rendezvous");
    // The listening port (host order), 0 before a successful bind.
    uint16_t port() const { return port_; }
    // With a control connection (set_control) the accepted connection joins it as its FTP data
    // connection; without one (Progress, Oracle) it is a plain "data connection".

    // -1 once the one accept attempt is over (the selector then destroys the rendezvous), on
    // the accept timeout, or when it has been closed; 1 while it still waits.
    int handle_events(int readable, int writable, int error) override;
    int wants_events(int* read, int* write, int* error) override;
    // (The base's drain_check fits: when the partner, the clientfwd, goes, the rendezvous closes
    // unless the far agent's bytes wait for the accepted connection.)

private:
    // Accepts one connection and hands everything over to it; always -1 (done).
    int accept_one();
    // The end over an accepted handle (null when it cannot be made; the handle is closed then).
    clientdata* accepted_end(int handle);

    uint16_t port_ = 0;
};

}  // namespace orv
