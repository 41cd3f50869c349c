// resolver: name lookups that never block the loop, by c-ares inside the selector. One serves a
// pass; every connection of the pass that waits for a name shares it, and only those wait.
//
// c-ares's sockets go into an epoll set of the resolver's own, whose single descriptor the
// selector waits on (resolver_watch); c-ares's time-outs become that watch's deadline. Answers
// are kept for their time-to-live, so a far agent that moves is reached at its new address
// once the old answer has expired, and a name that is asked for often costs one query per TTL.
//
// Ownership: the program owns the resolver; the selector owns the watch (registered in the
// background). The resolver must outlive every connection that may cancel a lookup, so the pass
// destroys its selector (with the connections) before it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <sys/socket.h>

#include "net/iodesc.h"

struct ares_addrinfo;
struct ares_channeldata;

namespace orv {

class selector;
class resolver_watch;

class resolver : public virtual reporter, public virtual ok_flag {
public:
    // What a lookup of one family found: its addresses (port 0), or the resolver's reason.
    struct answer {
        std::vector<sockaddr_storage> addresses;
        std::string error;  // empty when addresses were found
    };
    using callback = std::function<void(const answer&)>;

    // Reads the system's resolver configuration (/etc/resolv.conf); reports and clears the ok
    // flag when c-ares cannot start.
    explicit resolver(const reporter& parent);
    ~resolver() override;
    resolver(const resolver&) = delete;
    resolver& operator=(const resolver&) = delete;

    // Registers the watch with `loop` in the background (the loop owns it); false when out of
    // memory. Lookups made before this wait until it is done.
    bool attach(selector& loop);

    // The answer kept for `host` in `family` (AF_INET: A records, AF_INET6: AAAA) while its
    // time-to-live lasts, if any.
    std::optional<answer> cached(const std::string& host, int family);
    // Starts looking up the `family` addresses of `host`; the two families are separate
    // queries, so that a connect need not wait for a family that is slow to answer. `done` is
    // called once, from the loop, never from inside lookup() itself, unless the lookup is
    // cancelled first. Returns the ticket that cancels it; 0 when the resolver is not running
    // (`done` is then never called).
    uint64_t lookup(const std::string& host, int family, callback done);
    // `done` of that lookup will not be called (the query itself may still run to its end).
    void cancel(uint64_t ticket);

    // Dotted IPv4 text to an address (network order): such texts are never looked up.
    static std::optional<uint32_t> numeric(const std::string& host);
    // A host text that is an address (dotted IPv4, or IPv6 with or without brackets), port 0:
    // such texts are never looked up. nullopt for anything else.
    static std::optional<sockaddr_storage> literal(const std::string& host);

    // How many lookups are under way (for tests).
    size_t pending() const { return waiting_.size(); }

private:
    friend class resolver_watch;

    struct kept {
        answer found;
        int64_t until_ms;
    };
    struct query {
        resolver* owner;
        std::string key;  // host and family (query_key)
        int family;
    };
    static std::string query_key(const std::string& host, int family);
    // An answer c-ares gave inside lookup(), delivered at the next event of the watch.
    struct early_answer {
        std::string key;
        answer found;
        int64_t ttl_seconds;
    };

    // The watch's events: c-ares's sockets, or its time-out.
    void process();
    // The time until c-ares wants to be called again, -1 when it waits for nothing.
    int64_t next_deadline_ms();
    void rearm();
    void sockets_changed(int fd, bool read, bool write);
    void finished(const std::string& key, answer found, int64_t ttl_seconds);

    static void on_socket_state(void* data, int fd, int read, int write);
    static void on_answer(void* arg, int status, int timeouts, ares_addrinfo* result);

    ares_channeldata* channel_ = nullptr;
    int epoll_fd_ = -1;
    resolver_watch* watch_ = nullptr;
    uint64_t next_ticket_ = 1;
    // Callbacks by ticket, and the tickets waiting for each name and family (one query each at
    // a time); answers are kept by the same key.
    std::map<uint64_t, callback> waiting_;
    std::unordered_map<std::string, std::vector<uint64_t>> by_host_;
    std::unordered_map<std::string, kept> cache_;
    std::vector<early_answer> early_;
    bool in_lookup_ = false;
};

// The selector's side of the resolver: waits on its epoll descriptor and its deadline.
class resolver_watch : public iodesc {
public:
    resolver_watch(const reporter& parent, resolver& owner, int epoll_fd);
    ~resolver_watch() override;

    // Always 0: the watch stays until the selector goes.
    int handle_events(int readable, int writable, int error) override;
    int wants_events(int* read, int* write, int* error) override;

    // The resolver is going: nothing is forwarded any more.
    void detach() { owner_ = nullptr; }

private:
    resolver* owner_;
};

}  // namespace orv
