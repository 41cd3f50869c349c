// proxysocket: an outgoing socket that may cross an HTTPS proxy with the CONNECT method.
//
// The proxy is set once for the whole process (the agent reads ORV_PROXY, ORV_PROXYPORT and
// ORV_DIRECT at start-up). connect() goes direct when no proxy is set or when the target's dotted
// address is in the direct list (";"-separated, spaces trimmed); otherwise it connects to the
// proxy, sends exactly "CONNECT a.b.c.d:port HTTP/1.0\r\n\r\n" and waits for a 200 status line.
// Until then the socket is busy; once the tunnel is ready it behaves as a connected socket and
// leaves its events to subclasses. Any failure of the exchange closes the socket and makes
// handle_events return -1.
#pragma once

#include <memory>
#include <string>

#include "net/rwbuf.h"
#include "net/socket.h"

namespace orv {

struct proxy_settings {
    std::string host;    // ORV_PROXY
    std::string port;    // ORV_PROXYPORT: digits or a TCP service name
    std::string direct;  // ORV_DIRECT, empty when unset

    bool enabled() const { return !host.empty() && !port.empty(); }
};

// Stores the three texts; does nothing when the host or the port is missing (null or empty).
// `direct` may be null.
void set_proxy_configuration(const char* host, const char* port, const char* direct);
// Back to no proxy (for tests and a fresh start).
void clear_proxy_configuration();
const proxy_settings& proxy_configuration();

// True when `dotted` is one of the entries of a direct list.
bool in_direct_list(const std::string& direct, const std::string& dotted);

class proxysocket : public socket {
public:
    // The most the exchange buffer may hold without a complete response.
    static constexpr int max_response = 20480;

    proxysocket(const reporter& parent, int family, int type, int protocol);
    // Over an existing connected handle: no exchange, the tunnel counts as ready.
    proxysocket(const reporter& parent, int handle);
    ~proxysocket() override;

    int handle_events(int readable, int writable, int error) override;
    int wants_events(int* read, int* write, int* error) override;
    int is_busy() override;
    int connect(const address* to) override;
    // True when a connect to `to` goes through the configured proxy (it is set and `to` is not in
    // its direct list).
    static bool proxy_applies(const address* to);
    // Connects to the proxy at `proxy` (already looked up) and asks it for a tunnel to `to`.
    int connect_through(const address* to, const address* proxy);

    // The same two with the addresses of `race` raced for the first hop (connect_any).
    int connect_direct_any(std::unique_ptr<connect_race> race);
    int connect_through_any(const address* to, std::unique_ptr<connect_race> proxy_race);
    int tunnel_ready() const { return tunnel_ready_; }
    int start_over() override;

protected:
    enum class exchange_step { send, read };

    // Runs steps until the tunnel is ready, a step fails or one waits for the network: 0, or -1
    // after closing the socket.
    int run_exchange();
    // Queues the CONNECT request for `to`; false (reported) when it could not be stored.
    bool queue_request(const address* to);
    // 1 to go on, 0 on failure.
    int send_step();
    int read_step();
    int connect_direct(const address* to);

    rwbuf exchange_;
    exchange_step step_ = exchange_step::send;
    int tunnel_ready_ = 0;
};

}  // namespace orv
