// server_acceptor: orvserver's listening socket on the session's bindaddr and port. Every
// accepted connection becomes a client_end (TLS in the server role) in a pair of its own; the
// client_end opens the service end once it knows what the connection is for. Listening, the
// backlog, the pause when descriptors run out and `multicall` are main_acceptor's.
#pragma once

#include <memory>
#include <string>

#include "agent/main_acceptor.h"

namespace orv {

struct server_context;

class server_acceptor : public main_acceptor {
public:
    server_acceptor(const reporter& parent, connection_data* data);
    ~server_acceptor() override;

    // The announcements made before a reload are honoured after it.
    void adopt(connection_data* data) override;
    void take_over(main_acceptor& old) override;

protected:
    void dispatch(int handle, const login_kind& login, const std::string& source) override;

private:
    std::shared_ptr<server_context> context_;
};

}  // namespace orv
