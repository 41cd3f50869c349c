// Lists of "host:port" texts, as a session names its further far agents: entries separated by
// commas (spaces around them allowed), an IPv6 host in brackets ("[2001:db8::1]:9000"). The host
// is not looked up here; the port must be a decimal 1..65535 or a TCP service name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orv {

struct endpoint {
    std::string host;  // without brackets
    uint16_t port = 0;
    // "host:port", "[addr]:port" for an IPv6 host: how log lines name it.
    std::string text() const;
};

// The entries of `list` in order; nullopt when one is not usable, with `bad` set to it. An empty
// or missing list gives no entries.
std::optional<std::vector<endpoint>> parse_endpoint_list(const char* list, std::string* bad);
// Exactly one "host:port" entry (spaces around it allowed); nullopt for anything else.
std::optional<endpoint> parse_endpoint(const char* text);

}  // namespace orv
