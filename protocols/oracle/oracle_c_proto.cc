#include "protocols/oracle/oracle_c_proto.h"

#include <arpa/inet.h>

#include "net/inetaddr.h"
#include "protocols/common/announced_route.h"
#include "protocols/oracle/tns_redirect.h"

namespace orv {

oracle_c_proto::oracle_c_proto(const reporter& parent, connection_data& data, int handle, const channel_header& header)
    : reporter(parent), announcing_c_proto(parent, data, handle, header, "oracle_c_proto", "oracle") {
    set_type("Oracle client");
}

announcing_c_proto::examination oracle_c_proto::examine(std::string_view held, std::string& rewritten) {
    tns::redirect_scan found = tns::scan_redirect(held);
    switch (found.state) {
        case tns::scan_state::wait: return examination::wait;
        case tns::scan_state::no_redirect: return examination::pass;
        case tns::scan_state::malformed: report(*this, "%s", found.message); return examination::pass;
        case tns::scan_state::redirect: break;
    }
    // The client reaches the rendezvous where it reached us.
    std::unique_ptr<inetaddr> local = local_address();
    if (!local) {
        report(*this, "unable to rewrite tns redirect: no local address\n");
        return examination::failed;
    }
    announced_route route(*this, "Oracle client rendezvous", "system error. unable to create oracle accept socket\n");
    if (!route.ok()) return examination::failed;
    char here[INET_ADDRSTRLEN];
    in_addr a{local->addr_net()};
    if (!inet_ntop(AF_INET, &a, here, sizeof here)) return examination::failed;
    tns::rewrite_result r = tns::rewrite_redirect(held, found, here, route.port());
    if (!r.bytes) {
        report(*this, "%s", r.message);
        return examination::pass;  // the route closes unopened
    }
    if (!route.open(make_channel_header(false, true, ntohl(found.address_net), found.port))) return examination::failed;
    rewritten = std::move(*r.bytes);
    return examination::rewritten;
}

}  // namespace orv
