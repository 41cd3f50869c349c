#include "server/announcements.h"

#include <algorithm>

namespace orv {

const char* claim_result_text(claim_result r) {
    switch (r) {
        case claim_result::granted: return "was announced";
        case claim_result::not_announced: return "was not announced";
        case claim_result::other_client: return "was announced to another client";
        case claim_result::expired: return "was announced too long ago";
        case claim_result::control_gone: return "was announced on a control connection that has ended";
    }
    return "was not announced";
}

std::string client_identity(const std::string& subject, const std::string& peer_address) {
    if (!subject.empty()) return "subject:" + subject;
    // Without a certificate the peer's address is all that tells clients apart; the port
    // differs between a client's connections.
    return "address:" + peer_address.substr(0, peer_address.rfind(':'));
}

uint64_t announcement_registry::open_control(const std::string& client) {
    uint64_t id = next_control_++;
    live_controls_.insert(id);
    control_client_[id] = client;
    return id;
}

void announcement_registry::close_control(uint64_t control) {
    live_controls_.erase(control);
    control_client_.erase(control);
    // Its entries stay until claimed or expired, so that a late data connection is told why.
}

bool announcement_registry::control_live(uint64_t control) const { return live_controls_.count(control) != 0; }

void announcement_registry::drop_expired(int64_t now_ms) {
    std::erase_if(entries_, [now_ms](const announcement& a) { return a.expires_ms <= now_ms; });
}

bool announcement_registry::announce(uint64_t control, data_mode mode, uint32_t address, uint16_t port, int64_t now_ms,
                                     int64_t lifetime_ms, uint64_t token) {
    auto owner = control_client_.find(control);
    if (owner == control_client_.end()) return false;
    // Kept a while past expiry, so that a late data connection is told why it is refused.
    drop_expired(now_ms - 60 * 1000);
    entries_.push_back(
        announcement{owner->second, control, mode, address, port, now_ms + lifetime_ms, token, {}, false});
    return true;
}

bool announcement_registry::announce_lasting(uint64_t control, uint32_t address, uint16_t port, std::string host,
                                             int64_t now_ms, int64_t lifetime_ms) {
    if (!announce(control, data_mode::passive, address, port, now_ms, lifetime_ms)) return false;
    entries_.back().host = std::move(host);
    entries_.back().outlives_control = true;
    return true;
}

void announcement_registry::withdraw(uint64_t token) {
    if (token == 0) return;
    std::erase_if(entries_, [token](const announcement& a) { return a.token == token; });
}

claim_result announcement_registry::claim(const std::string& client, data_mode mode, uint32_t address, uint16_t port,
                                          int64_t now_ms, announcement* granted) {
    auto same_target = [&](const announcement& a) { return a.mode == mode && a.address == address && a.port == port; };
    claim_result best = claim_result::not_announced;
    auto spent = entries_.end();
    // The first live, unexpired entry of this client wins; otherwise the most telling refusal.
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (!same_target(*it)) continue;
        if (it->client != client) {
            if (best == claim_result::not_announced) best = claim_result::other_client;
            continue;
        }
        if (!it->outlives_control && !control_live(it->control)) {
            best = claim_result::control_gone;
            spent = it;
            continue;
        }
        if (it->expires_ms <= now_ms) {
            if (best != claim_result::control_gone) best = claim_result::expired;
            spent = it;
            continue;
        }
        if (granted) *granted = *it;
        entries_.erase(it);
        return claim_result::granted;
    }
    // A refused entry of this client has been reported once; it serves nothing any more.
    if (spent != entries_.end()) entries_.erase(spent);
    return best;
}

}  // namespace orv
