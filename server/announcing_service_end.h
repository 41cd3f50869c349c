// announcing_service_end: orvserver's end toward a Progress broker or an Oracle listener on a
// control connection. It relays the service's bytes unchanged and at once (the client's agent
// rewrites them), and reads a copy of the first response: a broker's port message or a
// listener's redirect is recorded as an announcement for the client that receives it, so that
// the data connection the client's agent then opens is honoured. Nothing after the first
// response (at most a TNS packet's worth of bytes) is examined.
#pragma once

#include <memory>
#include <string>

#include "agent/login.h"
#include "agent/relaysocket.h"
#include "net/rwbuf.h"

namespace orv {

struct control_link;
struct server_context;

class announcing_service_end : public relaysocket {
public:
    // Connects to `host`:`port_host`; reports and clears the ok flag on failure. `protocol` is
    // progress or oracle.
    announcing_service_end(const reporter& parent, connection_data& data, const std::string& host, uint16_t port_host,
                           login_protocol protocol, std::shared_ptr<server_context> context,
                           std::shared_ptr<control_link> control);

    int handle_events(int readable, int writable, int error) override;

protected:
    rwbuf* read_target() override;
    int on_input() override;

private:
    enum class first_response {
        pending,  // copies of the service's bytes are gathered until the response is complete
        judged    // relaying only
    };

    // Records the announcement the gathered response holds, if any; false while more may still
    // change that.
    bool judge();

    login_protocol protocol_;
    std::shared_ptr<server_context> context_;
    std::shared_ptr<control_link> control_;
    first_response first_ = first_response::pending;
    rwbuf fresh_;       // while pending: the bytes just read, before they go to the partner
    std::string seen_;  // the first response so far (at most one TNS packet and one read)
};

}  // namespace orv
