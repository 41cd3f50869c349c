#include "protocols/common/announcing_c_proto.h"

namespace orv {

announcing_c_proto::announcing_c_proto(const reporter& parent, connection_data& data, int handle,
                                       const channel_header& header, const char* kind, const char* read_kind)
    : reporter(parent), relaysocket(parent, data, handle, header, kind), held_(parent), first_out_(parent) {
    set_read_kind(read_kind);
}

int announcing_c_proto::handle_events(int readable, int writable, int error) {
    int result = relaysocket::handle_events(readable, writable, error);
    if (result != 0) return result;
    return relay(readable, writable, error);
}

int announcing_c_proto::judge_first_response() {
    rwbuf& in = partner_input();
    if (!in.empty()) {
        held_ += in;
        in.consume(in.length());
    }
    std::string rewritten;
    examination e = examine(std::string_view(held_.bytes(), static_cast<size_t>(held_.length())), rewritten);
    if (e == examination::wait) {
        if (!partner_input_over()) return 0;
        // The far agent has ended before the response was complete: it goes as it is.
        e = examination::pass;
    }
    first_ = first_response::judged;
    if (e == examination::failed) return -1;
    bool stored = e == examination::rewritten ? first_out_.append(rewritten.data(), static_cast<int>(rewritten.size()))
                                              : first_out_.append(held_.bytes(), held_.length());
    held_.consume(held_.length());
    return stored ? 0 : -1;
}

int announcing_c_proto::on_output() {
    if (first_ != first_response::pending) return 0;
    // New bytes, or the far agent's end: either may settle the first response.
    if (!partner_input().empty() || (!held_.empty() && partner_input_over())) return judge_first_response();
    return 0;
}

rwbuf& announcing_c_proto::output() {
    // Once the first response has gone, the far agent's bytes go out straight from where they
    // arrived; before it is judged first_out_ is empty and nothing goes out.
    return first_ == first_response::judged && first_out_.empty() ? partner_input() : first_out_;
}

bool announcing_c_proto::output_pending() {
    if (!first_out_.empty()) return true;
    if (first_ == first_response::pending) return !held_.empty() && partner_input_over();
    return !partner_input().empty();
}

}  // namespace orv
