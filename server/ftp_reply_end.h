// ftp_reply_end: orvserver's end toward the FTP server on a control connection. It relays the
// server's replies unchanged (the client's agent rewrites them), line by line, and records every
// 227 or 229 reply that answers a PASV or EPSV of the client as an announcement of the passive
// data connection it names: (S, Q) for 227, (0, Q) for 229. Lines inside a multi-line reply are
// never taken for a reply of their own.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "agent/relaysocket.h"
#include "net/rwbuf.h"

namespace orv {

struct control_link;
struct server_context;

class ftp_reply_end : public relaysocket {
public:
    // Connects to `host`:`port_host`; reports and clears the ok flag on failure.
    ftp_reply_end(const reporter& parent, connection_data& data, const std::string& host, uint16_t port_host,
                  std::shared_ptr<server_context> context, std::shared_ptr<control_link> control);

    int handle_events(int readable, int writable, int error) override;

protected:
    rwbuf* read_target() override;
    int on_input() override;

private:
    void watch_reply(std::string_view line);

    std::shared_ptr<server_context> context_;
    std::shared_ptr<control_link> control_;
    rwbuf lines_;
    int multiline_code_ = -1;  // 227 while inside a "227-" reply, -1 otherwise
    bool rest_of_long_line_ = false;
};

}  // namespace orv
