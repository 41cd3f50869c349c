// client_end: orvserver's end of a relayed connection that faces the client: TLS in the server
// role over an accepted handle. After the handshake it checks the client certificate's subject
// against the partner list, reads the channel header when the session's login sends one,
// decides what the connection is (header_decision) and opens the service end: a connection to
// the service, to an announced passive data address, or the FTP server's connection to one of
// our listeners (joined). On Progress and Oracle control connections the service end watches the
// first response for an announcement. On an FTP control connection it also watches the client's command
// lines: PORT and EPRT are rewritten to name a listener of ours, PASV and EPSV are noted so that
// the reply can announce its data connection.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "agent/login.h"
#include "agent/relaysocket.h"
#include "net/rwbuf.h"

namespace orv {

struct control_link;
struct server_context;

class client_end : public relaysocket {
public:
    // What the end does with the client's bytes once the TLS handshake (the base's set-up) has
    // completed; established() enters the first stage.
    enum class client_stage {
        reading_header,  // waiting for the 8-byte channel header
        awaiting_join,   // an active data connection waits for the FTP server's connection
        relaying,        // bytes pass unchanged to and from the service end
        ftp_control      // relaying, with the client's command lines watched and rewritten
    };

    // Over an accepted handle of a session whose login is `login` (which outlives the end).
    client_end(const reporter& parent, connection_data& data, int handle, const login_kind& login,
               std::shared_ptr<server_context> context);
    ~client_end() override;

    int handle_events(int readable, int writable, int error) override;

    // Called by the listener this end waits for: relays between the client and `handle` (the FTP
    // server's data connection, owned from now on).
    void join(int handle);
    // Called by that listener when it gives up: the end closes with `why` in its message.
    void abandon(const char* why);
    // That listener is being destroyed.
    void listener_gone() { waiting_token_ = 0; }

    client_stage stage() const { return stage_; }

protected:
    int established() override;
    void setup_bound_passed() override;
    rwbuf* read_target() override;
    int on_input() override;

private:
    // -1 when the connection is to end (after its message).
    int take_header();
    // Connects to the service. `watch` says what the service end reads in the service's bytes:
    // plain for nothing (a data connection, or a session without announcements), else the
    // replies, port message or redirect that announce data connections.
    bool open_service(const std::string& host, uint16_t port_host, login_protocol watch);
    void attach_service(relaysocket* service);
    int pass_held_bytes();
    int ftp_commands();
    // The rewritten line (or a reply to the client, with `to_client` set) for one command line.
    std::string ftp_command(std::string_view line, bool& to_client);
    std::string rewrite_active(uint32_t address, uint16_t port, bool eprt);

    const login_kind& login_;
    std::shared_ptr<server_context> context_;
    std::shared_ptr<control_link> control_;
    client_stage stage_ = client_stage::reading_header;
    rwbuf held_;  // the header, bytes that came before the service end, FTP command lines
    std::string identity_;
    uint64_t waiting_token_ = 0;
    const char* abandoned_ = nullptr;
};

}  // namespace orv
