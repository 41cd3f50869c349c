#include "protocols/common/clientdata.h"

namespace orv {

clientdata::clientdata(const reporter& parent, connection_data& data, uint32_t addr_net, uint16_t port_net,
                       const channel_header& header)
    : reporter(parent), simpledata(parent, data, addr_net, port_net, header) {
    set_type("FTP data connection");
}

clientdata::clientdata(const reporter& parent, connection_data& data, const std::string& host, uint16_t port_net,
                       const channel_header& header)
    : reporter(parent), simpledata(parent, data, host.c_str(), port_net, header) {
    set_type("FTP data connection");
}

clientdata::clientdata(const reporter& parent, connection_data& data, int handle, const channel_header& header,
                       const char* type)
    : reporter(parent), simpledata(parent, data, handle, header) {
    set_type(type);
}

}  // namespace orv
