#include "agent/metrics/http_request.h"

namespace orv::metrics {

namespace {

bool is_token_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

const char* reason_phrase(int status) {
    switch (status) {
        case 200: return "OK";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 503: return "Service Unavailable";
        default: return "Error";
    }
}

}  // namespace

request_head parse_head(std::string_view received) {
    request_head h;
    // A head ends with an empty line; bare LF line ends are taken too, as most servers do.
    size_t end = received.find("\r\n\r\n");
    size_t lf_end = received.find("\n\n");
    if (end == std::string_view::npos || (lf_end != std::string_view::npos && lf_end < end)) end = lf_end;
    if (end == std::string_view::npos || end > max_head) {
        h.status = received.size() > max_head ? head_status::invalid : head_status::incomplete;
        // A request line that cannot become HTTP is refused before the head is complete.
        if (h.status == head_status::incomplete) {
            for (char c : received.substr(0, received.find(' '))) {
                if (!is_token_char(c) && c != '\r' && c != '\n') h.status = head_status::invalid;
            }
        }
        return h;
    }
    std::string_view line = received.substr(0, received.find('\n'));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t sp1 = line.find(' ');
    size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp1 == 0 || sp2 == std::string_view::npos || sp2 == sp1 + 1) {
        h.status = head_status::invalid;
        return h;
    }
    std::string_view method = line.substr(0, sp1);
    std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string_view version = line.substr(sp2 + 1);
    bool method_ok = true;
    for (char c : method) method_ok = method_ok && is_token_char(c);
    if (!method_ok || target.front() != '/' || (version != "HTTP/1.0" && version != "HTTP/1.1")) {
        h.status = head_status::invalid;
        return h;
    }
    h.status = head_status::complete;
    h.method = std::string(method);
    h.path = std::string(target.substr(0, target.find('?')));
    return h;
}

std::string serialize(const response& r, bool head_only) {
    std::string out = "HTTP/1.1 " + std::to_string(r.status) + " " + reason_phrase(r.status) + "\r\n";
    out += "Content-Type: " + r.content_type + "\r\n";
    out += "Content-Length: " + std::to_string(r.body.size()) + "\r\n";
    if (r.status == 405) out += "Allow: GET, HEAD\r\n";
    out += "Connection: close\r\n\r\n";
    if (!head_only) out += r.body;
    return out;
}

}  // namespace orv::metrics
