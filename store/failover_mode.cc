#include "store/failover_mode.h"

#include <cstring>

namespace orv {

std::optional<failover_mode> parse_failover_mode(const char* text) {
    if (!text || !*text || std::strcmp(text, "prio") == 0) return failover_mode::priority;
    if (std::strcmp(text, "rr") == 0) return failover_mode::round_robin;
    return std::nullopt;
}

}  // namespace orv
