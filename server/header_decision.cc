#include "server/header_decision.h"

#include <cstdio>

namespace orv {

namespace {

uint32_t header_address(const channel_header& h) {
    return static_cast<uint32_t>(h[2]) << 24 | static_cast<uint32_t>(h[3]) << 16 | static_cast<uint32_t>(h[4]) << 8 |
           static_cast<uint32_t>(h[5]);
}

uint16_t header_port(const channel_header& h) { return static_cast<uint16_t>(h[6] << 8 | h[7]); }

std::string dotted(uint32_t a) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
    return text;
}

header_decision refusal(std::string reason) {
    header_decision d;
    d.reason = std::move(reason);
    return d;
}

}  // namespace

std::string header_target_text(const channel_header& h) {
    return dotted(header_address(h)) + ":" + std::to_string(header_port(h));
}

header_decision decide_header(const channel_header& h, const std::string& client, const std::string& subject,
                              const char* service_host, announcement_registry& registry, int64_t now_ms) {
    const std::string who = subject.empty() ? client : subject;
    if (h[0] == 1) {
        header_decision d;
        d.action = header_action::open_control;
        return d;
    }
    if (h[0] != 0 || h[1] > 1) return refusal("refused connection from " + who + ": invalid channel header");
    data_mode mode = h[1] == 1 ? data_mode::passive : data_mode::active;
    announcement granted;
    claim_result r = registry.claim(client, mode, header_address(h), header_port(h), now_ms, &granted);
    if (r != claim_result::granted)
        return refusal("refused data connection from " + who + ": " + header_target_text(h) + " " +
                       claim_result_text(r));
    header_decision d;
    if (mode == data_mode::active) {
        d.action = header_action::join_listener;
        d.token = granted.token;
        return d;
    }
    d.action = header_action::connect_to;
    if (!granted.host.empty()) d.host = granted.host;
    else d.host = header_address(h) == 0 ? (service_host ? service_host : "") : dotted(header_address(h));
    d.port = header_port(h);
    return d;
}

}  // namespace orv
