// The Oracle listener's first response as both agents read it: the redirect scan over any bytes,
// and the client agent's rewrite of what it finds. A rewrite keeps every byte outside the HOST
// and PORT texts apart from at most four length bytes, and scans again to the new target.
#include <arpa/inet.h>

#include <string>

#include "fuzz/fuzz_support.h"
#include "protocols/oracle/tns_redirect.h"

namespace {

using namespace orv::tns;

void check_found(const std::string& in, const redirect_scan& r) {
    FUZZ_CHECK(r.host_begin <= r.host_end && r.host_end < r.port_begin && r.port_begin <= r.port_end);
    FUZZ_CHECK(r.port_end + 2 <= in.size());
    FUZZ_CHECK(in.compare(r.host_end, 7, ")(PORT=") == 0 && in.compare(r.port_end, 2, "))") == 0);
    FUZZ_CHECK(r.host_end - r.host_begin < max_text && r.port_end - r.port_begin < max_text);
    FUZZ_CHECK(r.host_text == in.substr(r.host_begin, r.host_end - r.host_begin));
}

void check_rewrite(const std::string& in, const redirect_scan& r, const std::string& host, uint16_t port) {
    rewrite_result w = rewrite_redirect(in, r, host, port);
    if (!w.bytes) {
        FUZZ_CHECK(w.message != nullptr);
        return;
    }
    const std::string& out = *w.bytes;
    std::string replacement = host + ")(PORT=" + std::to_string(port);
    long delta = static_cast<long>(replacement.size()) - static_cast<long>(r.port_end - r.host_begin);
    FUZZ_CHECK(static_cast<long>(out.size()) == static_cast<long>(in.size()) + delta);
    FUZZ_CHECK(out.compare(r.host_begin, replacement.size(), replacement) == 0);
    FUZZ_CHECK(out.compare(r.host_begin + replacement.size(), std::string::npos, in, r.port_end) == 0);
    // Outside the replaced span only length fields may differ: at most four bytes.
    int changed = 0;
    for (size_t i = 0; i < r.host_begin; ++i) changed += out[i] != in[i];
    FUZZ_CHECK(changed <= 4);
    redirect_scan again = scan_redirect(out);
    // Length bytes may turn into a '(' or out of one, so only the same redirect is compared.
    if (again.state == scan_state::redirect && again.host_begin == r.host_begin) {
        FUZZ_CHECK(again.host_text == host);
        FUZZ_CHECK(again.port == port);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    orv::fuzz::input_reader in(data, size);
    uint16_t port = in.u16();
    bool long_host = in.byte() & 1;
    std::string bytes = in.rest();
    redirect_scan r = scan_redirect(bytes);
    if (r.state == scan_state::wait) {
        FUZZ_CHECK(bytes.size() < 2 || bytes.size() < packet_length(bytes));
        return 0;
    }
    if (r.state == scan_state::malformed) FUZZ_CHECK(r.message != nullptr);
    if (r.state != scan_state::redirect) return 0;
    check_found(bytes, r);
    FUZZ_CHECK(r.address_net == inet_addr(r.host_text.c_str()));
    check_rewrite(bytes, r, long_host ? "255.255.255.255" : "127.0.0.1", port);
    return 0;
}
