// main_acceptor: the session's listening socket. Every accepted connection becomes a relayed
// connection: a plain-side socket chosen by the session's `login`, a stdssl socket to the far
// agent, the partner link and a pair, all registered with the acceptor's own selector.
//
// With `multicall` 0 the acceptor withdraws after one connection, so the pass ends when that
// connection has ended and the next pass reads the configuration again.
#pragma once

#include "agent/channel_header.h"
#include "net/socket.h"

namespace orv {

class connection_data;
class relaysocket;

// Makes the plain-side end of a login over an accepted handle (which it owns from then on,
// even when it fails); null when out of memory.
using plain_factory = relaysocket* (*)(const reporter& parent, connection_data& data, int handle,
                                       const channel_header& header);

// The system's largest listen backlog: bursts of clients must not wait for SYN retries.
int listen_backlog();

// True for the login types the agents know (empty included); connections of a session with any
// other login are refused with "configuration error. unknown protocol".
bool login_known(const char* login);

class main_acceptor : public socket {
public:
    // How long accepting pauses when the process is out of descriptors.
    static constexpr int pause_ms = 100;

    main_acceptor(const reporter& parent, connection_data* data);
    ~main_acceptor() override;

    // `*slot` is set to null when the acceptor is destroyed, by whoever destroys it.
    void watch(main_acceptor** slot) { watcher_ = slot; }

    int handle_events(int readable, int writable, int error) override;
    int wants_events(int* read, int* write, int* error) override;

protected:
    // Turns one accepted handle into a relayed connection (owning the handle from then on). The
    // client's builds the pair by the session's `login`; orvserver's acceptor has its own.
    virtual void dispatch(int handle);
    connection_data* data() const { return data_; }

private:
    enum class acceptor_state {
        accepting,  // waiting for clients
        paused,     // out of descriptors: not asking for clients until resume_ms_
        retrying    // the pause is over; failures stay quiet until an accept succeeds
    };

    // After a failed accept: reports it unless quiet, pauses when descriptors ran out; 1.
    int accept_failed(int error, bool quiet);
    void build_pair(int handle, const char* failure_message, bool send_header, plain_factory make_plain);

    connection_data* data_;
    main_acceptor** watcher_ = nullptr;
    acceptor_state state_ = acceptor_state::accepting;
    int64_t resume_ms_ = 0;
};

}  // namespace orv
