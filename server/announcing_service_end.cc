#include "server/announcing_service_end.h"

#include <arpa/inet.h>

#include "net/inetaddr.h"
#include "protocols/oracle/tns_redirect.h"
#include "protocols/progress/progress_message.h"
#include "server/server_context.h"

namespace orv {

announcing_service_end::announcing_service_end(const reporter& parent, connection_data& data, const std::string& host,
                                               uint16_t port_host, login_protocol protocol,
                                               std::shared_ptr<server_context> context,
                                               std::shared_ptr<control_link> control)
    : reporter(parent), relaysocket(parent, data, control_channel_header(), nullptr,
                                    protocol == login_protocol::progress ? "progress broker" : "oracle listener"),
      protocol_(protocol), context_(std::move(context)), control_(std::move(control)), fresh_(parent) {
    if (ok()) start_connect_to(host, port_host, false);
}

int announcing_service_end::handle_events(int readable, int writable, int error) {
    int result = relaysocket::handle_events(readable, writable, error);
    if (result != 0) return result;
    return relay(readable, writable, error);
}

rwbuf* announcing_service_end::read_target() {
    if (first_ == first_response::judged || !partner()) return relaysocket::read_target();
    return &fresh_;
}

int announcing_service_end::on_input() {
    relaysocket* to = partner();
    if (!fresh_.empty() && to) {
        seen_.append(fresh_.bytes(), static_cast<size_t>(fresh_.length()));
        // Recorded before the response's last bytes leave, so the announcement is in place
        // before the client's agent can act on it.
        if (judge() || input_done()) {
            first_ = first_response::judged;
            seen_.clear();
            seen_.shrink_to_fit();
        }
        to->partner_input() += fresh_;
        fresh_.consume(fresh_.length());
    }
    return relaysocket::on_input();
}

bool announcing_service_end::judge() {
    uint32_t address = 0;
    uint16_t port = 0;
    std::string host;
    if (protocol_ == login_protocol::progress) {
        progress::scan_result r = progress::scan_first_message(seen_);
        if (r.state == progress::scan_state::wait) return false;
        if (r.state != progress::scan_state::announcement) return true;
        port = r.port;  // on the broker's host: address 0
    } else {
        tns::redirect_scan r = tns::scan_redirect(seen_);
        // The client's agent scans whatever it holds when the first packet is complete, which
        // may include more than that packet: the scan goes on over the first packet's worth of
        // bytes so that a redirect it may find is recorded too.
        if (r.state == tns::scan_state::wait) return false;
        if (r.state == tns::scan_state::no_redirect) return seen_.size() > tns::max_packet;
        if (r.state == tns::scan_state::malformed) return true;
        address = ntohl(r.address_net);
        port = r.port;
        // A name reads as 255.255.255.255; the name itself is what can be reached.
        if (r.address_net == INADDR_NONE) host = r.host_text;
    }
    if (context_->registry.announce_lasting(control_->control, address, port, std::move(host), now_ms(),
                                            context_->lifetime_ms))
        count_announcement(protocol_, metrics::announcement_outcome::made);
    return true;
}

}  // namespace orv
