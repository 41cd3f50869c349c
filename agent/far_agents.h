// The far agents of a session: server:serverport first, then the session's further ones, and
// the order in which a new connection tries them.
//
// A far agent that refuses the TCP connect, does not answer in time or fails the handshake is
// passed over for `pass_over_seconds`: connections try the others first, and it is tried again
// once that time is over (or when every other one is passed over too). The record is the
// process's, shared by every session and every reload, because a far agent that is down is down
// for all of them. One line says when a far agent is passed over and one when it is back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "net/endpoint_list.h"
#include "store/failover_mode.h"
#include "store/session_fields.h"

namespace orv {

class reporter;

class far_agent_set {
public:
    // From a session whose far agents and mode have been checked (connection_data does).
    explicit far_agent_set(const session_record& s);

    const std::vector<endpoint>& agents() const { return agents_; }
    failover_mode mode() const { return mode_; }

    // The indexes of agents() in the order a new connection tries them: by priority, or turning
    // by one each call in round robin; those passed over last.
    std::vector<size_t> order(int64_t now_ms);

private:
    std::vector<endpoint> agents_;
    failover_mode mode_ = failover_mode::priority;
    size_t next_ = 0;
};

class far_agent_health {
public:
    static constexpr int pass_over_seconds = 30;

    static far_agent_health& process();

    bool passed_over(const std::string& key, int64_t now_ms) const;
    // A failed connect, time-out or handshake through `key` ("host:port"): passed over from now.
    // Writes the line when this begins a pass-over.
    void failed(const reporter& r, const std::string& key, int64_t now_ms);
    // A connection through `key` was established; writes the line when it had been passed over.
    void worked(const reporter& r, const std::string& key);
    // How many far agents are passed over now (for health checks and metrics).
    size_t passed_over_count(int64_t now_ms) const;

private:
    struct state {
        bool down = false;
        int64_t until_ms = 0;
    };
    std::unordered_map<std::string, state> agents_;
};

}  // namespace orv
