// progress_c_proto: the plain end of a "progress" session's connection on the client agent. The
// broker's first message may name a port on the broker's host where the client then opens a
// second connection; that message is held until it is complete (20 bytes), a rendezvous of this
// agent is opened for the announced port (its TLS end carries the data header (0, 1, 0, port):
// address 0 stands for the broker's host), and the port in the message is replaced by the
// rendezvous port. The message keeps its length; nothing else is examined or changed.
#pragma once

#include "protocols/common/announcing_c_proto.h"

namespace orv {

class progress_c_proto : public announcing_c_proto {
public:
    // Over the Progress client's accepted connection.
    progress_c_proto(const reporter& parent, connection_data& data, int handle, const channel_header& header);

protected:
    examination examine(std::string_view held, std::string& rewritten) override;
};

}  // namespace orv
