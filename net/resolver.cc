#include "net/resolver.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <ares.h>

#include "net/selector.h"

namespace orv {

namespace {

// Per try and server; two tries. A lookup also ends with its connection's set-up bound.
constexpr int query_timeout_ms = 3000;
constexpr int query_tries = 2;
// Enough names for any deployment's far agents and services; past it the oldest answers go.
constexpr size_t cache_limit = 1024;

bool library_ready() {
    static const bool ready = ares_library_init(ARES_LIB_INIT_ALL) == ARES_SUCCESS;
    return ready;
}

}  // namespace

resolver::resolver(const reporter& parent) : reporter(parent) {
    if (!library_ready()) {
        report(*this, "unable to start the resolver: %s\n", "c-ares failed to initialise");
        clear_ok();
        return;
    }
    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd_ < 0) {
        report_sockerr(*this, "unable to start the resolver");
        clear_ok();
        return;
    }
    ares_options options{};
    options.sock_state_cb = &resolver::on_socket_state;
    options.sock_state_cb_data = this;
    options.timeout = query_timeout_ms;
    options.tries = query_tries;
    int mask = ARES_OPT_SOCK_STATE_CB | ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES;
    int rc = ares_init_options(&channel_, &options, mask);
    if (rc != ARES_SUCCESS) {
        report(*this, "unable to start the resolver: %s\n", ares_strerror(rc));
        channel_ = nullptr;
        clear_ok();
    }
}

resolver::~resolver() {
    if (watch_) watch_->detach();
    // The callbacks of queries still under way run here with ARES_EDESTRUCTION; nobody waits.
    waiting_.clear();
    by_host_.clear();
    if (channel_) ares_destroy(channel_);
    if (epoll_fd_ >= 0) ::close(epoll_fd_);
}

bool resolver::attach(selector& loop) {
    if (!ok()) return false;
    watch_ = new (std::nothrow) resolver_watch(*this, *this, epoll_fd_);
    if (!watch_) return false;
    loop.add_background(watch_);
    rearm();
    return true;
}

std::optional<uint32_t> resolver::numeric(const std::string& host) {
    if (host.empty() || host.find_first_not_of("0123456789.") != std::string::npos) return std::nullopt;
    in_addr a{};
    if (inet_pton(AF_INET, host.c_str(), &a) != 1) return std::nullopt;
    return a.s_addr;
}

std::optional<sockaddr_storage> resolver::literal(const std::string& host) {
    sockaddr_storage a{};
    if (std::optional<uint32_t> v4 = numeric(host)) {
        auto* sin = reinterpret_cast<sockaddr_in*>(&a);
        sin->sin_family = AF_INET;
        sin->sin_addr.s_addr = *v4;
        return a;
    }
    std::string text = host;
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&a);
    if (text.find(':') == std::string::npos || inet_pton(AF_INET6, text.c_str(), &sin6->sin6_addr) != 1)
        return std::nullopt;
    sin6->sin6_family = AF_INET6;
    return a;
}

std::string resolver::query_key(const std::string& host, int family) {
    return (family == AF_INET6 ? "6 " : "4 ") + host;
}

std::optional<resolver::answer> resolver::cached(const std::string& host, int family) {
    auto it = cache_.find(query_key(host, family));
    if (it == cache_.end()) return std::nullopt;
    if (iodesc::now_ms() >= it->second.until_ms) {
        cache_.erase(it);
        return std::nullopt;
    }
    return it->second.found;
}

uint64_t resolver::lookup(const std::string& host, int family, callback done) {
    if (!channel_) return 0;
    uint64_t ticket = next_ticket_++;
    waiting_[ticket] = std::move(done);
    std::string key = query_key(host, family);
    std::vector<uint64_t>& tickets = by_host_[key];
    tickets.push_back(ticket);
    if (tickets.size() > 1) return ticket;  // the query is under way already
    ares_addrinfo_hints hints{};
    hints.ai_family = family == AF_INET6 ? AF_INET6 : AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    auto* q = new query{this, key, hints.ai_family};
    // c-ares may answer inside the call (a name in /etc/hosts): that answer waits for the loop.
    in_lookup_ = true;
    ares_getaddrinfo(channel_, host.c_str(), nullptr, &hints, &resolver::on_answer, q);
    in_lookup_ = false;
    rearm();
    return ticket;
}

void resolver::cancel(uint64_t ticket) {
    auto it = waiting_.find(ticket);
    if (it == waiting_.end()) return;
    waiting_.erase(it);
    // The ticket stays in by_host_ until its query ends; finished() skips it.
}

void resolver::on_answer(void* arg, int status, int, ares_addrinfo* result) {
    std::unique_ptr<query> q(static_cast<query*>(arg));
    answer found;
    int64_t ttl = -1;
    if (status == ARES_SUCCESS && result) {
        socklen_t len = q->family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        for (ares_addrinfo_node* n = result->nodes; n; n = n->ai_next) {
            if (n->ai_family != q->family || !n->ai_addr) continue;
            sockaddr_storage a{};
            std::memcpy(&a, n->ai_addr, len);
            if (q->family == AF_INET6) reinterpret_cast<sockaddr_in6*>(&a)->sin6_port = 0;
            else reinterpret_cast<sockaddr_in*>(&a)->sin_port = 0;
            bool seen = false;
            for (const sockaddr_storage& b : found.addresses) seen = seen || std::memcmp(&a, &b, len) == 0;
            if (!seen) found.addresses.push_back(a);
            ttl = ttl < 0 ? n->ai_ttl : std::min<int64_t>(ttl, n->ai_ttl);
        }
        if (found.addresses.empty()) found.error = q->family == AF_INET6 ? "no IPv6 address" : "no IPv4 address";
    } else {
        found.error = ares_strerror(status);
    }
    if (result) ares_freeaddrinfo(result);
    if (status == ARES_EDESTRUCTION) return;  // the resolver is going
    resolver* owner = q->owner;
    if (owner->in_lookup_) {
        owner->early_.push_back(early_answer{q->key, std::move(found), ttl < 0 ? 0 : ttl});
        return;
    }
    owner->finished(q->key, std::move(found), ttl < 0 ? 0 : ttl);
}

void resolver::finished(const std::string& key, answer found, int64_t ttl_seconds) {
    if (found.error.empty() && ttl_seconds > 0) {
        if (cache_.size() >= cache_limit) cache_.clear();
        cache_[key] = kept{found, iodesc::now_ms() + ttl_seconds * 1000};
    }
    auto it = by_host_.find(key);
    if (it == by_host_.end()) return;
    std::vector<uint64_t> tickets = std::move(it->second);
    by_host_.erase(it);
    for (uint64_t t : tickets) {
        auto w = waiting_.find(t);
        if (w == waiting_.end()) continue;  // cancelled
        callback done = std::move(w->second);
        waiting_.erase(w);
        done(found);  // may cancel or start other lookups
    }
}

void resolver::on_socket_state(void* data, int fd, int read, int write) {
    static_cast<resolver*>(data)->sockets_changed(fd, read != 0, write != 0);
}

void resolver::sockets_changed(int fd, bool read, bool write) {
    epoll_event ev{};
    ev.events = (read ? EPOLLIN : 0u) | (write ? EPOLLOUT : 0u);
    ev.data.fd = fd;
    if (!read && !write) {
        epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
        return;
    }
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &ev) != 0) epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev);
}

void resolver::process() {
    if (!channel_) return;
    std::vector<early_answer> early;
    early.swap(early_);
    for (early_answer& a : early) finished(a.key, std::move(a.found), a.ttl_seconds);
    epoll_event events[16];
    int n = epoll_wait(epoll_fd_, events, 16, 0);
    for (int i = 0; i < n; ++i) {
        int fd = events[i].data.fd;
        bool readable = events[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP);
        bool writable = events[i].events & EPOLLOUT;
        ares_process_fd(channel_, readable ? fd : ARES_SOCKET_BAD, writable ? fd : ARES_SOCKET_BAD);
    }
    // Time-outs and retries are due on the deadline even without traffic.
    if (n <= 0) ares_process_fd(channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
    rearm();
}

int64_t resolver::next_deadline_ms() {
    if (!channel_) return -1;
    if (!early_.empty()) return iodesc::now_ms();
    timeval tv{};
    if (!ares_timeout(channel_, nullptr, &tv)) return -1;
    return iodesc::now_ms() + static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

void resolver::rearm() {
    if (!watch_) return;
    watch_->set_deadline(next_deadline_ms());
    watch_->request_update();
}

// ---- resolver_watch ---------------------------------------------------------------------------

resolver_watch::resolver_watch(const reporter& parent, resolver& owner, int epoll_fd)
    : reporter(parent), iodesc(parent, epoll_fd), owner_(&owner) {}

resolver_watch::~resolver_watch() {
    if (owner_) owner_->watch_ = nullptr;
}

int resolver_watch::wants_events(int* read, int* write, int* error) {
    *read = owner_ ? 1 : 0;
    *write = *error = 0;
    return *read;
}

int resolver_watch::handle_events(int, int, int) {
    if (owner_) owner_->process();
    return 0;
}

}  // namespace orv
