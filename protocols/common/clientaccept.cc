#include "protocols/common/clientaccept.h"

#include <cstring>
#include <new>

#include <netinet/in.h>
#include <unistd.h>

#include "agent/connection_data.h"
#include "agent/pair.h"
#include "net/inetaddr.h"
#include "net/selector.h"
#include "protocols/common/clientdata.h"

namespace orv {

clientaccept::clientaccept(const reporter& parent, connection_data& data, const channel_header& header,
                           uint32_t local_addr_net, const char* type)
    : clientaccept(parent, data, header, inetaddr(parent, local_addr_net, 0), type) {}

clientaccept::clientaccept(const reporter& parent, connection_data& data, const channel_header& header,
                           const inetaddr& at, const char* type)
    : reporter(parent), relaysocket(parent, data, header, nullptr, "clientaccept") {
    set_type(type);
    if (!ok()) return;
    // Any free port on that address.
    sockaddr_storage any{};
    std::memcpy(&any, at.sockaddr_ptr(), static_cast<size_t>(at.length()));
    if (any.ss_family == AF_INET6) reinterpret_cast<sockaddr_in6*>(&any)->sin6_port = 0;
    else reinterpret_cast<sockaddr_in*>(&any)->sin_port = 0;
    inetaddr here(*this, reinterpret_cast<const sockaddr*>(&any));
    if (here.family() == AF_INET6 && reopen(AF_INET6) != 0) {
        clear_ok();
        return;
    }
    std::unique_ptr<inetaddr> local;
    if (bind(&here) != 0 || listen(listen_backlog) != 0 || !(local = local_address())) {
        report(*this, "unable to bind\n");
        clear_ok();
        return;
    }
    port_ = ntohs(local->port_net());
    // Replaces the connect bound of the base: the rendezvous waits for the client program
    // instead, for the session's accept_timeout (seconds, when above 0).
    enter(relay_state::listening);
}

int clientaccept::wants_events(int* read, int* write, int* error) {
    *write = 0;
    *read = state() == relay_state::listening ? 1 : 0;
    *error = *read;
    return *read;
}

int clientaccept::handle_events(int readable, int, int error) {
    if (state() == relay_state::closed) return -1;
    if (readable || error) return accept_one();
    if (deadline_passed()) {
        report(*this, "client accept timeout\n");
        return -1;
    }
    return 1;
}

clientdata* clientaccept::accepted_end(int handle) {
    auto* end = new (std::nothrow)
        clientdata(*this, data(), handle, header(), control() ? "FTP data connection" : "data connection");
    if (!end) ::close(handle);
    return end;
}

int clientaccept::accept_one() {
    enter(relay_state::closed);
    int handle = accept(true);
    if (handle < 0) {
        report(*this, "error during accept\n");
        return -1;
    }
    clientdata* end = accepted_end(handle);
    if (!end || !end->ok() || selectors().empty()) {
        report(*this, "system error. unable to create clientdata socket\n");
        delete end;
        return -1;
    }
    relaysocket* fwd = partner();
    if (fwd) make_partners(end, fwd);
    // What the far agent sent before the FTP client came.
    if (!partner_input().empty()) {
        end->partner_input() += partner_input();
        partner_input().consume(partner_input().length());
    }
    if (class pair* p = get_pair()) {
        p->attach_plain(end);
        p->log_connected();
    }
    if (data_connection_owner* owner = control()) {
        owner->member_replaced(this, end);
        end->set_control(owner);
        set_control(nullptr);
    }
    selectors().front()->add(end);
    if (fwd) {
        fwd->request_update();  // it may read again into the new end's buffer
        end->push();
    } else {
        end->drain_check();  // the far agent's side has gone already: deliver and end
    }
    return -1;
}

}  // namespace orv
