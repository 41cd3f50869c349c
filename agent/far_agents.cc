#include "agent/far_agents.h"

#include <algorithm>

#include "agent/metrics/registry.h"
#include "net/inetaddr.h"
#include "net/reporter.h"

namespace orv {

far_agent_set::far_agent_set(const session_record& s) {
    endpoint first;
    first.host = s.server ? s.server : "";
    if (first.host.size() > 2 && first.host.front() == '[' && first.host.back() == ']')
        first.host = first.host.substr(1, first.host.size() - 2);
    first.port = inetaddr::port_number(s.serverport).value_or(0);
    agents_.push_back(first);
    if (std::optional<std::vector<endpoint>> more = parse_endpoint_list(s.faragents, nullptr))
        agents_.insert(agents_.end(), more->begin(), more->end());
    mode_ = parse_failover_mode(s.failover).value_or(failover_mode::priority);
}

std::vector<size_t> far_agent_set::order(int64_t now_ms) {
    size_t n = agents_.size();
    size_t start = 0;
    if (mode_ == failover_mode::round_robin && n > 1) start = next_++ % n;
    std::vector<size_t> out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) out.push_back((start + i) % n);
    if (n > 1) {
        const far_agent_health& health = far_agent_health::process();
        std::stable_partition(out.begin(), out.end(),
                              [&](size_t i) { return !health.passed_over(agents_[i].text(), now_ms); });
    }
    return out;
}

far_agent_health& far_agent_health::process() {
    static far_agent_health health;
    return health;
}

bool far_agent_health::passed_over(const std::string& key, int64_t now_ms) const {
    auto it = agents_.find(key);
    return it != agents_.end() && it->second.down && now_ms < it->second.until_ms;
}

size_t far_agent_health::passed_over_count(int64_t now_ms) const {
    size_t n = 0;
    for (const auto& [key, st] : agents_) n += st.down && now_ms < st.until_ms;
    return n;
}

void far_agent_health::failed(const reporter& r, const std::string& key, int64_t now_ms) {
    state& st = agents_[key];
    bool was_down = st.down;
    st.down = true;
    st.until_ms = now_ms + static_cast<int64_t>(pass_over_seconds) * 1000;
    if (!was_down) {
        report(r, "WAR far agent %s passed over for %d seconds\n", key.c_str(), pass_over_seconds);
        ++metrics::process().far_agent_pass_overs;
    }
}

void far_agent_health::worked(const reporter& r, const std::string& key) {
    auto it = agents_.find(key);
    if (it == agents_.end() || !it->second.down) return;
    agents_.erase(it);
    report(r, "INF far agent %s is back\n", key.c_str());
}

}  // namespace orv
