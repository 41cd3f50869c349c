#include "protocols/progress/progress_c_proto.h"

#include "protocols/common/announced_route.h"
#include "protocols/progress/progress_message.h"

namespace orv {

progress_c_proto::progress_c_proto(const reporter& parent, connection_data& data, int handle,
                                   const channel_header& header)
    : reporter(parent), announcing_c_proto(parent, data, handle, header, "progress_c_proto", "progress") {
    set_type("Progress client");
}

announcing_c_proto::examination progress_c_proto::examine(std::string_view held, std::string& rewritten) {
    progress::scan_result found = progress::scan_first_message(held);
    if (found.state == progress::scan_state::wait) return examination::wait;
    if (found.state == progress::scan_state::no_announcement) return examination::pass;
    announced_route route(*this, "Progress client rendezvous",
                          "system error. unable to create progress accept socket\n");
    if (!route.ok()) return examination::failed;
    uint16_t port = route.port();
    if (!route.open(make_channel_header(false, true, 0, found.port))) return examination::failed;
    rewritten.assign(held);
    progress::write_port(rewritten.data(), port);
    return examination::rewritten;
}

}  // namespace orv
