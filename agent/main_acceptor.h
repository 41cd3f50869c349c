// main_acceptor: the session's listening socket on `bindaddr` (127.0.0.1 when empty) and `port`.
// It accepts, admits a connection only under the caps on pending connections (pending_peers),
// sheds the oldest pending connection of the biggest source when descriptors run short, pauses
// while the process is out of them anyway, and hands every admitted handle to its program's
// dispatch, which makes the connection's ends; it knows nothing about logins.
// The client agent's is client_acceptor, orvserver's server_acceptor.
//
// With `multicall` 0 the acceptor withdraws after one connection, so the pass ends when that
// connection has ended and the next pass reads the configuration again.
#pragma once

#include <memory>
#include <string>

#include "agent/pending_peers.h"
#include "net/socket.h"

namespace orv {

class connection_data;
struct login_kind;

// The system's largest listen backlog: bursts of clients must not wait for SYN retries.
int listen_backlog();

class main_acceptor : public socket {
public:
    // How long accepting pauses when the process is out of descriptors.
    static constexpr int pause_ms = 100;

    main_acceptor(const reporter& parent, connection_data* data);
    ~main_acceptor() override;

    // `*slot` is set to null when the acceptor is destroyed, by whoever destroys it (null: none).
    void watch(main_acceptor** slot) { watcher_ = slot; }
    // A reload: connections accepted from now on are made from `data` (which outlives them, held
    // by their ends); the listening socket stays.
    virtual void adopt(connection_data* data);
    // A reload that moved the listener: this new acceptor takes over what `old` keeps for the
    // connections it accepted (their pending_peers; orvserver's announcements).
    virtual void take_over(main_acceptor& old);

    int handle_events(int readable, int writable, int error) override;
    int wants_events(int* read, int* write, int* error) override;
    // True while accepting pauses for want of descriptors.
    bool paused() const { return state_ == acceptor_state::paused; }

protected:
    // Turns one accepted handle of a known login, from `source` (its address as the log names
    // it), into a relayed connection, owning the handle from then on (closing it when that
    // fails, after the message). The end that faces the peer enters pending() until it settles.
    virtual void dispatch(int handle, const login_kind& login, const std::string& source) = 0;
    connection_data* data() const { return data_; }
    pending_peers& pending() { return *pending_; }

private:
    enum class acceptor_state {
        accepting,  // waiting for clients
        paused,     // out of descriptors: not asking for clients until resume_ms_
        retrying    // the pause is over; failures stay quiet until an accept succeeds
    };

    // After a failed accept: reports it unless quiet, pauses when descriptors ran out; 1.
    int accept_failed(int error, bool quiet);
    // Refuses a handle of an unknown login (a relay would pass a client's channel header on to
    // the service as data) or past a cap on pending connections, else dispatches it.
    void take(int handle);
    // True when the process, with `handle` just accepted, eats into the reserve of descriptors
    // kept for the connections' other ends and for clients of other sources.
    bool descriptors_short(int handle) const;
    void start_ticking();

    connection_data* data_;
    main_acceptor** watcher_ = nullptr;
    acceptor_state state_ = acceptor_state::accepting;
    int64_t resume_ms_ = 0;
    std::shared_ptr<pending_peers> pending_;  // shared with its ticker and a successor acceptor
    bool ticking_ = false;
};

}  // namespace orv
