#include "protocols/common/clientfwd.h"

namespace orv {

clientfwd::clientfwd(const reporter& parent, connection_data& data, const channel_header& header, const char* type)
    : reporter(parent), stdssl(parent, data, header) {
    set_type(type);
    // Queued before anything can be relayed, so the header precedes every client byte.
    if (ok() && !queue_header()) clear_ok();
}

}  // namespace orv
