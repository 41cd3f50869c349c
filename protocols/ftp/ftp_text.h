// Pure text helpers for FTP control channels: line framing (the line filter every end that reads
// control lines calls), the command and reply lines that carry data connection addresses (PORT,
// EPRT, PASV, EPSV, 227, 229), and the replies and commands built from an address. No sockets, so
// both agents use them. Addresses and ports are in host byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orv::ftp {

// Length of the first complete line in buf, counting its CR LF; 0 while no CR LF has arrived.
// Only a CR directly followed by LF ends a line: a lone CR or a lone LF is data.
std::size_t complete_line_length(std::string_view buf);

// The longest control line (its CR LF included) an agent reads as a line.
inline constexpr std::size_t max_line = 4096;

// The line filter: what the input held so far starts with.
enum class line_status {
    line,        // a complete line of at most `limit` bytes: `length` with its CR LF
    need_more,   // an unfinished line with room to grow: wait for more input
    too_long,    // no line end within `limit` bytes: `length` covers the long line's bytes held
                 // so far, through its CR LF when that has come
    last_bytes   // the input is over and ends in an unfinished line: `length` is all of it
};

struct line_take {
    line_status status = line_status::need_more;
    std::size_t length = 0;
};

// Splits the first line off `input` (which starts where the last line taken ended);
// `input_over` says that nothing more will be added to it. Empty input is need_more.
line_take next_line(std::string_view input, bool input_over, std::size_t limit = max_line);

// True when text begins with prefix, ASCII letters compared without regard to case.
bool starts_with_nocase(std::string_view text, std::string_view prefix);

struct host_port {
    uint32_t address = 0;
    uint16_t port = 0;
    bool operator==(const host_port&) const = default;
};

// The six comma separated numbers of a PORT command or a 227 reply; params is the text after
// "PORT " or "227 ". Leading non-digits are skipped; each number is a possibly empty run of digits
// with no range check, and each of the first five must be followed by ','. Empty when fewer than six
// numbers are present or a separator is wrong.
std::optional<host_port> decode_host_port(std::string_view params);

struct eprt_params {
    int protocol = 0;      // 1 = IPv4, 2 = IPv6, ...
    uint32_t address = 0;  // only decoded for protocol 1; 0 otherwise
    uint16_t port = 0;
    std::string address6;  // protocol 2: the IPv6 address as given (checked to be one)
};

// The argument of EPRT, "<d>proto<d>address<d>port<d>" where <d> is its first character (RFC 2428).
// params is the text after "EPRT ", without the line's CR LF. For protocol 1 the address must be a
// dotted IPv4 address, for protocol 2 an IPv6 one; other protocols keep their address undecoded so
// the caller can refuse them.
// Empty when malformed.
std::optional<eprt_params> decode_eprt(std::string_view params);

// The port of a 229 reply, "... (<d><d><d>port<d>)" where <d> is the character after '('. text is
// the reply after "229 ". Empty when malformed or the port is 0 or above 65535.
std::optional<uint16_t> decode_epsv_reply(std::string_view text);

// A client's command line (with or without its CR LF) as far as data connections go.
enum class command_verb { other, port, eprt, pasv, epsv };
struct command_line {
    command_verb verb = command_verb::other;
    // port and eprt: the address parameters when they decode (PORT always as protocol 1).
    std::optional<eprt_params> active;
};
// PORT and EPRT count with the blank after them, PASV and EPSV as prefixes; letter case is ignored.
command_line parse_command(std::string_view line);

// A server's reply line (with or without its CR LF).
struct reply_line {
    int code = -1;       // the three digits it opens with; -1 when it does not open with them
    char separator = 0;  // after the code: ' ' ends a reply, '-' opens one of several lines
    // "227 " and "229 ": the passive address when the parameters decode (229: address 0).
    std::optional<host_port> passive;
};
reply_line parse_reply(std::string_view line);

// "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2).\r\n"
std::string make_227_reply(uint32_t address, uint16_t port);
// "229 Entering Extended Passive Mode (|||port|)\r\n"
std::string make_229_reply(uint16_t port);
// "PORT h1,h2,h3,h4,p1,p2\r\n"
std::string make_port_command(uint32_t address, uint16_t port);
// "EPRT |1|a.b.c.d|port|\r\n"
std::string make_eprt_command(uint32_t address, uint16_t port);

}  // namespace orv::ftp
