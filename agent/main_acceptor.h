// main_acceptor: the session's listening socket. Every accepted connection becomes a relayed
// connection: a plain-side socket chosen by the session's `login`, a stdssl socket to the far
// agent, the partner link and a pair, all registered with the acceptor's own selector.
//
// With `multicall` 0 the acceptor withdraws after one connection, so the pass ends when that
// connection has ended and the next pass reads the configuration again.
#pragma once

#include "net/socket.h"

namespace orv {

class connection_data;

class main_acceptor : public socket {
public:
    static constexpr int backlog = 10;

    main_acceptor(const reporter& parent, connection_data* data);
    ~main_acceptor() override;

    // `*slot` is set to null when the acceptor is destroyed, by whoever destroys it.
    void watch(main_acceptor** slot) { watcher_ = slot; }

    int handle_events(int readable, int writable, int error) override;
    int wants_events(int* read, int* write, int* error) override;

private:
    void dispatch(int handle);
    void build_pair(int handle, const char* failure_message, bool send_header);

    connection_data* data_;
    main_acceptor** watcher_ = nullptr;
};

}  // namespace orv
