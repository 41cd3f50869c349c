#include "agent/metrics/endpoint.h"

#include <cerrno>
#include <cstring>
#include <new>

#include <unistd.h>

#include "net/endpoint_list.h"
#include "net/selector.h"

namespace orv::metrics {

namespace {

constexpr int64_t pause_ms = 100;

int family_of(const std::string& host) { return host.find(':') != std::string::npos ? AF_INET6 : AF_INET; }

}  // namespace

response answer(const request_head& head, scrape_source& source) {
    response r;
    if (head.path != "/metrics" && head.path != "/healthz") {
        r.body = "not found\n";
        return r;
    }
    if (head.method != "GET" && head.method != "HEAD") {
        r.status = 405;
        r.body = "method not allowed\n";
        return r;
    }
    if (head.path == "/metrics") {
        r.status = 200;
        r.content_type = "text/plain; version=0.0.4; charset=utf-8";
        r.body = exposition(process(), source.view());
        return r;
    }
    std::string why = source.unhealthy_reason();
    r.status = why.empty() ? 200 : 503;
    r.body = (why.empty() ? std::string("ok") : why) + "\n";
    return r;
}

// ---- listener ---------------------------------------------------------------------------------

endpoint_listener::endpoint_listener(const reporter& parent, const char* listen_text, scrape_source& source)
    : reporter(parent), socket(parent, -1), listen_text_(listen_text ? listen_text : ""), source_(source) {
    std::optional<endpoint> at_text = parse_endpoint(listen_text);
    if (!at_text) {
        report(*this, "invalid metrics address %s\n", listen_text_.c_str());
        clear_ok();
        return;
    }
    handle_ = ::socket(family_of(at_text->host), SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (handle_ < 0) {
        report_sockerr(*this, "unable to create socket");
        clear_ok();
        return;
    }
    inetaddr at(*this, at_text->host.c_str(), std::to_string(at_text->port).c_str());
    bool listening = at.is_valid() && set_nonblocking(1) == 0 && so_reuseaddr(1) == 0 && bind(&at) == 0 &&
                     listen(64) == 0;
    if (!listening) clear_ok();
}

endpoint_listener::~endpoint_listener() {
    if (watcher_) *watcher_ = nullptr;
}

int endpoint_listener::wants_events(int* read, int* write, int* error) {
    *write = 0;
    *error = 0;
    *read = state_ == listener_state::accepting ? 1 : 0;
    return 1;
}

int endpoint_listener::handle_events(int readable, int, int) {
    if (state_ == listener_state::paused) {
        if (now_ms() < resume_ms_) return 1;
        state_ = listener_state::accepting;
    }
    if (!readable) return 0;
    int handle = accept(false);
    if (handle < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            // The waiting connection stays readable until a descriptor is free: look again later
            // rather than spin.
            state_ = listener_state::paused;
            resume_ms_ = now_ms() + pause_ms;
            set_deadline(resume_ms_);
        }
        return 1;
    }
    if (*live_ >= max_scrapes || selectors().empty()) {
        ::close(handle);
        return 0;
    }
    auto* c = new (std::nothrow) scrape_connection(*this, handle, source_, live_);
    if (!c) {
        ::close(handle);
        return 0;
    }
    selectors().front()->add_background(c);
    return 0;
}

// ---- one scrape -------------------------------------------------------------------------------

scrape_connection::scrape_connection(const reporter& parent, int handle, scrape_source& source,
                                     std::shared_ptr<int> live)
    : reporter(parent), socket(parent, handle), source_(source), live_(std::move(live)),
      due_ms_(now_ms() + scrape_deadline_ms) {
    ++*live_;
    set_deadline(due_ms_);
    if (set_nonblocking(1) != 0) enter(scrape_state::closed);
}

scrape_connection::~scrape_connection() { --*live_; }

void scrape_connection::enter(scrape_state next) {
    state_ = next;
    if (next == scrape_state::closed) set_deadline(now_ms());
    request_update();
}

int scrape_connection::wants_events(int* read, int* write, int* error) {
    *read = state_ == scrape_state::reading ? 1 : 0;
    *write = state_ == scrape_state::writing ? 1 : 0;
    *error = 1;
    return state_ == scrape_state::closed ? 0 : 1;
}

int scrape_connection::handle_events(int readable, int writable, int error) {
    if (state_ != scrape_state::closed && now_ms() >= due_ms_) enter(scrape_state::closed);
    if (state_ == scrape_state::closed) return -1;
    // An error or hang-up shows in the read or write it makes fail; a request that came with the
    // peer's end is still answered.
    if (state_ == scrape_state::reading && (readable || error)) read_step();
    if (state_ == scrape_state::writing && (writable || error || written_ == 0)) write_step();
    if (state_ != scrape_state::closed) set_deadline(due_ms_);
    return state_ == scrape_state::closed ? -1 : 0;
}

void scrape_connection::read_step() {
    char buf[1024];
    int n = read(buf, sizeof buf);
    if (n < 0) {
        enter(scrape_state::closed);
        return;
    }
    if (n == 0) return;
    // Never more than one byte past the bound: the parser then calls it too large.
    size_t room = max_head + 1 - in_.size();
    in_.append(buf, std::min(static_cast<size_t>(n), room));
    request_head head = parse_head(in_);
    switch (head.status) {
        case head_status::incomplete: return;
        case head_status::invalid: enter(scrape_state::closed); return;
        case head_status::complete:
            out_ = serialize(answer(head, source_), head.method == "HEAD");
            in_.clear();
            enter(scrape_state::writing);
            return;
    }
}

void scrape_connection::write_step() {
    while (written_ < out_.size()) {
        int n = write(out_.data() + written_, static_cast<int>(std::min<size_t>(out_.size() - written_, 1 << 20)));
        if (n < 0) {
            enter(scrape_state::closed);
            return;
        }
        if (n == 0) return;
        written_ += static_cast<size_t>(n);
    }
    // Everything is out: closing now (with the request read in full) ends the connection cleanly.
    enter(scrape_state::closed);
}

}  // namespace orv::metrics
