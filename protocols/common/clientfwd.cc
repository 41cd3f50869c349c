#include "protocols/common/clientfwd.h"

namespace orv {

namespace {

const endpoint* far_agent_of(relaysocket& control) {
    auto* ssl = dynamic_cast<sslrelaysocket*>(control.partner());
    return ssl ? ssl->far_agent() : nullptr;
}

}  // namespace

clientfwd::clientfwd(const reporter& parent, relaysocket& control, const channel_header& header, const char* type)
    : reporter(parent), stdssl(parent, control.data(), header, far_agent_of(control)) {
    set_type(type);
    // Queued before anything can be relayed, so the header precedes every client byte.
    if (ok() && !queue_header()) clear_ok();
}

}  // namespace orv
