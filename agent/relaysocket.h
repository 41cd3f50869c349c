// relaysocket (plain side) and sslrelaysocket (SSL side): the two halves of a relayed connection.
//
// Each side reads from its own peer straight into its partner's partner-input buffer and writes
// its own partner-input buffer out to its peer. A side stops reading while its partner holds
// `backlog_limit` bytes or more (back-pressure). When one side is destroyed it logs the
// disconnect, destroys the pair and makes its partner a closing socket: the partner writes out
// what it still holds and is then destroyed too ("flush the partner, then close").
//
// Both sides belong to the selector once registered; partner and pair links never own.
#pragma once

#include <string>

#include "agent/channel_header.h"
#include "agent/type_label.h"
#include "net/rwbuf.h"
#include "net/socket.h"
#include "net/sslsocket.h"

namespace orv {

class connection_data;
class pair;
class sslrelaysocket;

// A side stops reading while its partner still has this much to write.
inline constexpr int backlog_limit = 8192;

class relaysocket : public socket, public virtual type_label {
public:
    // Over an accepted handle: takes the peer address text at once.
    relaysocket(const reporter& parent, connection_data& data, int handle, const channel_header& header);
    // A new TCP socket that will connect by itself.
    relaysocket(const reporter& parent, connection_data& data, const channel_header& header);
    ~relaysocket() override;

    int handle_events(int readable, int writable, int error) override;
    int wants_events(int* read, int* write, int* error) override;
    // Sets the closing flag; 1 when nothing is left to write.
    virtual int drain_check();

    sslrelaysocket* partner() const { return partner_; }
    class pair* get_pair() const { return pair_; }
    rwbuf& partner_input() { return partner_input_; }
    const std::string& peer_address_text() const { return peer_address_text_; }
    const channel_header& header() const { return header_; }
    connection_data& data() const { return data_; }
    bool closing() const { return closing_ != 0; }

protected:
    // Relays once: reads at most `max_read` bytes into the partner's buffer and writes out
    // this side's own. -1 when the connection ended.
    int relay(int readable, int writable, int error, int max_read, const char* read_failed,
              const char* write_failed);

private:
    friend void make_partners(relaysocket*, sslrelaysocket*);
    friend void remove_partner(relaysocket*);
    friend void remove_partner(sslrelaysocket*);
    friend class pair;

    void setup(bool accepted);
    void take_peer_address();

    channel_header header_;
    sslrelaysocket* partner_ = nullptr;
    class pair* pair_ = nullptr;
    connection_data& data_;
    int closing_ = 0;
    rwbuf partner_input_;
    std::string peer_address_text_;
};

class sslrelaysocket : public sslsocket, public virtual type_label {
public:
    // A new TCP socket; connecting and the handshake are started by the subclass.
    sslrelaysocket(const reporter& parent, connection_data& data, const channel_header& header);
    ~sslrelaysocket() override;

    int handle_events(int readable, int writable, int error) override;
    int wants_events(int* read, int* write, int* error) override;
    virtual int drain_check();

    relaysocket* partner() const { return partner_; }
    class pair* get_pair() const { return pair_; }
    rwbuf& partner_input() { return partner_input_; }
    const std::string& peer_address_text() const { return peer_address_text_; }
    const std::string& peer_name_text() const { return peer_name_text_; }
    const std::string& cipher_text() const { return cipher_text_; }
    const std::string& mapped_name() const { return mapped_name_; }
    const channel_header& header() const { return header_; }
    connection_data& data() const { return data_; }
    bool closing() const { return closing_ != 0; }

    // Puts the channel header in front of everything this side sends to the far agent.
    bool queue_header();

protected:
    int relay(int readable, int writable, int error, int max_read, const char* read_failed,
              const char* write_failed);
    // Connects to the session's server and starts the handshake; reports and clears the ok
    // flag on failure.
    void connect_to_server();

private:
    friend void make_partners(relaysocket*, sslrelaysocket*);
    friend void remove_partner(relaysocket*);
    friend void remove_partner(sslrelaysocket*);
    friend class pair;

    void setup();
    int after_handshake();

    channel_header header_;
    relaysocket* partner_ = nullptr;
    class pair* pair_ = nullptr;
    connection_data& data_;
    int closing_ = 0;
    rwbuf partner_input_;
    std::string mapped_name_;
    std::string peer_address_text_;
    std::string peer_name_text_;
    std::string cipher_text_;
    bool far_agent_checked_ = false;  // logged and checked against the partner list
};

// Starts a non-blocking connect of a relaying socket to `target`; on failure reports why
// ("invalid address", "unable to connect"), clears the socket's ok flag and answers false.
bool start_relay_connect(socket& s, const inetaddr& target);

void make_partners(relaysocket* plain, sslrelaysocket* ssl);
void remove_partner(relaysocket* plain);
void remove_partner(sslrelaysocket* ssl);

}  // namespace orv
