// The HTTPS proxy's reply to CONNECT, arriving in pieces as the socket reads it (the first input
// byte sets the piece size, the rest is the reply). The verdict taken at the first complete header
// must be the one the whole text gives, and the header must end at its first blank line.
#include "fuzz/fuzz_support.h"
#include "net/proxy_reply.h"
#include "net/proxysocket.h"

namespace {

using orv::proxy_reply;
using orv::proxy_reply_state;

bool has_blank_line(std::string_view text) {
    return text.find("\r\n\r\n") != std::string_view::npos || text.find("\n\n") != std::string_view::npos;
}

void check_complete(std::string_view received, const proxy_reply& r) {
    FUZZ_CHECK(r.header_end > 0 && r.header_end <= received.size());
    std::string_view header = received.substr(0, r.header_end);
    FUZZ_CHECK(header.ends_with("\n\n") || header.ends_with("\r\n\r\n"));
    FUZZ_CHECK(!has_blank_line(header.substr(0, header.size() - 1)));
    if (r.state == proxy_reply_state::refused) {
        FUZZ_CHECK(!r.message.empty() && r.message.back() == '\n');
        return;
    }
    FUZZ_CHECK(r.message.empty());
    std::string_view status = header.substr(0, header.find('\n'));
    size_t first = status.find(' ');
    FUZZ_CHECK(first != std::string_view::npos && status.substr(first + 1, 4) == "200 ");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    orv::fuzz::input_reader in(data, size);
    size_t piece = in.byte() % 64 + 1;
    std::string reply = in.rest();
    std::string received;
    proxy_reply r;
    for (size_t pos = 0; pos < reply.size(); pos += piece) {
        received += reply.substr(pos, piece);
        r = orv::parse_proxy_reply(received);
        if (r.state != proxy_reply_state::incomplete) break;
        FUZZ_CHECK(r.header_end == 0 && !has_blank_line(received));
        if (received.size() > static_cast<size_t>(orv::proxysocket::max_response)) return 0;  // given up
    }
    if (r.state == proxy_reply_state::incomplete) return 0;
    check_complete(received, r);
    proxy_reply whole = orv::parse_proxy_reply(reply);
    FUZZ_CHECK(whole.state == r.state && whole.header_end == r.header_end && whole.message == r.message);
    return 0;
}
