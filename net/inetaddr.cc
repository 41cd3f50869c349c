#include "net/inetaddr.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <optional>

namespace orv {

static bool all_of_chars(const char* text, const char* allowed) { return text[strspn(text, allowed)] == '\0'; }

// A host text with a colon: an IPv6 address, or nothing (never a name).
static bool ipv6_text(const char* host, in6_addr& out) {
    return host && std::strchr(host, ':') && inet_pton(AF_INET6, host, &out) == 1;
}

// The address of a host text in network order; nullopt when there is none, with the resolver's
// code in `rc` (0 when the text was dotted and would not convert).
static std::optional<uint32_t> lookup_host(const char* host, int& rc) {
    rc = 0;
    if (all_of_chars(host, "0123456789.")) {
        in_addr_t a = inet_addr(host);
        if (a == INADDR_NONE) return std::nullopt;
        return a;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    rc = getaddrinfo(host, nullptr, &hints, &result);
    if (rc != 0 || !result) {
        if (rc == 0) rc = EAI_NONAME;
        return std::nullopt;
    }
    uint32_t a = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(result);
    return a;
}

uint32_t inetaddr::parse_host(const reporter& r, const char* host) {
    if (!host) host = "";
    int rc = 0;
    std::optional<uint32_t> a = lookup_host(host, rc);
    if (a) return *a;
    if (rc == 0) report(r, "hostname \"%s\" unparsable\n", host);
    // The resolver has its own error codes and texts; a system failure carries errno.
    else if (rc == EAI_SYSTEM) report_sockerr(r, "hostname unknown");
    else report(r, "%s:%ld:%s\n", "hostname unknown", static_cast<long>(rc), gai_strerror(rc));
    return INADDR_NONE;
}

bool inetaddr::host_resolves(const char* host) {
    in6_addr v6{};
    if (ipv6_text(host, v6)) return true;
    int rc = 0;
    return host && lookup_host(host, rc).has_value();
}

static std::optional<uint16_t> service_port(const char* port) {
    servent result{};
    servent* found = nullptr;
    char scratch[1024];
    if (getservbyname_r(port, "tcp", &result, scratch, sizeof scratch, &found) != 0 || !found) return std::nullopt;
    return ntohs(static_cast<uint16_t>(found->s_port));
}

uint16_t inetaddr::parse_port(const char* port) {
    if (!port) port = "";
    if (all_of_chars(port, "0123456789")) {
        unsigned long v = strtoul(port, nullptr, 10);
        return v > 0xFFFF ? unknown_service : htons(static_cast<uint16_t>(v));
    }
    std::optional<uint16_t> p = service_port(port);
    return p ? htons(*p) : unknown_service;
}

std::optional<uint16_t> inetaddr::port_number(const char* port) {
    if (!port || !*port) return std::nullopt;
    if (all_of_chars(port, "0123456789")) {
        unsigned long v = strtoul(port, nullptr, 10);
        if (v < 1 || v > 0xFFFF) return std::nullopt;
        return static_cast<uint16_t>(v);
    }
    std::optional<uint16_t> p = service_port(port);
    if (p && *p == 0) return std::nullopt;
    return p;
}

void inetaddr::set_v4(uint32_t addr_net, uint16_t port_net) {
    ss_ = {};
    auto* sin = reinterpret_cast<sockaddr_in*>(&ss_);
    sin->sin_family = AF_INET;
    sin->sin_port = port_net;
    sin->sin_addr.s_addr = addr_net;
}

inetaddr::inetaddr(const reporter& parent, const char* host, const char* port)
    : inetaddr(parent, host, parse_port(port)) {}

inetaddr::inetaddr(const reporter& parent, const char* host, uint16_t port_net) {
    adopt_sink(parent);
    in6_addr v6{};
    if (ipv6_text(host, v6)) {
        auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss_);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = port_net;
        sin6->sin6_addr = v6;
        return;
    }
    set_v4(parse_host(*this, host), port_net);
}

inetaddr::inetaddr(const reporter& parent, uint32_t addr_net, uint16_t port_net) {
    adopt_sink(parent);
    set_v4(addr_net, port_net);
}

inetaddr::inetaddr(const reporter& parent, const sockaddr* sa) {
    adopt_sink(parent);
    if (sa && sa->sa_family == AF_INET) {
        memcpy(&ss_, sa, sizeof(sockaddr_in));
    } else if (sa && sa->sa_family == AF_INET6) {
        const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(sa);
        if (IN6_IS_ADDR_V4MAPPED(&sin6->sin6_addr)) {
            uint32_t a;
            memcpy(&a, &sin6->sin6_addr.s6_addr[12], 4);
            set_v4(a, sin6->sin6_port);
        } else {
            memcpy(&ss_, sa, sizeof(sockaddr_in6));
        }
    }
}

inetaddr::inetaddr(const inetaddr& other) : reporter(other), ok_flag(other), address(other), ss_(other.ss_) {}

inetaddr& inetaddr::operator=(const inetaddr& other) {
    reporter::operator=(other);
    ss_ = other.ss_;
    return *this;
}

int inetaddr::length() const {
    return static_cast<int>(ss_.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
}

const sockaddr* inetaddr::sockaddr_ptr() const { return reinterpret_cast<const sockaddr*>(&ss_); }

int inetaddr::family() const { return is_valid() ? ss_.ss_family : 0; }

bool inetaddr::is_valid() const { return ss_.ss_family == AF_INET || ss_.ss_family == AF_INET6; }

uint32_t inetaddr::addr_net() const {
    return ss_.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in*>(&ss_)->sin_addr.s_addr : INADDR_NONE;
}

uint16_t inetaddr::port_net() const {
    if (ss_.ss_family == AF_INET6) return reinterpret_cast<const sockaddr_in6*>(&ss_)->sin6_port;
    return reinterpret_cast<const sockaddr_in*>(&ss_)->sin_port;
}

std::string inetaddr::dotted() const {
    if (!is_valid()) return "invalid address";
    char text[INET6_ADDRSTRLEN];
    if (ss_.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&ss_)->sin6_addr, text, sizeof text);
    else
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&ss_)->sin_addr, text, sizeof text);
    return text;
}

std::string inetaddr::text() const {
    if (!is_valid()) return "invalid address";
    std::string port = std::to_string(ntohs(port_net()));
    return ss_.ss_family == AF_INET6 ? "[" + dotted() + "]:" + port : dotted() + ":" + port;
}

}  // namespace orv
