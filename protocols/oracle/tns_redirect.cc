#include "protocols/oracle/tns_redirect.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstring>

namespace orv::tns {

namespace {

constexpr std::string_view address_open = "(ADDRESS=(PROTOCOL=tcp)(DEV=";
constexpr std::string_view host_open = ")(HOST=";
constexpr std::string_view port_open = ")(PORT=";
constexpr std::string_view address_close = "))";
// The shortest complete text from its '(': every fixed part, with empty values.
constexpr size_t shortest_text = address_open.size() + host_open.size() + port_open.size() + address_close.size() + 1;

size_t read16(std::string_view b, size_t at) {
    return static_cast<size_t>(static_cast<unsigned char>(b[at])) << 8 | static_cast<unsigned char>(b[at + 1]);
}

void write16(std::string& b, size_t at, size_t value) {
    b[at] = static_cast<char>(value >> 8 & 0xFF);
    b[at + 1] = static_cast<char>(value & 0xFF);
}

size_t next_close(std::string_view b, size_t from) {
    size_t at = b.find(')', from);
    return at == std::string_view::npos ? b.size() : at;
}

bool follows(std::string_view b, size_t at, std::string_view text) { return b.substr(at, text.size()) == text; }

redirect_scan malformed(const char* message) {
    redirect_scan r;
    r.state = scan_state::malformed;
    r.message = message;
    return r;
}

// Decimal as the C library's atoi reads it (leading blanks, a sign, digits up to the first
// other character), kept to 16 bits; wrapping arithmetic instead of atoi's overflow.
uint16_t port_number(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    uint16_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
        value = static_cast<uint16_t>(value * 10 + (text[i] - '0'));
    return negative ? static_cast<uint16_t>(-value) : value;
}

// The redirect whose "(ADDRESS=(PROTOCOL=tcp)(DEV=" starts at `open`.
redirect_scan read_redirect(std::string_view b, size_t open) {
    size_t dev_end = next_close(b, open + address_open.size());
    if (b.size() - dev_end < host_open.size() + 1) return malformed("tns redirect too short (hosts)\n");
    if (!follows(b, dev_end, host_open)) return malformed("unexpected response (hosts) from oracle server\n");
    size_t host_begin = dev_end + host_open.size();
    size_t host_end = next_close(b, host_begin);
    if (b.size() - host_end < port_open.size() + 1) return malformed("tns redirect too short (ports)\n");
    if (!follows(b, host_end, port_open)) return malformed("unexpected response (ports) from oracle server\n");
    size_t port_begin = host_end + port_open.size();
    size_t port_end = next_close(b, port_begin);
    if (b.size() - port_end < address_close.size()) return malformed("tns redirect too short (ends)\n");
    if (!follows(b, port_end, address_close)) return malformed("unexpected response (ends) from oracle server\n");
    if (host_end - host_begin >= max_text || port_end - port_begin >= max_text)
        return malformed("unexpected response (length) from oracle server\n");
    redirect_scan r;
    r.state = scan_state::redirect;
    r.host_begin = host_begin;
    r.host_end = host_end;
    r.port_begin = port_begin;
    r.port_end = port_end;
    r.host_text = std::string(b.substr(host_begin, host_end - host_begin));
    r.address_net = ::inet_addr(r.host_text.c_str());
    r.port = port_number(b.substr(port_begin, port_end - port_begin));
    return r;
}

// The offset of the packet whose body (past its 8-byte header) holds [begin, end), walking the
// framing from byte 0; npos when the span crosses a packet boundary, overlaps a header or the
// framing cannot be followed that far.
size_t packet_holding(std::string_view b, size_t begin, size_t end) {
    for (size_t at = 0; at + 2 <= b.size();) {
        size_t length = read16(b, at);
        if (length < header_size) return std::string_view::npos;
        if (begin < at + length) return begin >= at + header_size && end <= at + length ? at : std::string_view::npos;
        at += length;
    }
    return std::string_view::npos;
}

}  // namespace

size_t packet_length(std::string_view bytes) { return read16(bytes, 0); }

redirect_scan scan_redirect(std::string_view b) {
    if (b.size() < 2 || b.size() < packet_length(b)) return redirect_scan{};
    for (size_t open = b.find('('); open != std::string_view::npos; open = b.find('(', open + 1)) {
        if (b.size() - open < shortest_text) break;
        if (follows(b, open, address_open)) return read_redirect(b, open);
    }
    redirect_scan none;
    none.state = scan_state::no_redirect;
    return none;
}

rewrite_result rewrite_redirect(std::string_view b, const redirect_scan& found, std::string_view host, uint16_t port) {
    rewrite_result r;
    size_t packet = packet_holding(b, found.host_begin, found.port_end);
    if (packet == std::string_view::npos) {
        r.message = "tns redirect not inside one packet, passed unchanged\n";
        return r;
    }
    std::string replacement = std::string(host) + std::string(port_open) + std::to_string(port);
    size_t replaced = found.port_end - found.host_begin;
    size_t length = read16(b, packet) + replacement.size() - replaced;
    // A redirect packet's data length changes with the text when the text lies in that data.
    size_t data_at = packet + header_size + 2;
    bool redirect_packet = static_cast<unsigned char>(b[packet + 4]) == redirect_type &&
                           read16(b, packet) >= header_size + 2 && found.host_begin >= data_at &&
                           found.port_end <= data_at + read16(b, packet + header_size);
    size_t data_length = redirect_packet ? read16(b, packet + header_size) + replacement.size() - replaced : 0;
    if (length > max_packet || data_length > max_packet) {
        r.message = "tns redirect rewrite longer than a packet may be, passed unchanged\n";
        return r;
    }
    std::string out;
    out.reserve(b.size() + replacement.size());
    out.append(b.substr(0, found.host_begin)).append(replacement).append(b.substr(found.port_end));
    write16(out, packet, length);
    if (redirect_packet) write16(out, packet + header_size, data_length);
    r.bytes = std::move(out);
    return r;
}

}  // namespace orv::tns
