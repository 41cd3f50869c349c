// How a session's connections choose among its far agents, as its `failover` field names it.
#pragma once

#include <optional>

namespace orv {

enum class failover_mode { priority, round_robin };

// "prio" (or a missing or empty field) and "rr"; nullopt for anything else.
std::optional<failover_mode> parse_failover_mode(const char* text);

}  // namespace orv
