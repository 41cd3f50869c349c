// relaysocket: one end of a relayed connection, plain or TLS; sslrelaysocket: the end that
// connects to the far agent over TLS.
//
// Each end reads from its own peer straight into its partner's partner-input buffer and writes
// its own partner-input buffer out to its peer. An end stops reading while its partner holds
// `backlog_limit` bytes or more (back-pressure). Bytes read are handed to the partner at once
// (push), so they usually leave within the same event.
//
// Ends close one direction at a time, as TCP and TLS allow: when an end's peer ends its stream,
// the partner writes out what it holds and then ends its own output (a TCP end of stream toward
// the local program, a close_notify toward the far agent); the other direction keeps flowing.
// Only the end of both directions, or an error, ends an end. When one end goes, the other
// drains: it writes out what it holds, ends its output and waits (bounded) for its peer's end,
// so that closing never resets a connection with data still in flight.
//
// The pair is logged as disconnected when its last end has gone, with the final byte counts.
// Both ends belong to the selector once registered; partner and pair links never own.
#pragma once

#include <cstdint>
#include <string>

#include "agent/channel_header.h"
#include "agent/type_label.h"
#include "net/rwbuf.h"
#include "net/sslsocket.h"

namespace orv {

class connection_data;
class inetaddr;
class pair;

// An end stops reading while its partner still has this much to write.
inline constexpr int backlog_limit = 8192;
// The most the connect, the proxy exchange and the handshake may take together, unless the
// session's inactivity timeout is shorter.
inline constexpr int setup_timeout_seconds = 30;
// How long a draining end waits for its peer's end of stream once it has written out everything
// and ended its own.
inline constexpr int linger_seconds = 5;

enum class relay_state {
    connecting,      // TCP connect under way
    proxy_exchange,  // CONNECT sent to the HTTPS proxy, its answer awaited
    handshaking,     // TLS handshake under way
    relaying,        // both directions open
    input_ended,     // the peer has ended its stream; writing to it goes on
    output_ended,    // our stream to the peer has ended; reading from it goes on
    draining,        // the partner has gone: write out, end the output, await the peer's end
    closed           // both directions done: the selector destroys the end
};

class relaysocket : public sslsocket, public virtual type_label {
public:
    // Most bytes read per call: four full TLS records from a local program (a TLS end returns
    // one record per call).
    static constexpr int max_read = 65536;

    // Over an accepted handle: takes the peer address text at once. `kind` names the socket in
    // messages ("simpledata").
    relaysocket(const reporter& parent, connection_data& data, int handle, const channel_header& header,
                const char* kind);
    // Over an accepted handle with TLS in the server role: the end starts in `handshaking` with a
    // new SSL object from the session (reports and clears the ok flag when that fails).
    relaysocket(const reporter& parent, connection_data& data, int handle, const channel_header& header, SSL_CTX* ctx,
                const char* kind);
    // A new TCP socket that connects by itself (start_connect); TLS when `ctx` is given.
    relaysocket(const reporter& parent, connection_data& data, const channel_header& header, SSL_CTX* ctx,
                const char* kind);
    ~relaysocket() override;

    // The base event handling every kind runs first. 0: the end is relaying and the kind goes on
    // (normally with relay()); 1: set-up still under way, nothing else to do now; -1: the end
    // has finished or failed and the selector must destroy it.
    int handle_events(int readable, int writable, int error) override;
    int wants_events(int* read, int* write, int* error) override;
    // Makes the end a draining one; 1 when nothing is left to write.
    virtual int drain_check();

    relay_state state() const { return state_; }
    relaysocket* partner() const { return partner_; }
    class pair* get_pair() const {
        return pair_;
    }
    rwbuf& partner_input() { return partner_input_; }
    const std::string& peer_address_text() const { return peer_address_text_; }
    // The far agent's certificate subject, its cipher and the partner entry's mapped name:
    // empty on plain ends, set by sslrelaysocket once the handshake has completed.
    const std::string& peer_name_text() const { return peer_name_text_; }
    const std::string& cipher_text() const { return cipher_text_; }
    const std::string& mapped_name() const { return mapped_name_; }
    const channel_header& header() const { return header_; }
    connection_data& data() const { return data_; }
    bool closing() const { return state_ == relay_state::draining || state_ == relay_state::closed; }
    // True once the peer's stream has ended (or failed): nothing more will be read from it.
    bool input_done() const { return input_state() != input_end::open; }

    // Called by the partner when it has put bytes into this end's buffer or its input has
    // ended: writes what it can now and ends the output when the partner's input is over.
    void push();

protected:
    // One relay step after the base: reads from the peer into the partner's buffer, writes the
    // own buffer out. 0 to stay, -1 when the end has finished or failed (after its message).
    int relay(int readable, int writable, int error);
    // Starts the connect to `target` (through the HTTPS proxy when `through_proxy`); on failure
    // reports why ("invalid address", "unable to connect") and clears the ok flag.
    bool start_connect(const inetaddr& target, bool through_proxy);
    // The first call once set-up has completed; -1 refuses the connection.
    virtual int established();

    // Hooks for protocol ends that look into the stream (line-based FTP control, say). The plain
    // relay reads straight into the partner's partner-input buffer and writes its own out.
    //
    // Where bytes read from the peer go (null: nowhere now). Reading stops while it holds
    // backlog_limit bytes or more.
    virtual rwbuf* read_target();
    // After bytes arrived in read_target(), and once more when the peer's stream has ended
    // (input_done()): hand them on. The default pushes them to the partner. -1 fails the end
    // (after its message).
    virtual int on_input();
    // Before writing to the peer: move what may go out into output() (whole lines, say). -1
    // fails the end.
    virtual int on_output();
    // What is written to the peer; by default the partner-input buffer.
    virtual rwbuf& output();
    // True while anything is still to be written to the peer (every buffer of a protocol end);
    // an end drains and ends its output only when this is false.
    virtual bool output_pending();
    // Sends the connection log's connect notification for this end's pair.
    void notify_connected();
    // The socket's name in the read failure message, when it differs from the one in the
    // constructor's `kind` (which names it in every other message).
    void set_read_kind(const char* kind) { read_kind_ = kind; }

private:
    friend void make_partners(relaysocket*, relaysocket*);
    friend void remove_partner(relaysocket*);
    friend class pair;

    void setup(bool accepted);
    void update_setup_state();
    int on_deadline();
    int read_step();
    int flush();
    void advance();
    void arm_deadline();
    // Draining with everything written and the output ended: only the peer's end is awaited.
    bool lingering() const;
    bool read_wanted();
    bool batch_room();
    void take_peer_address();
    void report_read_failure();
    // After a failed write: true when a refusal by the far agent explains it (and was reported).
    bool explain_refusal();
    // Has the selector call handle_events at once, which then ends the end.
    void finish_soon();

    channel_header header_;
    relaysocket* partner_ = nullptr;
    class pair* pair_ = nullptr;
    connection_data& data_;
    relay_state state_;
    rwbuf partner_input_;
    std::string peer_address_text_;
    const char* kind_;
    const char* read_kind_ = nullptr;
    bool output_ended_ = false;
    bool partner_lost_ = false;  // the partner went during set-up: drain once it completes
    int64_t last_transfer_ms_;
    int64_t due_ms_ = -1;  // set-up, inactivity or linger deadline

protected:
    std::string mapped_name_;
    std::string peer_name_text_;
    std::string cipher_text_;
};

class sslrelaysocket : public relaysocket {
public:
    // A new TCP socket with TLS; connect_to_server starts it.
    sslrelaysocket(const reporter& parent, connection_data& data, const channel_header& header, const char* kind);

    // Puts the channel header in front of everything this end sends to the far agent.
    bool queue_header();

protected:
    // Connects to the session's server and starts the handshake; reports and clears the ok
    // flag on failure.
    void connect_to_server();
    // Records the far agent's name and cipher, logs the complete connect line and checks the
    // partner list.
    int established() override;
};

void make_partners(relaysocket* plain, relaysocket* ssl);
void remove_partner(relaysocket* end);

}  // namespace orv
