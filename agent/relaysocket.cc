#include "agent/relaysocket.h"

#include <algorithm>
#include <ctime>

#include <sys/socket.h>

#include <openssl/err.h>

#include "agent/connection_data.h"
#include "agent/expiry.h"
#include "agent/far_agents.h"
#include "agent/pair.h"
#include "agent/partner_check.h"
#include "net/inetaddr.h"
#include "net/logsink.h"
#include "net/proxysocket.h"
#include "net/resolver.h"

namespace orv {

namespace {

// Socket options every relayed socket gets; false after the message has been written.
bool set_relay_options(socket& s, const connection_data& data) {
    if (s.set_nonblocking(1) != 0 || s.so_oobinline(1) != 0 || s.so_keepalive(1) != 0) {
        report(s, "unable to set socket options\n");
        return false;
    }
    if (data.session().nodelay && s.tcp_nodelay(1) != 0) {
        report(s, "unable to set socket to non-delayed mode\n");
        return false;
    }
    return true;
}

int64_t seconds_ms(int seconds) { return static_cast<int64_t>(seconds) * 1000; }

// Reads per event before others get their turn; a short read ends the round earlier.
constexpr int reads_per_event = 8;
// The most one event reads into the partner's buffer.
constexpr int batch_bytes = 65536;

}  // namespace

relaysocket::relaysocket(const reporter& parent, connection_data& data, int handle, const channel_header& header,
                         const char* kind)
    : reporter(parent), session_hold(data.keep_alive()), sslsocket(parent, nullptr, handle), header_(header), data_(data), partner_input_(parent),
      kind_(kind), last_transfer_ms_(now_ms()) {
    set_type("data connection");
    setup(relay_state::relaying, true);
}

relaysocket::relaysocket(const reporter& parent, connection_data& data, int handle, const channel_header& header,
                         SSL_CTX* ctx, const char* kind)
    : reporter(parent), session_hold(data.keep_alive()), sslsocket(parent, ctx, handle), header_(header), data_(data), partner_input_(parent),
      kind_(kind), last_transfer_ms_(now_ms()) {
    set_type("data connection");
    setup(relay_state::setting_up, true);
    if (!ok()) return;
    int64_t silent_due = now_ms() + seconds_ms(silent_peer_seconds);
    if (silent_due < setup_due_ms_) {
        silent_due_ms_ = silent_due;
        post_deadline();
    }
    if (sslaccept(data_.new_ssl()) == -1) {
        report(*this, "unable to do SSL accept\n");
        clear_ok();
    }
    // The state stays setting_up even when the handshake completed already (a resumed session
    // may): only handle_events moves on, so that established() always runs.
}

relaysocket::relaysocket(const reporter& parent, connection_data& data, const channel_header& header, SSL_CTX* ctx,
                         const char* kind)
    : reporter(parent), session_hold(data.keep_alive()), sslsocket(parent, ctx, AF_INET, SOCK_STREAM, 0), header_(header), data_(data),
      partner_input_(parent), kind_(kind), last_transfer_ms_(now_ms()) {
    set_type("data connection");
    setup(relay_state::setting_up, false);
}

void relaysocket::handle_replaced() {
    sslsocket::handle_replaced();
    if (!set_relay_options(*this, data_)) clear_ok();
}

void relaysocket::setup(relay_state first, bool accepted) {
    if (!ok()) return;
    if (!set_relay_options(*this, data_)) {
        clear_ok();
        return;
    }
    if (accepted) take_peer_address();
    enter(first);
}

relaysocket::~relaysocket() {
    if (resolver* r = data_.name_resolver()) {
        for (uint64_t t : lookup_.ticket) {
            if (t) r->cancel(t);
        }
    }
    if (pair_) pair_->member_gone(this);
    relaysocket* partner = partner_;
    remove_partner(this);
    if (partner) partner->drain_check();
}

void relaysocket::take_peer_address() {
    std::unique_ptr<inetaddr> peer = peer_address();
    peer_address_text_ = peer ? peer->text() : std::string();
}

void relaysocket::set_quiet(bool quiet) {
    if (quiet == this->quiet()) return;
    if (quiet) {
        loud_sink_ = sink();
        set_sink(&discarding_sink());
    } else {
        set_sink(loud_sink_);
        loud_sink_ = nullptr;
    }
    if (pair_) pair_->set_quiet(quiet);
}

void relaysocket::hold_pending(pending_peers& peers, const std::string& source, bool may_quiet) {
    if (!pending_) pending_ = std::make_unique<pending_place>(*this);
    if (peers.enter(pending_.get(), source, may_quiet)) set_quiet(true);
}

void relaysocket::release_pending() {
    if (pending_) pending_->settle();
    set_quiet(false);
}

void relaysocket::pending_place::shed() {
    end_.sslsocket::close();
    end_.socket::close();
    end_.enter(relay_state::closed);
}

void relaysocket::notify_connected() {
    if (pair_) pair_->log_connected();
}

bool relaysocket::start_connect(const inetaddr& target, bool through_proxy) {
    if (!target.is_valid()) {
        report(*this, "invalid address\n");
        clear_ok();
        return false;
    }
    if (target.family() != handle_family() && reopen(target.family()) != 0) {
        clear_ok();
        return false;
    }
    int rc = through_proxy ? connect(&target) : connect_direct(&target);
    if (rc == -1) {
        report(*this, "unable to connect\n");
        clear_ok();
        return false;
    }
    // A connect that completed at once still goes through handle_events, so that established()
    // runs (wants_events asks to be called when the lower layers wait for nothing).
    return true;
}

bool relaysocket::start_connect_to(const std::string& host, uint16_t port, bool through_proxy) {
    if (begin_connect_to(host, port, through_proxy)) return true;
    clear_ok();
    return false;
}

bool relaysocket::begin_connect_to(const std::string& host, uint16_t port, bool through_proxy) {
    named_.host = host;
    named_.port = port;
    named_.through_proxy = through_proxy;
    return begin_lookup(host, connect_step::target_lookup) && (!lookup_ready() || lookup_complete());
}

namespace {

int family_at(int index) { return index == 0 ? AF_INET6 : AF_INET; }

void set_port(sockaddr_storage& a, uint16_t port_net) {
    if (a.ss_family == AF_INET6) reinterpret_cast<sockaddr_in6*>(&a)->sin6_port = port_net;
    else reinterpret_cast<sockaddr_in*>(&a)->sin_port = port_net;
}

// Happy Eyeballs gives the IPv6 answer this long to follow an IPv4 one.
constexpr int resolution_delay_ms = 50;

}  // namespace

bool relaysocket::begin_lookup(const std::string& host, connect_step step) {
    resolver* r = data_.name_resolver();
    for (uint64_t t : lookup_.ticket) {
        if (t && r) r->cancel(t);
    }
    lookup_ = name_lookup{};
    lookup_.host = host;
    named_.step = step;
    // Texts of digits and dots only are addresses, never names.
    bool dotted = !host.empty() && host.find_first_not_of("0123456789.") == std::string::npos;
    if (std::optional<sockaddr_storage> a = resolver::literal(host)) {
        lookup_.done[0] = lookup_.done[1] = true;
        lookup_.found[a->ss_family == AF_INET6 ? 0 : 1].push_back(*a);
        return true;
    }
    if (dotted) {
        report(*this, "hostname \"%s\" unparsable\n", host.c_str());
        return false;
    }
    if (!r) {
        report(*this, "unable to look up %s: %s\n", host.c_str(), "no resolver");
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        if (std::optional<resolver::answer> kept = r->cached(host, family_at(i))) {
            lookup_.done[i] = true;
            lookup_.found[i] = kept->addresses;
            continue;
        }
        lookup_.ticket[i] = r->lookup(host, family_at(i), [this, i](const resolver::answer& got) {
            on_answer(i, got.addresses, got.error);
        });
        if (!lookup_.ticket[i]) {
            report(*this, "unable to look up %s: %s\n", host.c_str(), "no resolver");
            return false;
        }
    }
    if (!lookup_.found[1].empty() && !lookup_.done[0]) lookup_.v4_since_ms = now_ms();
    return true;
}

bool relaysocket::lookup_ready() const {
    if (lookup_over() || !lookup_.found[0].empty()) return true;
    return lookup_.v4_since_ms >= 0 && now_ms() - lookup_.v4_since_ms >= resolution_delay_ms;
}

void relaysocket::on_answer(int index, const std::vector<sockaddr_storage>& addresses, const std::string& error) {
    lookup_.ticket[index] = 0;
    lookup_.done[index] = true;
    lookup_.found[index] = addresses;
    lookup_.error[index] = error;
    bool going_on = true;
    if (named_.step == connect_step::connecting) {
        // A family that answered after the connect began joins the race, if one runs.
        if (connect_race* race = this->race()) {
            for (sockaddr_storage a : addresses) {
                set_port(a, htons(named_.port));
                race->add(a);
            }
            if (lookup_over()) race->finish_list();
            post_deadline();
            request_update();
        }
        return;
    }
    if (index == 1 && !addresses.empty() && !lookup_.done[0]) lookup_.v4_since_ms = now_ms();
    if (lookup_ready()) going_on = lookup_complete();
    else post_deadline();
    if (going_on || retry_setup()) request_update();
    else enter(relay_state::closed);
}

bool relaysocket::lookup_complete() {
    if (lookup_.found[0].empty() && lookup_.found[1].empty()) {
        // The IPv4 reason first, as before IPv6; a family that merely has no address says less.
        const std::string& v4 = lookup_.error[1];
        const std::string& v6 = lookup_.error[0];
        bool v4_plain = v4.empty() || v4 == "no IPv4 address" || v4.find("no data") != std::string::npos;
        const std::string& why = (!v4_plain || v6.empty()) ? v4 : v6;
        report(*this, "unable to look up %s: %s\n", lookup_.host.c_str(), why.empty() ? "no address" : why.c_str());
        return false;
    }
    if (named_.step == connect_step::target_lookup && named_.through_proxy) {
        // The proxy connects for us: one address of the target, IPv4 first as proxies expect.
        named_.target = !lookup_.found[1].empty() ? lookup_.found[1].front() : lookup_.found[0].front();
        set_port(named_.target, htons(named_.port));
        inetaddr target(*this, reinterpret_cast<const sockaddr*>(&named_.target));
        if (proxy_applies(&target)) {
            if (!begin_lookup(proxy_configuration().host, connect_step::proxy_lookup)) return false;
            return !lookup_ready() || lookup_complete();
        }
    }
    return connect_found(named_.step == connect_step::proxy_lookup);
}

bool relaysocket::connect_found(bool via_proxy) {
    uint16_t port_net = via_proxy ? inetaddr::parse_port(proxy_configuration().port.c_str()) : htons(named_.port);
    named_.step = connect_step::connecting;
    std::vector<sockaddr_storage> all = lookup_.found[0];
    all.insert(all.end(), lookup_.found[1].begin(), lookup_.found[1].end());
    for (sockaddr_storage& a : all) set_port(a, port_net);
    inetaddr target(*this, reinterpret_cast<const sockaddr*>(via_proxy ? &named_.target : &all.front()));
    if (all.size() == 1 && lookup_over()) {
        // One address: a plain connect on a socket of its family.
        inetaddr to(*this, reinterpret_cast<const sockaddr*>(&all.front()));
        if (to.family() != handle_family() && reopen(to.family()) != 0) return false;
        int rc = via_proxy ? connect_through(&target, &to) : connect_direct(&to);
        if (rc == -1) report(*this, "unable to connect\n");
        return rc != -1;
    }
    auto race = std::make_unique<connect_race>();
    for (const sockaddr_storage& a : all) race->add(a);
    if (lookup_over()) race->finish_list();
    int rc = via_proxy ? connect_through_any(&target, std::move(race)) : connect_direct_any(std::move(race));
    if (rc == -1) {
        report(*this, "unable to connect\n");
        return false;
    }
    post_deadline();
    return true;
}

void relaysocket::set_attempt_bound(int64_t at_ms) {
    attempt_due_ms_ = at_ms;
    post_deadline();
}

bool relaysocket::restart_setup() {
    if (resolver* r = data_.name_resolver()) {
        for (uint64_t t : lookup_.ticket) {
            if (t) r->cancel(t);
        }
    }
    lookup_ = name_lookup{};
    named_ = named_connect{};
    attempt_due_ms_ = -1;
    peer_address_text_.clear();
    return start_over() == 0;
}

void relaysocket::post_deadline() {
    int64_t due = due_ms_;
    auto sooner = [&due](int64_t at) {
        if (at >= 0 && (due < 0 || at < due)) due = at;
    };
    if (setting_up()) {
        sooner(attempt_due_ms_);
        if (!silent_past_bound()) sooner(silent_due_ms_);
        if (named_.step != connect_step::connecting && lookup_.v4_since_ms >= 0)
            sooner(lookup_.v4_since_ms + resolution_delay_ms);
        sooner(race_due_ms());
    }
    set_deadline(due);
}

// ---- states -----------------------------------------------------------------------------------

void relaysocket::enter(relay_state next) {
    // An end left alone gets a bound of its own for delivering what its partner left.
    if (next == relay_state::setting_up_alone && state_ != next) setup_due_ms_ = -1;
    state_ = next;
    arm_deadline();
}

void relaysocket::follow(relay_event event) {
    relay_state next = state_;
    switch (event) {
        case relay_event::setup_complete:
            if (state_ == relay_state::setting_up) next = relay_state::relaying;
            else if (state_ == relay_state::setting_up_alone) next = relay_state::draining;
            break;
        case relay_event::partner_gone:
            switch (state_) {
                case relay_state::setting_up: next = output_pending() ? relay_state::setting_up_alone : relay_state::closed; break;
                case relay_state::listening: next = output_pending() ? relay_state::listening : relay_state::closed; break;
                case relay_state::relaying:
                case relay_state::input_ended: next = relay_state::draining; break;
                case relay_state::output_ended: next = relay_state::lingering; break;
                default: break;
            }
            break;
        case relay_event::input_over:
            switch (state_) {
                case relay_state::relaying: next = relay_state::input_ended; break;
                case relay_state::output_ended:
                case relay_state::lingering: next = relay_state::closed; break;
                default: break;  // draining goes on writing out
            }
            break;
        case relay_event::output_over:
            switch (state_) {
                case relay_state::relaying: next = relay_state::output_ended; break;
                case relay_state::input_ended: next = relay_state::closed; break;
                case relay_state::draining: next = input_done() ? relay_state::closed : relay_state::lingering; break;
                default: break;
            }
            break;
    }
    if (next != state_) enter(next);
}

bool relaysocket::moving() const {
    switch (state_) {
        case relay_state::relaying:
        case relay_state::input_ended:
        case relay_state::output_ended:
        case relay_state::draining:
        case relay_state::lingering: return true;
        default: return false;
    }
}

bool relaysocket::output_over() const {
    return state_ == relay_state::output_ended || state_ == relay_state::lingering || state_ == relay_state::closed;
}

bool relaysocket::setup_complete() const {
    bool waiting_for_name = named_.step == connect_step::target_lookup || named_.step == connect_step::proxy_lookup;
    return !waiting_for_name && !is_connecting() && tunnel_ready() && !in_handshake() && !(ctx() && !ssl());
}

void relaysocket::report_setup_timeout() {
    if (named_.step == connect_step::target_lookup || named_.step == connect_step::proxy_lookup) {
        report(*this, "unable to look up %s: timed out\n", lookup_.host.c_str());
    } else if (is_connecting()) report_sockerr(*this, "connect failed", ETIMEDOUT);
    else if (!tunnel_ready()) report(*this, "unable to read proxy response. timed out\n");
    else report(*this, "SSL handshake failed: timed out%s\n", handshake_failure_note().c_str());
}

metrics::failure relaysocket::setup_step_failure() const {
    if (named_.step == connect_step::target_lookup || named_.step == connect_step::proxy_lookup || is_connecting())
        return metrics::failure::connect;
    return tunnel_ready() ? metrics::failure::handshake : metrics::failure::proxy;
}

void relaysocket::count_failure(metrics::failure why) {
    if (failure_counted_) return;
    failure_counted_ = true;
    metrics::process().count(why);
}

void relaysocket::count_setup() {
    if (!ssl()) return;
    metrics::registry& m = metrics::process();
    m.count(SSL_session_reused(ssl()) ? metrics::tls_session::resumed : metrics::tls_session::full);
    m.setup.observe_ms(now_ms() - born_ms_);
}

bool relaysocket::silent_past_bound() const {
    if (silent_due_ms_ < 0 || now_ms() < silent_due_ms_) return false;
    // The socket BIO counts every byte the library took from the peer, handshake included; a
    // first record still arriving waits in the kernel's queue.
    return !ssl() || (BIO_number_read(SSL_get_rbio(ssl())) == 0 && queued_input() == 0);
}

void relaysocket::hold_setup_bound() {
    setup_held_ = true;
    arm_deadline();
}

void relaysocket::release_setup_bound() {
    setup_held_ = false;
    arm_deadline();
}

std::string relaysocket::handshake_failure_note() const { return expired_certificate_note(data_, std::time(nullptr)); }

// The deadline that fits the state: the set-up bound; the accept time-out of a rendezvous; the
// linger bound of an end that has written out everything and ended its output (whichever is
// shorter of it and the inactivity timeout); otherwise the session's inactivity timeout, when it
// has one. A draining end still writing to a slow peer is a transfer like any other: only
// inactivity ends it.
void relaysocket::arm_deadline() {
    int idle = data_.session().timeout;
    int64_t now = now_ms();
    int64_t due = -1;
    switch (state_) {
        case relay_state::setting_up:
        case relay_state::setting_up_alone: {
            if (setup_due_ms_ < 0) {
                int bound = idle > 0 ? std::min(idle, setup_timeout_seconds) : setup_timeout_seconds;
                setup_due_ms_ = now + seconds_ms(bound);
            }
            due = setup_due_ms_;
            break;
        }
        case relay_state::listening: {
            int seconds = data_.session().accept_timeout;
            due = seconds > 0 ? now + seconds_ms(seconds) : -1;
            break;
        }
        case relay_state::lingering:
            due = now + seconds_ms(idle > 0 ? std::min(idle, linger_seconds) : linger_seconds);
            break;
        case relay_state::closed: due = now; break;
        default:
            if (idle > 0) {
                int64_t last = last_transfer_ms_;
                if (partner_) last = std::max(last, partner_->last_transfer_ms_);
                due = last + seconds_ms(idle);
            }
            if (setup_held_ && (due < 0 || setup_due_ms_ < due)) due = setup_due_ms_;
            break;
    }
    due_ms_ = due;
    set_deadline(due);
}

int relaysocket::handle_events(int readable, int writable, int error) {
    if (state_ == relay_state::closed) return -1;
    bool due = deadline_passed();
    if (setting_up()) {
        // A failed step ends the end unless another attempt starts (the next far agent); the
        // metrics count the connection's failure, not each attempt's.
        auto failed = [this](metrics::failure why) {
            if (retry_setup()) return 1;
            count_failure(why);
            return -1;
        };
        auto timed_out = [this] {
            count_failure(metrics::failure::setup_timeout);
            return -1;
        };
        bool attempt_over = !due && attempt_due_ms_ >= 0 && now_ms() >= attempt_due_ms_;
        if (named_.step == connect_step::target_lookup || named_.step == connect_step::proxy_lookup) {
            // Waiting for a name: the answers come to on_answer; the deadline may end the
            // resolution delay.
            if (due || attempt_over) {
                report_setup_timeout();
                return due ? timed_out() : failed(metrics::failure::setup_timeout);
            }
            if (lookup_ready() && !lookup_complete()) return failed(metrics::failure::connect);
            post_deadline();
            return 1;
        }
        bool racing = race() != nullptr;
        metrics::failure step = setup_step_failure();
        if (sslsocket::handle_events(readable, writable, error) == -1) return failed(step);
        if (racing) post_deadline();
        if (!setup_complete()) {
            if (attempt_over) {
                report_setup_timeout();
                return failed(metrics::failure::setup_timeout);
            }
            if (silent_past_bound()) {
                report(*this, "SSL handshake failed: nothing received in %d seconds\n", silent_peer_seconds);
                count_failure(metrics::failure::setup_timeout);
                return -1;
            }
            if (silent_due_ms_ >= 0 && now_ms() >= silent_due_ms_) {
                silent_due_ms_ = -1;  // it has spoken: the set-up bound is its limit now
                post_deadline();
            }
            if (!due) return 1;
            report_setup_timeout();
            return timed_out();
        }
        attempt_due_ms_ = -1;
        silent_due_ms_ = -1;
        if (peer_address_text_.empty()) take_peer_address();
        last_transfer_ms_ = now_ms();
        count_setup();
        follow(relay_event::setup_complete);
        if (established() == -1) return -1;
        // What waited for the set-up (the channel header, early client bytes) goes out now.
        push();
        return state_ == relay_state::closed ? -1 : 0;
    }
    if (setup_held_ && now_ms() >= setup_due_ms_) {
        setup_bound_passed();
        count_failure(metrics::failure::setup_timeout);
        return -1;
    }
    // A deadline may come with readiness in the same call; it is spent either way.
    if (due && on_deadline() == -1) return -1;
    return 0;
}

int relaysocket::on_deadline() {
    if (state_ == relay_state::lingering) return -1;  // the peer did not end its stream in time; nothing of ours is in flight
    int idle = data_.session().timeout;
    if (idle <= 0) return 0;
    int64_t last = last_transfer_ms_;
    if (partner_) last = std::max(last, partner_->last_transfer_ms_);
    if (now_ms() - last < seconds_ms(idle)) {
        arm_deadline();
        return 0;
    }
    report(*this, "INF connection inactive for %d seconds, closed\n", idle);
    count_failure(metrics::failure::inactivity_timeout);
    return -1;
}

rwbuf* relaysocket::read_target() { return partner_ ? &partner_->partner_input_ : nullptr; }

int relaysocket::on_input() {
    if (partner_) partner_->push();
    return 0;
}

int relaysocket::on_output() { return 0; }

rwbuf& relaysocket::output() { return partner_input_; }

bool relaysocket::output_pending() { return !partner_input_.empty(); }

int relaysocket::established() {
    notify_connected();
    return 0;
}

int relaysocket::drain_check() {
    follow(relay_event::partner_gone);
    switch (state_) {
        case relay_state::closed: return 1;
        case relay_state::setting_up_alone:
        case relay_state::listening: return 0;
        default: push(); return output_pending() ? 0 : 1;
    }
}

bool relaysocket::read_wanted() {
    switch (state_) {
        case relay_state::relaying:
        case relay_state::output_ended: {
            const rwbuf* target = read_target();
            return target && target->length() < backlog_limit;
        }
        case relay_state::draining:
        case relay_state::lingering: return !input_done();  // read and drop until the peer's end
        default: return false;
    }
}

int relaysocket::wants_events(int* read, int* write, int* error) {
    if (setting_up() && (named_.step == connect_step::target_lookup || named_.step == connect_step::proxy_lookup)) {
        *read = *write = *error = 0;  // the deadline is all it waits on
        return 0;
    }
    if (setting_up()) {
        if (sslsocket::wants_events(read, write, error) != 0) return 1;
        // The lower layers wait for nothing more: the set-up completed inside a call no event of
        // ours followed (a handshake finished with records read ahead, say). Ask for the
        // writable handle, which comes at once, so handle_events notices and goes on.
        *read = 0;
        *write = *error = 1;
        return 1;
    }
    *read = *write = *error = 0;
    if (!moving()) return 0;
    sslsocket::wants_events(read, write, error);  // what the library last waited for
    bool library_wants_write = *write != 0;
    *read = read_wanted() ? 1 : 0;
    *write = (!output_over() && (output_pending() || library_wants_write)) ? 1 : 0;
    *error = 1;
    return 1;
}

void relaysocket::report_read_failure() {
    if (renegotiation_refused()) {
        // Whatever alert the peer sent after our refusal answers it: say what happened.
        ERR_clear_error();
        report(*this, "connection from %s closed: it asked to renegotiate TLS, which is refused\n",
               peer_address_text().c_str());
        count_failure(metrics::failure::handshake);
        return;
    }
    unsigned long last = ERR_peek_last_error();
    if (ssl() && bytes_read() == 0 && ERR_GET_LIB(last) == ERR_LIB_SSL) {
        // An alert before any application data: the far agent refused what the handshake
        // gave it (TLS 1.3 servers judge the client certificate after our handshake returns).
        const char* reason = ERR_reason_error_string(last);
        report(*this, "SSL handshake failed: %s%s\n", reason ? reason : "alert received",
               handshake_failure_note().c_str());
        count_failure(metrics::failure::handshake);
        return;
    }
    // A peer that closes with nothing left for it is an ordinary end, not a failure.
    if (output_pending())
        report(*this, "connection broken. can't read from %s socket\n", read_kind_ ? read_kind_ : kind_);
}

// A far agent that refuses our certificate after a TLS 1.3 handshake sends its alert and closes;
// our next write then fails. Read the alert first so the log says why.
bool relaysocket::explain_refusal() {
    if (!ssl() || bytes_read() != 0 || input_done()) return false;
    char probe[512];
    if (read(probe, sizeof probe) >= 0 || input_state() != input_end::failed) return false;
    unsigned long last = ERR_peek_last_error();
    if (ERR_GET_LIB(last) != ERR_LIB_SSL) return false;
    report_read_failure();
    return true;
}

int relaysocket::read_step() {
    bool arrived = false;
    for (int round = 0; round < reads_per_event && (round == 0 ? read_wanted() : batch_room()); ++round) {
        int n;
        if (discarding()) {
            char discard[max_read];
            n = read(discard, sizeof discard);
        } else {
            n = read_into(read_target(), max_read);
        }
        if (n == 0) break;
        if (n < 0) {
            if (input_state() != input_end::orderly) {
                report_read_failure();
                return -1;
            }
            break;  // the peer's end of stream: the partner ends its output once it has written out
        }
        last_transfer_ms_ = now_ms();
        arrived = true;
        if (n < max_read && !has_buffered_input()) break;
    }
    bool over = input_done();
    // One hand-over per event: the partner then writes what arrived in as few calls as it can.
    if ((arrived || over) && !discarding() && on_input() == -1) return -1;
    if (over) follow(relay_event::input_over);
    return 0;
}

// Within one event an end goes on reading (decrypted records the library holds, a large plain
// read) until the batch is full; the back-pressure limit only decides whether it starts.
bool relaysocket::batch_room() {
    if (discarding()) return !input_done();
    rwbuf* target = read_target();
    return target && !input_done() && target->length() < batch_bytes;
}

int relaysocket::flush() {
    if (!moving() || output_over()) return 0;
    bool was_full = partner_input_.length() >= backlog_limit;
    if (on_output() == -1) return -1;
    rwbuf& out = output();
    while (!out.empty()) {
        int n = write_from(&out);
        if (n < 0) {
            if (!explain_refusal()) report(*this, "connection broken. unable to write to %s socket\n", kind_);
            return -1;
        }
        if (n == 0) break;
        last_transfer_ms_ = now_ms();
    }
    if (partner_ && was_full && partner_input_.length() < backlog_limit)
        partner_->request_update();  // it may read again
    bool nothing_more = discarding() || (partner_ && partner_->input_done());
    // Done, or failed: either way nothing more goes out.
    if (!output_pending() && nothing_more && shutdown_output() != 0) follow(relay_event::output_over);
    return 0;
}

void relaysocket::push() {
    if (!moving()) return;
    if (flush() == -1) {
        enter(relay_state::closed);
        return;
    }
    // The peer's end may have been seen by the lower layers outside a read of ours (during the
    // handshake, say).
    if (input_done()) follow(relay_event::input_over);
    if (state_ != relay_state::closed) request_update();
}

int relaysocket::relay(int readable, int writable, int error) {
    // A pending socket error (a reset) still leaves what arrived before it to be read: a far
    // agent's alert, say, which says why it refused us.
    if ((readable || error) && read_step() == -1) return -1;
    if (error) return -1;
    if ((writable || output_pending()) && flush() == -1) return -1;
    return state_ == relay_state::closed ? -1 : 0;
}

// ---- sslrelaysocket ---------------------------------------------------------------------------

sslrelaysocket::sslrelaysocket(const reporter& parent, connection_data& data, const channel_header& header,
                               const char* kind)
    : reporter(parent), relaysocket(parent, data, header, data.ssl_context(), kind) {
    set_type("SSL connection");
}

bool sslrelaysocket::queue_header() {
    char* gap = partner_input().insert(0, static_cast<int>(header().size()));
    if (!gap) return false;
    std::copy(header().begin(), header().end(), gap);
    return true;
}

void sslrelaysocket::connect_to_server(const endpoint* pinned) {
    if (!ok()) return;
    if (pinned) {
        plan_ = {*pinned};
    } else {
        far_agent_set& set = data().far_agents();
        for (size_t i : set.order(now_ms())) plan_.push_back(set.agents()[i]);
        failover_ = plan_.size() > 1;
    }
    attempt_ = 0;
    if (!start_attempt() && !retry_setup()) {
        count_failure(metrics::failure::connect);
        clear_ok();
    }
}

bool sslrelaysocket::retry_setup() {
    if (!failover_ || attempt_ >= plan_.size()) return false;
    far_agent_health::process().failed(*this, plan_[attempt_].text(), now_ms());
    int64_t now = now_ms();
    while (++attempt_ < plan_.size() && now < setup_due_ms()) {
        if (!restart_setup()) return false;
        if (start_attempt()) return true;
        far_agent_health::process().failed(*this, plan_[attempt_].text(), now);
    }
    return false;
}

bool sslrelaysocket::start_attempt() {
    const endpoint& agent = plan_[attempt_];
    // Each far agent left gets an equal share of what is left of the set-up bound, so that a
    // silent one cannot use it all.
    size_t left = plan_.size() - attempt_;
    if (left > 1) {
        int64_t now = now_ms();
        int64_t rest = setup_due_ms() - now;
        set_attempt_bound(now + rest / static_cast<int64_t>(left));
    } else {
        set_attempt_bound(-1);
    }
    if (!begin_connect_to(agent.host, agent.port, true)) return false;
    SSL* ssl = data().new_ssl();
    if (!ssl) {
        report(*this, "unable to create SSL structure\n");
        clear_ok();
        return false;
    }
    if (sslconnect(ssl) == -1) {
        report(*this, "unable to do SSL connect\n");
        return false;
    }
    return true;
}

int sslrelaysocket::established() {
    if (failover_) far_agent_health::process().worked(*this, plan_[attempt_].text());
    peer_name_text_ = peer_name();
    cipher_text_ = cipher_name();
    notify_connected();
    if (check_partner(data().partners(), peer_name_text_, mapped_name_) != 0) {
        report(*this, "access denied to %s by partner list\n", peer_name_text_.c_str());
        count_failure(metrics::failure::partner_refused);
        return -1;
    }
    // The tunnel is up: the local connection no longer waits on the far agent.
    if (partner()) partner()->release_pending();
    return 0;
}

// ---- links ------------------------------------------------------------------------------------

void make_partners(relaysocket* plain, relaysocket* ssl) {
    remove_partner(plain);
    remove_partner(ssl);
    plain->partner_ = ssl;
    ssl->partner_ = plain;
}

void remove_partner(relaysocket* end) {
    if (end->partner_) end->partner_->partner_ = nullptr;
    end->partner_ = nullptr;
}

}  // namespace orv
