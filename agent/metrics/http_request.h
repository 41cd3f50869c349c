// The little HTTP the metrics endpoint understands: one request head (request line and header
// lines, up to an empty line), at most max_head bytes, and the response it gets.
#pragma once

#include <string>
#include <string_view>

namespace orv::metrics {

// The most a request head may take; a longer one is not served.
inline constexpr size_t max_head = 4096;

enum class head_status {
    incomplete,  // no empty line yet, and under max_head: read on
    complete,    // method and path are set
    invalid      // not an HTTP/1.x request, or too large: close without an answer
};

struct request_head {
    head_status status = head_status::incomplete;
    std::string method;
    std::string path;  // the target without its query
};

// Looks at everything received so far.
request_head parse_head(std::string_view received);

// What the endpoint answers: status code, one-line reason text or body, content type.
struct response {
    int status = 404;
    std::string content_type = "text/plain; charset=utf-8";
    std::string body;
};

// The bytes of `r` on the wire (HTTP/1.1, Connection: close); a HEAD request gets the head only.
std::string serialize(const response& r, bool head_only);

}  // namespace orv::metrics
