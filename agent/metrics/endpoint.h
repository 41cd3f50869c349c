// The metrics endpoint: a listening socket in the agent's own event loop and one scrape object
// per accepted connection, serving /metrics (the Prometheus text exposition) and /healthz.
//
// Nothing here may hold up the relay: every handle is non-blocking, a request head is bounded
// (max_head), each scrape connection lives at most scrape_deadline_ms, at most max_scrapes are
// served at once (more are closed at once), and the answer is built in memory before it is
// written. Both kinds register with the selector in the background, so that the endpoint never
// keeps a pass alive; the selector owns them.
#pragma once

#include <memory>
#include <string>

#include "agent/metrics/http_request.h"
#include "agent/metrics/registry.h"
#include "net/socket.h"

namespace orv {
class selector;
}

namespace orv::metrics {

inline constexpr int64_t scrape_deadline_ms = 5000;
inline constexpr int max_scrapes = 8;

// What the endpoint asks the running agent at each request. It outlives the endpoint and every
// scrape connection (the forwarder, which destroys the selector first).
class scrape_source {
public:
    virtual live_view view() = 0;
    // Empty when the agent listens and can serve; otherwise why not, in one line.
    virtual std::string unhealthy_reason() = 0;

protected:
    ~scrape_source() = default;
};

// The answer to a complete head: GET or HEAD of /metrics or /healthz; 404 for any other path,
// 405 for another method.
response answer(const request_head& head, scrape_source& source);

class endpoint_listener : public socket {
public:
    // Listens on `listen_text` ("ADDRESS:PORT", "[::1]:PORT" for IPv6: the session's `metrics`
    // field); on failure reports why ("invalid metrics address
    // TEXT", "unable to bind:...") and clears the ok flag.
    endpoint_listener(const reporter& parent, const char* listen_text, scrape_source& source);
    ~endpoint_listener() override;

    // `*slot` is set to null when the listener is destroyed (null: none).
    void watch(endpoint_listener** slot) { watcher_ = slot; }
    const std::string& listen_text() const { return listen_text_; }

    // Accepts one waiting connection per call; always 0 or 1 (the listener stays).
    int handle_events(int readable, int writable, int error) override;
    int wants_events(int* read, int* write, int* error) override;

private:
    enum class listener_state {
        accepting,
        paused  // out of descriptors: not asking for connections until resume_ms_
    };

    std::string listen_text_;
    scrape_source& source_;
    // Scrape connections alive, shared with them: they may outlive the listener (a reload).
    std::shared_ptr<int> live_ = std::make_shared<int>(0);
    endpoint_listener** watcher_ = nullptr;
    listener_state state_ = listener_state::accepting;
    int64_t resume_ms_ = 0;
};

class scrape_connection : public socket {
public:
    scrape_connection(const reporter& parent, int handle, scrape_source& source, std::shared_ptr<int> live);
    ~scrape_connection() override;

    // -1 once the answer is written, the request is refused or the deadline has passed (the
    // selector then destroys it); 0 otherwise.
    int handle_events(int readable, int writable, int error) override;
    int wants_events(int* read, int* write, int* error) override;

private:
    //   reading  -> writing  a complete head: the answer is built
    //   reading  -> closed   not HTTP, too large, the peer's end, or the deadline
    //   writing  -> closed   all written, a failed write, or the deadline
    enum class scrape_state { reading, writing, closed };

    void enter(scrape_state next);
    void read_step();
    void write_step();

    scrape_source& source_;
    std::shared_ptr<int> live_;
    scrape_state state_ = scrape_state::reading;
    std::string in_;
    std::string out_;
    size_t written_ = 0;
    int64_t due_ms_;
};

}  // namespace orv::metrics
