#include "agent/pending_peers.h"

#include "agent/metrics/registry.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace orv {

void pending_peers::member::leave(bool failed) {
    if (!owner_) return;
    owner_->gone(this, failed);
    owner_ = nullptr;
}

pending_peers::~pending_peers() {
    for (auto& [source, entry] : sources_) {
        for (member* m : entry.pending) m->owner_ = nullptr;
    }
}

pending_peers::verdict pending_peers::admit(const std::string& source) {
    auto it = sources_.find(source);
    int from_source = it == sources_.end() ? 0 : static_cast<int>(it->second.pending.size());
    verdict v = verdict::admitted;
    if (from_source >= caps_.per_source) v = verdict::source_full;
    else if (total_ >= caps_.total) v = verdict::total_full;
    if (v == verdict::admitted) return v;
    metrics::process().count(metrics::failure::pending_cap);
    source_entry& e = sources_[source];
    if (e.refused++ == 0) {
        if (v == verdict::source_full)
            report(reporter_,
                   "WAR connections from %s refused: %d handshakes from it pending, the most one address may hold\n",
                   source.c_str(), from_source);
        else
            report(reporter_, "WAR connections from %s refused: %d handshakes pending, the most this listener holds\n",
                   source.c_str(), total_);
    }
    return v;
}

bool pending_peers::enter(member* m, const std::string& source, bool may_quiet) {
    m->leave(false);
    source_entry& e = sources_[source];
    m->owner_ = this;
    m->source_ = source;
    m->shed_ = false;
    // A source whose connections are being refused or shed is flooding: its new ones stay quiet.
    m->quiet_ =
        may_quiet && (e.failures_logged >= loud_failures || e.loud >= loud_pending || e.refused > 0 || e.shed > 0);
    if (!m->quiet_) ++e.loud;
    m->at_ = e.pending.insert(e.pending.end(), m);
    ++total_;
    if (total_ > peak_) peak_ = total_;
    return m->quiet_;
}

void pending_peers::gone(member* m, bool failed) {
    auto it = sources_.find(m->source_);
    if (it == sources_.end()) return;
    source_entry& e = it->second;
    e.pending.erase(m->at_);
    --total_;
    if (!m->quiet_) --e.loud;
    if (failed && !m->shed_) {
        if (m->quiet_) ++e.failures_quiet;
        else ++e.failures_logged;
    }
    forget_if_idle(m->source_);
    if (total_ == 0) {
        // A flood has drained: the allocator keeps the freed pages of its handshakes unless told.
        if (peak_ > loud_pending) malloc_trim(0);
        peak_ = 0;
    }
}

void pending_peers::forget_if_idle(const std::string& source) {
    auto it = sources_.find(source);
    if (it == sources_.end()) return;
    const source_entry& e = it->second;
    if (e.pending.empty() && e.failures_logged == 0 && e.failures_quiet == 0 && e.refused == 0 && e.shed == 0)
        sources_.erase(it);
}

bool pending_peers::shed_one() {
    source_entry* biggest = nullptr;
    for (auto& [source, entry] : sources_) {
        if (!entry.pending.empty() && (!biggest || entry.pending.size() > biggest->pending.size())) biggest = &entry;
    }
    if (!biggest) return false;
    member* oldest = biggest->pending.front();
    metrics::process().count(metrics::failure::shed);
    if (biggest->shed++ == 0)
        report(reporter_, "WAR descriptors running short: closing the oldest pending handshakes from %s (%d pending)\n",
               oldest->source_.c_str(), static_cast<int>(biggest->pending.size()));
    oldest->shed_ = true;
    oldest->shed();  // leaves through its destructor or settle, now or at the next cycle
    if (oldest->owner_) oldest->leave(true);
    return true;
}

void pending_peers::tick(int64_t now_ms) {
    if (last_tick_ms_ >= 0 && now_ms - last_tick_ms_ < interval_seconds * 1000LL / 2) return;
    last_tick_ms_ = now_ms;
    int seconds = interval_seconds;
    for (auto it = sources_.begin(); it != sources_.end();) {
        const std::string& a = it->first;
        source_entry& e = it->second;
        if (e.failures_quiet > 0)
            report(reporter_, "INF %d more handshake failures from %s in the last %d seconds\n", e.failures_quiet,
                   a.c_str(), seconds);
        if (e.refused > 1)
            report(reporter_,
                   "WAR %d more connections from %s refused at the pending handshake cap in the last %d seconds\n",
                   e.refused - 1, a.c_str(), seconds);
        if (e.shed > 1)
            report(reporter_, "WAR %d more pending handshakes from %s closed for descriptors in the last %d seconds\n",
                   e.shed - 1, a.c_str(), seconds);
        e.failures_logged = e.failures_quiet = e.refused = e.shed = 0;
        if (e.pending.empty()) it = sources_.erase(it);
        else ++it;
    }
}

int pending_peers::pending_from(const std::string& source) const {
    auto it = sources_.find(source);
    return it == sources_.end() ? 0 : static_cast<int>(it->second.pending.size());
}

std::string source_address(int handle) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (getpeername(handle, reinterpret_cast<sockaddr*>(&a), &len) != 0) return {};
    char text[INET6_ADDRSTRLEN] = "";
    if (a.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&a)->sin_addr, text, sizeof text);
    } else if (a.ss_family == AF_INET6) {
        const in6_addr& v6 = reinterpret_cast<sockaddr_in6*>(&a)->sin6_addr;
        // An IPv4 client of a "::" listener counts as its IPv4 address.
        if (IN6_IS_ADDR_V4MAPPED(&v6)) inet_ntop(AF_INET, &v6.s6_addr[12], text, sizeof text);
        else inet_ntop(AF_INET6, &v6, text, sizeof text);
    }
    return text;
}

}  // namespace orv
