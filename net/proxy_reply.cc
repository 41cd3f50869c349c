#include "net/proxy_reply.h"

namespace orv {

namespace {

// Just past the first blank line, or 0 while there is none. Whichever line-end style comes first
// ends the header: bytes after it already belong to the tunnel.
size_t find_header_end(std::string_view text) {
    size_t crlf = text.find("\r\n\r\n");
    size_t lf = text.find("\n\n");
    size_t crlf_end = crlf == std::string_view::npos ? std::string_view::npos : crlf + 4;
    size_t lf_end = lf == std::string_view::npos ? std::string_view::npos : lf + 2;
    size_t end = crlf_end < lf_end ? crlf_end : lf_end;
    return end == std::string_view::npos ? 0 : end;
}

proxy_reply refusal(size_t header_end, std::string message) {
    proxy_reply r;
    r.state = proxy_reply_state::refused;
    r.header_end = header_end;
    r.message = std::move(message);
    return r;
}

}  // namespace

proxy_reply parse_proxy_reply(std::string_view received) {
    size_t header_end = find_header_end(received);
    if (header_end == 0) return {};
    std::string_view status = received.substr(0, received.find('\n'));
    if (!status.empty() && status.back() == '\r') status.remove_suffix(1);
    size_t first = status.find(' ');
    if (first == std::string_view::npos) return refusal(header_end, "bad PROXY response line. no first space\n");
    size_t second = status.find(' ', first + 1);
    if (second == std::string_view::npos) return refusal(header_end, "bad PROXY response line. no second space\n");
    if (status.substr(first + 1, second - first - 1) != "200") {
        // The log line is a C string: it shows the status line up to a NUL byte.
        std::string shown(status.substr(0, status.find('\0')));
        return refusal(header_end, "unable to connect. proxy gave error: \"" + shown + "\"\n");
    }
    proxy_reply r;
    r.state = proxy_reply_state::tunnel_open;
    r.header_end = header_end;
    return r;
}

}  // namespace orv
