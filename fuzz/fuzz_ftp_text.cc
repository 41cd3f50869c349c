// The FTP control-channel text helpers, on bytes from either end of a control connection: the
// line splitter over the whole input, then every address decoder on every line. Whatever decodes
// must come back unchanged through the matching encoder.
#include <cctype>

#include "fuzz/fuzz_support.h"
#include "protocols/ftp/ftp_text.h"

namespace {

using namespace orv::ftp;

bool manual_prefix(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

std::string_view without_line_end(std::string_view s) {
    FUZZ_CHECK(s.size() >= 2 && s.substr(s.size() - 2) == "\r\n");
    return s.substr(0, s.size() - 2);
}

void check_host_port(std::string_view params) {
    std::optional<host_port> hp = decode_host_port(params);
    if (!hp) return;
    // Numbers above 255 wrap without a range check, so only the encoders' own text must round-trip.
    std::string port = make_port_command(hp->address, hp->port);
    FUZZ_CHECK(decode_host_port(without_line_end(port).substr(5)) == hp);
    std::string reply = make_227_reply(hp->address, hp->port);
    FUZZ_CHECK(decode_host_port(without_line_end(reply).substr(4)) == hp);
}

void check_eprt(std::string_view params) {
    std::optional<eprt_params> e = decode_eprt(params);
    if (!e) return;
    FUZZ_CHECK(e->protocol >= 1 && e->protocol <= 255 && e->port != 0);
    if (e->protocol != 1) {
        FUZZ_CHECK(e->address == 0);
        return;
    }
    std::string command = make_eprt_command(e->address, e->port);
    std::optional<eprt_params> again = decode_eprt(without_line_end(command).substr(5));
    FUZZ_CHECK(again && again->protocol == 1 && again->address == e->address && again->port == e->port);
}

void check_epsv(std::string_view text) {
    std::optional<uint16_t> port = decode_epsv_reply(text);
    if (!port) return;
    FUZZ_CHECK(*port != 0);
    std::string reply = make_229_reply(*port);
    FUZZ_CHECK(decode_epsv_reply(without_line_end(reply).substr(4)) == port);
}

// The parsers of whole lines agree with the decoders they are made of.
void check_parsers(std::string_view text) {
    command_line c = parse_command(text);
    if (c.active) FUZZ_CHECK(c.verb == command_verb::port || c.verb == command_verb::eprt);
    reply_line r = parse_reply(text);
    if (r.passive) FUZZ_CHECK(r.separator == ' ' && (r.code == 227 || r.code == 229));
    FUZZ_CHECK(r.code >= -1 && r.code <= 999);
}

void check_line(std::string_view text) {
    check_parsers(text);
    for (std::string_view prefix : {"PORT ", "EPRT ", "227 ", "229 ", "PASV", "EPSV"})
        FUZZ_CHECK(starts_with_nocase(text, prefix) == manual_prefix(text, prefix));
    // The agents decode after the prefix; the decoders must also cope with any other cut.
    for (size_t cut : {0, 4, 5}) {
        if (cut > text.size()) break;
        std::string_view params = text.substr(cut);
        check_host_port(params);
        check_eprt(params);
        check_epsv(params);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view buf = orv::fuzz::as_text(data, size);
    for (;;) {
        size_t n = complete_line_length(buf);
        if (n == 0) {
            FUZZ_CHECK(buf.find("\r\n") == std::string_view::npos);
            break;
        }
        FUZZ_CHECK(n >= 2 && n <= buf.size());
        FUZZ_CHECK(buf.substr(0, n).find("\r\n") == n - 2);
        check_line(buf.substr(0, n - 2));
        buf.remove_prefix(n);
    }
    check_line(buf);  // an unfinished last line
    // The line filter over the same input, with a small limit so that long lines occur: every
    // take is within the input, lines end in CR LF, and the takes cover the input.
    std::string_view all = orv::fuzz::as_text(data, size);
    for (std::size_t taken = 0;;) {
        line_take t = next_line(all.substr(taken), true, 64);
        if (t.status == line_status::need_more) {
            FUZZ_CHECK(taken == all.size());
            break;
        }
        FUZZ_CHECK(t.length > 0 && t.length <= all.size() - taken);
        if (t.status == line_status::line) FUZZ_CHECK(t.length <= 64 && all.substr(taken, t.length).ends_with("\r\n"));
        taken += t.length;
    }
    return 0;
}
