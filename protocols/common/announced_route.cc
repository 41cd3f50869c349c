#include "protocols/common/announced_route.h"

#include <new>

#include "agent/connection_data.h"
#include "agent/pair.h"
#include "net/inetaddr.h"
#include "net/selector.h"
#include "protocols/common/clientaccept.h"
#include "protocols/common/clientfwd.h"

namespace orv {

announced_route::announced_route(relaysocket& announcer, const char* rendezvous_type, const char* failure)
    : announcer_(announcer) {
    // The client program reaches the rendezvous where it reached the announcing connection.
    std::unique_ptr<inetaddr> local = announcer.local_address();
    if (!local) {
        report(announcer, "unable to bind\n");
        return;
    }
    if (local->family() != AF_INET) {
        // The channel header and the rewritten response name IPv4 rendezvous only.
        report(announcer, "announced data connections need an IPv4 control connection\n");
        return;
    }
    // The header is never sent from the rendezvous; the TLS end carries the data header.
    auto* r = new (std::nothrow)
        clientaccept(announcer, announcer.data(), control_channel_header(), local->addr_net(), rendezvous_type);
    if (!r) report(announcer, "%s", failure);
    if (!r || !r->ok() || announcer.selectors().empty()) {
        delete r;
        return;
    }
    rendezvous_ = r;
}

announced_route::~announced_route() { delete rendezvous_; }

uint16_t announced_route::port() const { return rendezvous_ ? rendezvous_->port() : 0; }

bool announced_route::open(const channel_header& header) {
    auto* fwd = new (std::nothrow) clientfwd(announcer_, announcer_, header, "SSL connection");
    if (!fwd || !fwd->ok()) {
        report(announcer_, "system error. unable to create clientfwd socket\n");
        delete fwd;
        return false;
    }
    clientaccept* r = rendezvous_;
    rendezvous_ = nullptr;  // the selector's from here on
    open_relayed(*announcer_.selectors().front(), r, fwd);
    return true;
}

}  // namespace orv
