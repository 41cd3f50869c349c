// client_acceptor: orvclient's listening socket. Every accepted connection becomes a relayed
// connection: the plain end the session's login calls for (a plain relay, or the FTP, Progress
// or Oracle control end), a stdssl end to the far agent that sends the channel header first
// when the login sends one, the partner link and a pair.
#pragma once

#include "agent/main_acceptor.h"

namespace orv {

struct agent_program;

class client_acceptor : public main_acceptor {
public:
    client_acceptor(const reporter& parent, connection_data* data);

protected:
    void dispatch(int handle, const login_kind& login, const std::string& source) override;
};

// orvclient's description for the shared start-up.
const agent_program& client_program();

}  // namespace orv
