#include "protocols/ftp/ftp_text.h"

#include <arpa/inet.h>

namespace orv::ftp {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Decimal digits only, at least one, value within max.
std::optional<uint32_t> parse_bounded(std::string_view s, uint32_t max) {
    if (s.empty() || s.size() > 10) return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        if (!is_digit(c)) return std::nullopt;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > max) return std::nullopt;
    return static_cast<uint32_t>(v);
}

std::optional<uint32_t> parse_dotted_quad(std::string_view s) {
    uint32_t address = 0;
    for (int i = 0; i < 4; ++i) {
        std::size_t dot = (i < 3) ? s.find('.') : s.size();
        if (dot == std::string_view::npos) return std::nullopt;
        auto part = parse_bounded(s.substr(0, dot), 255);
        if (!part) return std::nullopt;
        address = (address << 8) | *part;
        s.remove_prefix(i < 3 ? dot + 1 : dot);
    }
    return address;
}

std::string dotted(uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." + std::to_string((a >> 8) & 0xFF) +
           "." + std::to_string(a & 0xFF);
}

std::string comma_six(uint32_t a, uint16_t p) {
    return std::to_string(a >> 24) + "," + std::to_string((a >> 16) & 0xFF) + "," + std::to_string((a >> 8) & 0xFF) +
           "," + std::to_string(a & 0xFF) + "," + std::to_string(p >> 8) + "," + std::to_string(p & 0xFF);
}

}  // namespace

std::size_t complete_line_length(std::string_view buf) {
    for (std::size_t i = 0; i + 1 < buf.size(); ++i)
        if (buf[i] == '\r' && buf[i + 1] == '\n') return i + 2;
    return 0;
}

line_take next_line(std::string_view input, bool input_over, std::size_t limit) {
    std::size_t n = complete_line_length(input);
    if (n > 0 && n <= limit) return {line_status::line, n};
    if (n > limit || input.size() >= limit) return {line_status::too_long, n > 0 ? n : input.size()};
    if (input_over && !input.empty()) return {line_status::last_bytes, input.size()};
    return {line_status::need_more, 0};
}

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (lower(text[i]) != lower(prefix[i])) return false;
    return true;
}

std::optional<host_port> decode_host_port(std::string_view params) {
    std::size_t i = 0;
    while (i < params.size() && !is_digit(params[i])) ++i;
    // Unsigned so that overlong numbers wrap the way a 32-bit int would, without undefined behaviour.
    uint32_t n[6] = {};
    for (int k = 0; k < 6; ++k) {
        if (i >= params.size()) return std::nullopt;  // fewer than six numbers
        while (i < params.size() && is_digit(params[i])) n[k] = n[k] * 10 + static_cast<uint32_t>(params[i++] - '0');
        if (k < 5 && (i >= params.size() || params[i] != ',')) return std::nullopt;
        ++i;  // the separator (or whatever follows the sixth number)
    }
    host_port hp;
    hp.address = (n[0] << 24) | (n[1] << 16) | (n[2] << 8) | n[3];
    hp.port = static_cast<uint16_t>((n[4] << 8) | n[5]);
    return hp;
}

std::optional<eprt_params> decode_eprt(std::string_view params) {
    // Tolerate trailing blanks some clients leave before CR LF.
    while (!params.empty() && (params.back() == ' ' || params.back() == '\t')) params.remove_suffix(1);
    if (params.size() < 2) return std::nullopt;
    const char d = params[0];
    if (d < 33 || d > 126 || is_digit(d) || d == '.') return std::nullopt;
    if (params.back() != d) return std::nullopt;
    std::string_view body = params.substr(1, params.size() - 2);  // proto<d>addr<d>port
    std::size_t a = body.find(d);
    if (a == std::string_view::npos) return std::nullopt;
    std::size_t b = body.find(d, a + 1);
    if (b == std::string_view::npos || body.find(d, b + 1) != std::string_view::npos) return std::nullopt;
    auto proto = parse_bounded(body.substr(0, a), 255);
    auto port = parse_bounded(body.substr(b + 1), 65535);
    std::string_view addr = body.substr(a + 1, b - a - 1);
    if (!proto || *proto == 0 || !port || *port == 0 || addr.empty()) return std::nullopt;
    eprt_params r;
    r.protocol = static_cast<int>(*proto);
    r.port = static_cast<uint16_t>(*port);
    if (r.protocol == 1) {
        auto a4 = parse_dotted_quad(addr);
        if (!a4) return std::nullopt;
        r.address = *a4;
    } else if (r.protocol == 2) {
        in6_addr a6{};
        r.address6 = std::string(addr);
        if (inet_pton(AF_INET6, r.address6.c_str(), &a6) != 1) return std::nullopt;
    }
    return r;
}

std::optional<uint16_t> decode_epsv_reply(std::string_view text) {
    std::size_t open = text.find('(');
    if (open == std::string_view::npos || open + 1 >= text.size()) return std::nullopt;
    std::string_view rest = text.substr(open + 1);
    const char d = rest[0];
    if (d < 33 || d > 126 || is_digit(d)) return std::nullopt;
    if (rest.size() < 3 || rest[1] != d || rest[2] != d) return std::nullopt;
    rest.remove_prefix(3);
    std::size_t end = rest.find(d);
    if (end == std::string_view::npos || end + 1 >= rest.size() || rest[end + 1] != ')') return std::nullopt;
    auto port = parse_bounded(rest.substr(0, end), 65535);
    if (!port || *port == 0) return std::nullopt;
    return static_cast<uint16_t>(*port);
}

namespace {

std::string_view without_line_end(std::string_view line) {
    return line.size() >= 2 && line.substr(line.size() - 2) == "\r\n" ? line.substr(0, line.size() - 2) : line;
}

}  // namespace

command_line parse_command(std::string_view line) {
    std::string_view text = without_line_end(line);
    command_line c;
    if (starts_with_nocase(text, "PORT ")) {
        c.verb = command_verb::port;
        if (std::optional<host_port> hp = decode_host_port(text.substr(5))) c.active = eprt_params{1, hp->address, hp->port, {}};
    } else if (starts_with_nocase(text, "EPRT ")) {
        c.verb = command_verb::eprt;
        c.active = decode_eprt(text.substr(5));
    } else if (starts_with_nocase(text, "PASV")) {
        c.verb = command_verb::pasv;
    } else if (starts_with_nocase(text, "EPSV")) {
        c.verb = command_verb::epsv;
    }
    return c;
}

reply_line parse_reply(std::string_view line) {
    std::string_view text = without_line_end(line);
    reply_line r;
    if (text.size() < 4 || !is_digit(text[0]) || !is_digit(text[1]) || !is_digit(text[2])) return r;
    r.code = (text[0] - '0') * 100 + (text[1] - '0') * 10 + (text[2] - '0');
    r.separator = text[3];
    if (r.separator != ' ') return r;
    if (r.code == 227) {
        r.passive = decode_host_port(text.substr(4));
    } else if (r.code == 229) {
        if (std::optional<uint16_t> port = decode_epsv_reply(text.substr(4))) r.passive = host_port{0, *port};
    }
    return r;
}

std::string make_227_reply(uint32_t address, uint16_t port) {
    return "227 Entering Passive Mode (" + comma_six(address, port) + ").\r\n";
}

std::string make_229_reply(uint16_t port) {
    return "229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)\r\n";
}

std::string make_port_command(uint32_t address, uint16_t port) { return "PORT " + comma_six(address, port) + "\r\n"; }

std::string make_eprt_command(uint32_t address, uint16_t port) {
    return "EPRT |1|" + dotted(address) + "|" + std::to_string(port) + "|\r\n";
}

}  // namespace orv::ftp
