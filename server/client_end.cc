#include "server/client_end.h"

#include <algorithm>
#include <new>
#include <string_view>

#include "agent/channel_header.h"
#include "agent/connection_data.h"
#include "agent/pair.h"
#include "agent/partner_check.h"
#include "agent/simpledata.h"
#include "net/inetaddr.h"
#include "net/selector.h"
#include "protocols/ftp/ftp_text.h"
#include "server/announcing_service_end.h"
#include "server/ftp_reply_end.h"
#include "server/header_decision.h"
#include "server/port_listener.h"
#include "server/server_context.h"

namespace orv {

namespace {

uint16_t service_port(const session_record& s) { return inetaddr::port_number(s.serverport).value_or(0); }

std::string service_host(const session_record& s) { return s.server ? s.server : ""; }

}  // namespace

client_end::client_end(const reporter& parent, connection_data& data, int handle, const login_kind& login,
                       std::shared_ptr<server_context> context)
    : reporter(parent), relaysocket(parent, data, handle, control_channel_header(), data.ssl_context(), "client"),
      login_(login), context_(std::move(context)), held_(parent) {}

client_end::~client_end() {
    if (waiting_token_) {
        auto it = context_->listeners.find(waiting_token_);
        if (it != context_->listeners.end()) it->second->forget(this);
    }
    // The control connection is no longer live: what it announced serves nothing any more.
    if (control_) context_->registry.close_control(control_->control);
}

int client_end::handle_events(int readable, int writable, int error) {
    if (abandoned_) {
        report(*this, "data connection closed: %s\n", abandoned_);
        return -1;
    }
    int result = relaysocket::handle_events(readable, writable, error);
    if (result != 0) return result;
    return relay(readable, writable, error);
}

void client_end::setup_bound_passed() {
    report(*this, "connection from %s closed before its channel header: timed out\n", peer_address_text().c_str());
}

void client_end::abandon(const char* why) {
    waiting_token_ = 0;
    abandoned_ = why;
    set_deadline(now_ms());  // handle_events runs next cycle and ends the end
}

int client_end::established() {
    peer_name_text_ = peer_name();
    cipher_text_ = cipher_name();
    identity_ = client_identity(peer_name_text_, peer_address_text());
    const session_record& s = data().session();
    // Without client authentication there is no subject the partner list could judge.
    if (!s.noclientauth && check_partner(data().partners(), peer_name_text_, mapped_name_) != 0) {
        report(*this, "access denied to %s by partner list\n", peer_name_text_.c_str());
        count_failure(metrics::failure::partner_refused);
        return -1;
    }
    if (login_.sends_header) {
        // The header belongs to the set-up: a client that sends part of it is not held longer.
        stage_ = client_stage::reading_header;
        hold_setup_bound();
        return 0;
    }
    release_pending();  // the client has proved itself: certificate and partner list
    // The connect line waits for the service end: it names the service's address.
    return open_service(service_host(s), service_port(s), login_protocol::plain) ? 0 : -1;
}

rwbuf* client_end::read_target() {
    switch (stage_) {
        case client_stage::relaying: return relaysocket::read_target();
        default: return &held_;
    }
}

int client_end::on_input() {
    switch (stage_) {
        case client_stage::reading_header: return take_header();
        case client_stage::ftp_control: return ftp_commands();
        case client_stage::relaying: return relaysocket::on_input();
        default: return 0;  // held until the partner exists
    }
}

int client_end::take_header() {
    if (held_.length() < static_cast<int>(sizeof(channel_header))) {
        if (!input_done()) return 0;
        report(*this, "connection from %s closed before its channel header\n", peer_address_text().c_str());
        return -1;
    }
    release_setup_bound();
    release_pending();  // the client has proved itself: certificate, partner list, header
    channel_header h;
    std::copy_n(held_.bytes(), h.size(), h.begin());
    held_.consume(static_cast<int>(h.size()));
    const session_record& s = data().session();
    header_decision d = decide_header(h, identity_, peer_name_text_, s.server, context_->registry, now_ms());
    // A data header (not a control one) asked for an announced connection.
    if (d.action != header_action::open_control && h[0] == 0) {
        count_announcement(login_.protocol, d.action == header_action::refuse ? metrics::announcement_outcome::refused
                                                                              : metrics::announcement_outcome::honoured);
    }
    switch (d.action) {
        case header_action::refuse:
            report(*this, "%s\n", d.reason.c_str());
            count_failure(metrics::failure::unannounced);
            return -1;
        case header_action::open_control: {
            control_ = std::make_shared<control_link>();
            control_->control = context_->registry.open_control(identity_);
            if (!open_service(service_host(s), service_port(s), login_.protocol)) return -1;
            if (login_.protocol == login_protocol::ftp) {
                stage_ = client_stage::ftp_control;
                return ftp_commands();
            }
            return pass_held_bytes();
        }
        case header_action::connect_to:
            if (!open_service(d.host, d.port, login_protocol::plain)) return -1;
            return pass_held_bytes();
        case header_action::join_listener: {
            auto it = context_->listeners.find(d.token);
            if (it == context_->listeners.end()) {
                report(*this, "refused data connection from %s: %s its listener has closed\n",
                       peer_name_text_.empty() ? identity_.c_str() : peer_name_text_.c_str(),
                       header_target_text(h).c_str());
                count_failure(metrics::failure::unannounced);
                return -1;
            }
            stage_ = client_stage::awaiting_join;
            waiting_token_ = d.token;
            it->second->offer(this);  // may join at once
            return 0;
        }
    }
    return -1;
}

bool client_end::open_service(const std::string& host, uint16_t port_host, login_protocol watch) {
    relaysocket* service = nullptr;
    switch (watch) {
        case login_protocol::plain:
            service = new (std::nothrow) simpledata(*this, data(), host.c_str(), htons(port_host), header());
            break;
        case login_protocol::ftp:
            service = new (std::nothrow) ftp_reply_end(*this, data(), host, port_host, context_, control_);
            break;
        case login_protocol::progress:
        case login_protocol::oracle:
            service = new (std::nothrow) announcing_service_end(*this, data(), host, port_host, watch, context_, control_);
            break;
    }
    if (!service || !service->ok() || selectors().empty()) {
        report(*this, "unable to connect to %s:%u\n", host.c_str(), static_cast<unsigned>(port_host));
        count_failure(metrics::failure::connect);
        delete service;
        return false;
    }
    attach_service(service);
    return true;
}

void client_end::attach_service(relaysocket* service) {
    make_partners(this, service);
    selectors().front()->add(service);
    // The log's "server" side: its address and the bytes sent to the service.
    if (get_pair()) get_pair()->attach_ssl(service);
    if (stage_ != client_stage::ftp_control) stage_ = client_stage::relaying;
}

int client_end::pass_held_bytes() {
    stage_ = client_stage::relaying;
    if (!held_.empty() && partner()) {
        partner()->partner_input() += held_;
        held_.consume(held_.length());
    }
    if (partner()) partner()->push();
    return 0;
}

void client_end::join(int handle) {
    waiting_token_ = 0;
    relaysocket* service = new (std::nothrow) simpledata(*this, data(), handle, header());
    if (!service || !service->ok() || selectors().empty()) {
        report(*this, "unable to relay the FTP server's data connection\n");
        delete service;
        abandon("the FTP server's data connection could not be relayed");
        return;
    }
    attach_service(service);
    // An accepted end never runs a connect step: the complete connect line is written here.
    notify_connected();
    pass_held_bytes();
    push();
}

// ---- FTP control lines ------------------------------------------------------------------------

std::string client_end::rewrite_active(uint32_t address, uint16_t port, bool eprt) {
    // The FTP server reaches us by the address our connection to it comes from.
    std::unique_ptr<inetaddr> local = partner() ? partner()->local_address() : nullptr;
    std::unique_ptr<inetaddr> server = partner() ? partner()->peer_address() : nullptr;
    if (!local || !server || selectors().empty()) return {};
    auto* listener = new (std::nothrow) port_listener(*this, context_, local->addr_net(), server->addr_net());
    if (!listener || !listener->ok()) {
        delete listener;
        return {};
    }
    selectors().front()->add(listener);
    if (context_->registry.announce(control_->control, data_mode::active, address, port, now_ms(),
                                    context_->lifetime_ms, listener->token()))
        count_announcement(login_protocol::ftp, metrics::announcement_outcome::made);
    uint32_t ours = ntohl(local->addr_net());
    return eprt ? ftp::make_eprt_command(ours, listener->port()) : ftp::make_port_command(ours, listener->port());
}

std::string client_end::ftp_command(std::string_view line, bool& to_client) {
    to_client = false;
    ftp::command_line c = ftp::parse_command(line);
    if (c.verb == ftp::command_verb::pasv || c.verb == ftp::command_verb::epsv) {
        ++control_->passive_requests;
        return std::string(line);
    }
    if (c.verb != ftp::command_verb::port && c.verb != ftp::command_verb::eprt) return std::string(line);
    to_client = true;
    // Never passed on unchanged: the FTP server would connect into its own network for the client.
    if (!c.active || (c.active->protocol != 1 && c.active->protocol != 2))
        return "501 Syntax error in parameters or arguments.\r\n";
    // An IPv6 client (EPRT |2|) is announced as 0.0.0.0 and its port: the channel header of its
    // data connection names it so, the header having room for IPv4 only.
    uint32_t address = c.active->protocol == 1 ? c.active->address : 0;
    std::string rewritten = rewrite_active(address, c.active->port, c.verb == ftp::command_verb::eprt);
    if (rewritten.empty()) return "425 Can't open data connection.\r\n";
    to_client = false;
    return rewritten;
}

int client_end::ftp_commands() {
    relaysocket* to = partner();
    bool answered = false;
    for (;;) {
        std::string_view held(held_.bytes(), static_cast<size_t>(held_.length()));
        ftp::line_take t = ftp::next_line(held, input_done());
        if (t.status == ftp::line_status::need_more) break;
        if (t.status == ftp::line_status::too_long) {
            report(*this, "FTP control line from %s longer than %d bytes, control connection closed\n",
                   peer_address_text().c_str(), static_cast<int>(ftp::max_line));
            return -1;
        }
        if (!to) break;
        std::string_view line = held.substr(0, t.length);
        if (t.status == ftp::line_status::last_bytes) {
            // The client's last, unfinished line: passed on as it is.
            to->partner_input().append(line.data(), static_cast<int>(line.size()));
        } else {
            bool to_client = false;
            std::string out = ftp_command(line, to_client);
            rwbuf& target = to_client ? partner_input() : to->partner_input();
            target.append(out.data(), static_cast<int>(out.size()));
            answered = answered || to_client;
        }
        held_.consume(static_cast<int>(t.length));
    }
    if (to) to->push();
    if (answered) push();
    return 0;
}

}  // namespace orv
