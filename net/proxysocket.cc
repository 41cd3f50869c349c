#include "net/proxysocket.h"

#include <cstring>

#include "net/proxy_reply.h"

namespace orv {

namespace {

proxy_settings& settings() {
    static proxy_settings s;
    return s;
}

std::string trim_spaces(const std::string& text) {
    size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

}  // namespace

void set_proxy_configuration(const char* host, const char* port, const char* direct) {
    if (!host || !*host || !port || !*port) return;
    settings() = proxy_settings{host, port, direct ? direct : ""};
}

void clear_proxy_configuration() { settings() = proxy_settings{}; }

const proxy_settings& proxy_configuration() { return settings(); }

bool in_direct_list(const std::string& direct, const std::string& dotted) {
    size_t start = 0;
    while (start <= direct.size()) {
        size_t end = direct.find(';', start);
        if (end == std::string::npos) end = direct.size();
        std::string entry = trim_spaces(direct.substr(start, end - start));
        if (!entry.empty() && entry == dotted) return true;
        start = end + 1;
    }
    return false;
}

proxysocket::proxysocket(const reporter& parent, int family, int type, int protocol)
    : socket(parent, family, type, protocol), exchange_(parent) {}

proxysocket::proxysocket(const reporter& parent, int handle)
    : socket(parent, handle), exchange_(parent), tunnel_ready_(1) {}

proxysocket::~proxysocket() = default;

int proxysocket::connect_direct(const address* to) {
    tunnel_ready_ = 1;
    return socket::connect(to);
}

bool proxysocket::proxy_applies(const address* to) {
    const proxy_settings& proxy = proxy_configuration();
    if (!proxy.enabled()) return false;
    std::string target = to->text();
    // "a.b.c.d:port" or "[addr]:port": the direct list names addresses without ports.
    std::string host = target.front() == '[' ? target.substr(1, target.find(']') - 1) : target.substr(0, target.find(':'));
    return !in_direct_list(proxy.direct, host);
}

int proxysocket::connect(const address* to) {
    if (is_closed() || is_connecting()) return socket::connect(to);  // its misuse messages
    if (!proxy_applies(to)) return connect_direct(to);
    const proxy_settings& proxy = proxy_configuration();
    inetaddr proxy_address(*this, proxy.host.c_str(), proxy.port.c_str());
    return connect_through(to, &proxy_address);
}

bool proxysocket::queue_request(const address* to) {
    std::string request = "CONNECT " + to->text() + " HTTP/1.0\r\n\r\n";
    if (!exchange_.append(request.data(), static_cast<int>(request.size()))) {
        report(*this, "out of memory\n");
        return false;
    }
    step_ = exchange_step::send;
    return true;
}

int proxysocket::connect_through(const address* to, const address* proxy) {
    if (is_closed() || is_connecting()) return socket::connect(to);
    if (!queue_request(to)) return -1;
    int rc = socket::connect(proxy);
    if (rc == 0 && !is_connecting()) return run_exchange();
    return rc;
}

int proxysocket::connect_direct_any(std::unique_ptr<connect_race> race) {
    tunnel_ready_ = 1;
    return connect_any(std::move(race));
}

int proxysocket::connect_through_any(const address* to, std::unique_ptr<connect_race> proxy_race) {
    if (is_closed() || is_connecting()) return socket::connect(to);
    if (!queue_request(to)) return -1;
    return connect_any(std::move(proxy_race));
}

int proxysocket::start_over() {
    exchange_.consume(exchange_.length());
    step_ = exchange_step::send;
    tunnel_ready_ = 0;
    return socket::start_over();
}

int proxysocket::is_busy() { return (is_connecting() || !tunnel_ready_) ? 1 : 0; }

int proxysocket::wants_events(int* read, int* write, int* error) {
    if (is_connecting() || tunnel_ready_ || is_closed()) return socket::wants_events(read, write, error);
    *read = step_ == exchange_step::read;
    *write = step_ == exchange_step::send;
    *error = 1;
    return 1;
}

int proxysocket::handle_events(int readable, int writable, int error) {
    int rc = socket::handle_events(readable, writable, error);
    if (rc != 0 || tunnel_ready_) return rc;
    // A socket closed before its tunnel was ready (a failed exchange, a close from outside)
    // has nothing more to wait for.
    if (is_closed()) return -1;
    int result = 0;
    if (readable || writable) result = run_exchange() < 0 ? -1 : 1;
    if (error) result = -1;
    return result;
}

int proxysocket::run_exchange() {
    int ok = 1;
    for (;;) {
        if (exchange_.length() > max_response) {
            report(*this, "response buffer is too big. aborting\n");
            ok = 0;
            break;
        }
        exchange_step before = step_;
        ok = step_ == exchange_step::send ? send_step() : read_step();
        if (tunnel_ready_ || !ok) break;
        if (step_ == before) {
            // Waiting for the network: a proxy that has sent too much without the blank line
            // may send nothing more, so the limit is checked before waiting as well.
            if (exchange_.length() > max_response) {
                report(*this, "response buffer is too big. aborting\n");
                ok = 0;
            }
            break;
        }
    }
    if (!ok) {
        close();
        return -1;
    }
    return 0;
}

int proxysocket::send_step() {
    if (plain_write_from(&exchange_) < 0) {
        report(*this, "unable to send proxy connect command\n");
        return 0;
    }
    if (exchange_.empty()) step_ = exchange_step::read;
    return 1;
}

int proxysocket::read_step() {
    if (plain_read_into(&exchange_, 2048) < 0) {
        report(*this, "unable to read proxy response\n");
        return 0;
    }
    if (exchange_.empty()) return 1;
    proxy_reply reply = parse_proxy_reply(std::string_view(exchange_.bytes(), exchange_.length()));
    if (reply.state == proxy_reply_state::incomplete) return 1;
    if (reply.state == proxy_reply_state::refused) {
        report(*this, "%s", reply.message.c_str());
        return 0;
    }
    tunnel_ready_ = 1;
    exchange_.consume(static_cast<int>(reply.header_end));
    // The exchange with the proxy is not traffic of the tunnel: its counts start here.
    bytes_read_ = bytes_written_ = 0;
    return 1;
}

}  // namespace orv
