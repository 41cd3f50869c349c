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
#include <memory>
#include <string>
#include <vector>

#include <sys/socket.h>

#include "agent/channel_header.h"
#include "agent/pending_peers.h"
#include "agent/type_label.h"
#include "agent/metrics/registry.h"
#include "net/endpoint_list.h"
#include "net/rwbuf.h"
#include "net/sslsocket.h"

namespace orv {

class connection_data;
class inetaddr;
class logsink;
class pair;

// An end stops reading while its partner still has this much to write.
inline constexpr int backlog_limit = 8192;
// The most the connect, the proxy exchange and the handshake may take together, unless the
// session's inactivity timeout is shorter.
inline constexpr int setup_timeout_seconds = 30;
// An accepted TLS peer that has sent no byte at all by then is closed (within the set-up bound):
// a silent connection costs a descriptor and a handshake's memory for nothing.
inline constexpr int silent_peer_seconds = 10;
// How long a draining end waits for its peer's end of stream once it has written out everything
// and ended its own.
inline constexpr int linger_seconds = 5;

// The state of one end: the single source of truth for what it does next. Every change goes
// through relaysocket::enter(), which also arms the state's deadline; the lower layers' flags
// (connect, proxy exchange, handshake, the peer's end of stream) are events, never a state.
//
//   from                        to                cause
//   setting_up                  relaying          set-up complete, established() accepts it
//   setting_up                  setting_up_alone  partner gone, bytes left for the peer
//   setting_up                  closed            partner gone, nothing for the peer
//   setting_up(_alone)          closed            set-up failed, refused or past its bound
//   setting_up_alone            draining          set-up complete
//   listening                   closed            accepted its connection, accept time-out, or
//                                                 partner gone with nothing for the peer
//   relaying                    input_ended       the peer ended its stream
//   relaying                    output_ended      we ended our stream to the peer
//   input_ended                 closed            we ended our stream too
//   output_ended                closed            the peer ended its stream too
//   relaying, input_ended       draining          partner gone
//   output_ended                lingering         partner gone
//   draining                    lingering         all written and our stream ended
//   draining                    closed            the same, with the peer's stream ended already
//   lingering                   closed            the peer's end of stream, or the linger bound
//   any                         closed            a failure, the inactivity time-out
enum class relay_state {
    setting_up,        // name lookup, connect, proxy exchange, TLS handshake (each knows its step)
    setting_up_alone,  // the same with the partner gone: what it left is delivered afterwards
    listening,         // a rendezvous waits for its one connection (clientaccept)
    relaying,          // both directions open
    input_ended,       // the peer has ended its stream; writing to it goes on
    output_ended,      // our stream to the peer has ended; reading from it goes on
    draining,          // the partner has gone: write out what is left, then end the output
    lingering,         // drained and ended: only the peer's end of stream is awaited (bounded)
    closed             // done: the selector destroys the end
};

// Keeps alive the reading of the configuration an end was made from (connection_data::keep_alive):
// a base before sslsocket, so that it goes only after the TLS connection has.
struct session_hold {
    explicit session_hold(std::shared_ptr<void> reading) : held(std::move(reading)) {}
    std::shared_ptr<void> held;
};

class relaysocket : private session_hold, public sslsocket, public virtual type_label {
public:
    // Most bytes read per call: four full TLS records from a local program (a TLS end returns
    // one record per call).
    static constexpr int max_read = 65536;

    // Over an accepted handle: takes the peer address text at once. `kind` names the socket in
    // messages ("simpledata").
    relaysocket(const reporter& parent, connection_data& data, int handle, const channel_header& header,
                const char* kind);
    // Over an accepted handle with TLS in the server role: the end starts in `setting_up` with a
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
    // True once the peer's stream has ended (or failed): nothing more will be read from it.
    bool input_done() const { return input_state() != input_end::open; }

    // Called by the partner when it has put bytes into this end's buffer or its input has
    // ended: writes what it can now and ends the output when the partner's input is over.
    void push();

    // A quiet end writes no line, nor does its pair (a connection from a source that has had its
    // share of log lines, until it proves itself); set_quiet(false) speaks again.
    void set_quiet(bool quiet);
    bool quiet() const { return loud_sink_ != nullptr; }

    // The end faces a peer that has not proved itself yet: it counts against `source` in its
    // acceptor's `peers` until release_pending(), and may be shed when descriptors run short.
    // With `may_quiet` it goes quiet when its source has had its share of log lines.
    void hold_pending(pending_peers& peers, const std::string& source, bool may_quiet);
    // The peer has proved itself (or the tunnel it asked for is up): it counts no more, and a
    // quiet end speaks again.
    void release_pending();

protected:
    // One relay step after the base: reads from the peer into the partner's buffer, writes the
    // own buffer out. 0 to stay, -1 when the end has finished or failed (after its message).
    int relay(int readable, int writable, int error);
    // Starts the connect to `target` (through the HTTPS proxy when `through_proxy`); on failure
    // reports why ("invalid address", "unable to connect") and clears the ok flag.
    bool start_connect(const inetaddr& target, bool through_proxy);
    // Starts the connect to `host`:`port` (port in host order) the same way. A dotted address
    // connects at once; a name (the target's, then the HTTPS proxy's when it applies) is looked
    // up through the session's resolver first, without blocking, within the set-up bound. False
    // with the ok flag cleared when it fails at once; a lookup that fails later ends the set-up
    // with "unable to look up NAME: REASON".
    bool start_connect_to(const std::string& host, uint16_t port, bool through_proxy);
    // The same without clearing the ok flag (a failed attempt may be followed by another).
    bool begin_connect_to(const std::string& host, uint16_t port, bool through_proxy);
    // A new handle (another family, a race's winner) gets the relay's socket options too.
    void handle_replaced() override;
    // After a failed set-up step (connect, lookup, handshake, an attempt's bound): true when the
    // end has started another attempt and stays; false ends it. The base has none.
    virtual bool retry_setup() { return false; }
    // A bound for the current attempt, before the set-up bound (-1: none). When it passes the
    // attempt fails as by a time-out and retry_setup() is asked.
    void set_attempt_bound(int64_t at_ms);
    int64_t setup_due_ms() const { return due_ms_; }
    // Forgets the set-up so far (lookups, the socket, the SSL object) for another attempt.
    bool restart_setup();
    // The first call once set-up has completed; -1 refuses the connection.
    virtual int established();
    // For a kind that still waits for its peer after the handshake (orvserver's channel header):
    // the set-up bound, counted from the accept, goes on running in the relaying states until
    // release_setup_bound(). When it passes, setup_bound_passed() writes the line and the end
    // closes.
    void hold_setup_bound();
    void release_setup_bound();
    virtual void setup_bound_passed() {}
    // Our own expired certificate, named in a failed handshake's line.
    std::string handshake_failure_note() const override;
    // Counts this end's failure in the metrics, once per end whatever follows (call it where its
    // line is written).
    void count_failure(metrics::failure why);

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
    // True when nothing more will arrive in partner_input(): the partner has gone, or its peer
    // has ended its stream.
    bool partner_input_over() const { return !partner_ || partner_->input_done(); }
    // The one place the state changes: enters `next` and arms its deadline (the set-up bound,
    // the accept time-out, the inactivity or linger bound; at once for closed, so the selector
    // destroys the end at its next cycle).
    void enter(relay_state next);
    // True once the deadline of the state has passed.
    bool deadline_passed() const { return due_ms_ >= 0 && now_ms() >= due_ms_; }

private:
    friend void make_partners(relaysocket*, relaysocket*);
    friend void remove_partner(relaysocket*);
    friend class pair;

    // The steps of a connect by name (start_connect_to): the target's lookup, the HTTPS proxy's
    // lookup, then the connect itself (the lower layers' connect, racing the addresses when
    // there are several).
    enum class connect_step { none, target_lookup, proxy_lookup, connecting };
    // One name's lookups, both families at once; [0] is IPv6, [1] IPv4.
    struct name_lookup {
        std::string host;
        uint64_t ticket[2] = {0, 0};  // 0: no query under way
        bool done[2] = {false, false};
        std::vector<sockaddr_storage> found[2];
        std::string error[2];
        int64_t v4_since_ms = -1;  // IPv4 addresses came while IPv6 ones were still awaited
    };
    // Starts looking up `host` (both families) for `step`; a literal address is known at once.
    // False after the message when no lookup can start.
    bool begin_lookup(const std::string& host, connect_step step);
    void on_answer(int family_index, const std::vector<sockaddr_storage>& addresses, const std::string& error);
    // True once the lookup may go on: IPv6 addresses came, both families answered, or IPv4 ones
    // came and IPv6 has had its short head start (Happy Eyeballs' resolution delay).
    bool lookup_ready() const;
    bool lookup_over() const { return lookup_.done[0] && lookup_.done[1]; }
    // The step after a ready lookup: the proxy's lookup or the connect. False after the message.
    bool lookup_complete();
    // Connects to the addresses of the lookup (through the proxy to `named_.target` when
    // `via_proxy`). False after the message.
    bool connect_found(bool via_proxy);
    // The set-up deadline, or an earlier wake-up of the lookup or the connect race.
    void post_deadline();
    // What moves an end from one state to the next (the table above).
    enum class relay_event {
        setup_complete,  // the lower layers' connect, proxy exchange and handshake are done
        partner_gone,
        input_over,  // the peer's stream has ended (or failed)
        output_over  // our stream to the peer has ended (or could not be ended)
    };

    void setup(relay_state first, bool accepted);
    // The state `event` leads to from the current one, entered when it differs.
    void follow(relay_event event);
    bool setup_complete() const;
    void report_setup_timeout();
    // What a failure of the set-up step under way is, by how far the lower layers have come.
    metrics::failure setup_step_failure() const;
    // The end's set-up has completed: its duration and the kind of TLS session, in the metrics.
    void count_setup();
    // True when an accepted TLS peer has sent nothing at all and its short bound has passed.
    bool silent_past_bound() const;
    int on_deadline();
    int read_step();
    int flush();
    void arm_deadline();
    bool setting_up() const { return state_ == relay_state::setting_up || state_ == relay_state::setting_up_alone; }
    // Relaying in at least one direction, or draining: the states in which the end moves bytes.
    bool moving() const;
    // Partner gone: what the peer still sends is read and dropped.
    bool discarding() const { return state_ == relay_state::draining || state_ == relay_state::lingering; }
    bool output_over() const;
    bool read_wanted();
    bool batch_room();
    void take_peer_address();
    void report_read_failure();
    // After a failed write: true when a refusal by the far agent explains it (and was reported).
    bool explain_refusal();
    channel_header header_;
    relaysocket* partner_ = nullptr;
    class pair* pair_ = nullptr;
    connection_data& data_;
    relay_state state_ = relay_state::setting_up;
    rwbuf partner_input_;
    std::string peer_address_text_;
    const char* kind_;
    const char* read_kind_ = nullptr;
    int64_t last_transfer_ms_;
    int64_t due_ms_ = -1;  // the state's deadline: set-up, accept, inactivity or linger
    int64_t attempt_due_ms_ = -1;  // the current set-up attempt's own bound
    int64_t born_ms_ = now_ms();   // set-up durations count from here
    bool failure_counted_ = false;
    int64_t setup_due_ms_ = -1;    // the set-up bound from its start (kept by hold_setup_bound)
    bool setup_held_ = false;      // the set-up bound still applies after the handshake
    int64_t silent_due_ms_ = -1;   // accepted TLS ends: the bound for a peer that sends nothing
    // A connect by name (start_connect_to): where to, and how far it has come.
    struct named_connect {
        std::string host;
        uint16_t port = 0;
        bool through_proxy = false;
        connect_step step = connect_step::none;
        sockaddr_storage target{};  // the target's address once known (for the proxy's CONNECT)
    } named_;
    name_lookup lookup_;
    logsink* loud_sink_ = nullptr;  // while quiet: where the lines go once it speaks again
    // The end's place among its acceptor's pending connections; shedding it closes the end's
    // handle at once (the selector destroys the end at its next cycle).
    class pending_place : public pending_peers::member {
    public:
        explicit pending_place(relaysocket& end) : end_(end) {}
        void shed() override;

    private:
        relaysocket& end_;
    };
    std::unique_ptr<pending_place> pending_;
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

    // The far agent this end connects or connected to (its agents() entry), for the data
    // connections that must follow it; null before connect_to_server.
    const endpoint* far_agent() const { return attempt_ < plan_.size() ? &plan_[attempt_] : nullptr; }

protected:
    // Connects to the session's far agents in their order (or to `pinned` alone) and starts
    // the handshake; reports and clears the ok flag on failure.
    void connect_to_server(const endpoint* pinned = nullptr);
    // Records the far agent's name and cipher, logs the complete connect line and checks the
    // partner list.
    int established() override;
    // The next far agent, within what is left of the set-up bound.
    bool retry_setup() override;

private:
    bool start_attempt();
    std::vector<endpoint> plan_;  // the far agents in the order tried
    size_t attempt_ = 0;
    bool failover_ = false;  // several far agents: failures pass one over
};

void make_partners(relaysocket* plain, relaysocket* ssl);
void remove_partner(relaysocket* end);

}  // namespace orv
