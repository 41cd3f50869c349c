// Socket addresses: the abstract `address` that connect and bind take, and `inetaddr`, an IPv4
// or IPv6 address and port held as a socket address in network byte order. IPv4 texts are
// "a.b.c.d:port"; IPv6 ones "[addr]:port", as in URLs. A host text with a colon is an IPv6
// address (never looked up); IPv4-mapped IPv6 addresses read back as the IPv4 address.
//
// Host texts of digits and dots only are converted, never looked up ("hostname \"%s\" unparsable\n"
// when that fails); any other text is looked up by name ("hostname unknown" with the error). Port
// texts of digits only (the empty text too) are converted; any other text is a TCP service name,
// and an unknown one gives port 0xFFFF without a message, as does a number above 65535 (it is
// not wrapped into range). A failed host leaves the address 0xFFFFFFFF with the family still
// AF_INET, as the connection then fails where it is used.
//
// port_number and host_resolves tell beforehand whether a text names a usable port or address;
// both programs use them to refuse a configuration before it can bind or connect wrongly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <netinet/in.h>
#include <sys/socket.h>

#include "net/reporter.h"

namespace orv {

class address : virtual public reporter, virtual public ok_flag {
public:
    virtual ~address() = default;
    virtual int length() const = 0;
    virtual const sockaddr* sockaddr_ptr() const = 0;
    virtual int family() const = 0;
    virtual std::string text() const = 0;
    virtual bool is_valid() const = 0;
};

class inetaddr : public address {
public:
    static constexpr uint16_t unknown_service = 0xFFFF;

    // Host and port texts, by the rules above.
    inetaddr(const reporter& parent, const char* host, const char* port);
    // Host text and a port already in network order.
    inetaddr(const reporter& parent, const char* host, uint16_t port_net);
    // IPv4 address and port, both in network order.
    inetaddr(const reporter& parent, uint32_t addr_net, uint16_t port_net);
    // Copies an AF_INET or AF_INET6 sockaddr; anything else (or null) gives an invalid address.
    inetaddr(const reporter& parent, const sockaddr* sa);
    inetaddr(const inetaddr& other);
    inetaddr& operator=(const inetaddr& other);
    ~inetaddr() override = default;

    int length() const override;  // 16 for IPv4, 28 for IPv6
    const sockaddr* sockaddr_ptr() const override;
    int family() const override;        // AF_INET, AF_INET6, or 0 when invalid
    std::string text() const override;  // "a.b.c.d:port", "[addr]:port" or "invalid address"
    bool is_valid() const override;

    // The IPv4 address (network order); INADDR_NONE for an IPv6 one.
    uint32_t addr_net() const;
    uint16_t port_net() const;
    std::string dotted() const;  // the address alone; "invalid address" when invalid

    // The conversions used by the constructors, reporting through `r`.
    static uint32_t parse_host(const reporter& r, const char* host);
    static uint16_t parse_port(const char* port);

    // The port (host order) of a decimal text 1..65535 or a known TCP service name; nullopt for
    // anything else, null and the empty text included.
    static std::optional<uint16_t> port_number(const char* port);
    // True when the host text gives a usable address: a dotted IPv4 address, an IPv6 address,
    // or a name the resolver knows. Quiet: it reports nothing.
    static bool host_resolves(const char* host);

private:
    void set_v4(uint32_t addr_net, uint16_t port_net);

    sockaddr_storage ss_{};
};

}  // namespace orv
