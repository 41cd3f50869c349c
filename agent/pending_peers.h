// pending_peers: what connections that have not yet proved who they are cost, per source address,
// for a listening socket reachable by strangers. Both programs' acceptors keep one.
//
// A connection is pending from its accept until its end settles (orvserver: the client
// certificate is checked and the channel header read). The acceptor admits a new connection only
// under two caps, the pending connections of all sources and those of its source; past one it
// closes the new connection at once. When descriptors run short, the acceptor sheds the oldest
// pending connection of the source that holds the most, so that one source cannot starve the
// others.
//
// Log volume: the failures of a source's pending connections are logged as before up to
// `loud_failures` per interval; further connections from that source are admitted quiet (their
// ends write nothing until they settle), and what they and the caps did is told in one summary
// line per source and interval (tick()).
//
// The pending_peers does not own its members: a member leaves (settle or destruction) before it
// goes. Times are monotonic milliseconds given by the caller.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>

#include "net/reporter.h"
#include "store/pending_caps.h"

namespace orv {

class pending_peers {
public:
    // Failures of one source logged line by line per interval before its lines are summarised.
    static constexpr int loud_failures = 5;
    // Pending connections of one source that may write their lines at once before new ones are
    // admitted quiet (a wave of simultaneous connections fails all at once).
    static constexpr int loud_pending = 32;
    static constexpr int interval_seconds = 10;

    using caps = pending_caps;  // a session's `pending` field overrides the defaults

    // One pending connection; it leaves through settle() or its destructor.
    class member {
    public:
        member() = default;
        member(const member&) = delete;
        member& operator=(const member&) = delete;
        virtual ~member() { leave(true); }

        // Called by shed_one(): the connection is to close at once (its handle freed now).
        virtual void shed() = 0;
        // The connection has proved itself: it no longer counts against its source.
        void settle() { leave(false); }
        bool pending() const { return owner_ != nullptr; }
        // Admitted quiet: its failure is counted for the summary instead of logged.
        bool quiet() const { return quiet_; }

    private:
        friend class pending_peers;
        // `failed`: it went while still pending.
        void leave(bool failed);

        pending_peers* owner_ = nullptr;
        std::string source_;
        std::list<member*>::iterator at_;
        bool quiet_ = false;
        bool shed_ = false;
    };

    enum class verdict {
        admitted,     // enter() it
        source_full,  // its source holds per_source pending connections: close it
        total_full    // all sources hold `total`: close it
    };

    explicit pending_peers(const reporter& parent) : reporter_(parent) {}
    ~pending_peers();
    pending_peers(const pending_peers&) = delete;
    pending_peers& operator=(const pending_peers&) = delete;

    void set_caps(caps c) { caps_ = c; }
    const caps& limits() const { return caps_; }

    // Whether a new connection from `source` may be admitted. A refusal is counted (and the
    // first one of the source in an interval logged at once).
    verdict admit(const std::string& source);
    // Registers an admitted connection; true when it is to stay quiet until it settles (never
    // without `may_quiet`: its lines are then always written, and its failures not summarised).
    bool enter(member* m, const std::string& source, bool may_quiet = true);
    // Closes the oldest pending connection of the source holding the most; false when none is
    // pending.
    bool shed_one();

    // Writes the summary lines of the interval that has passed and starts the next; called
    // every interval_seconds with the monotonic time. A call sooner than half an interval after
    // the last one does nothing (after a reload moved the listener, two acceptors' tickers may
    // share one pending_peers).
    void tick(int64_t now_ms);

    int total() const { return total_; }
    int pending_from(const std::string& source) const;

private:
    struct source_entry {
        std::list<member*> pending;  // oldest first
        int loud = 0;                // pending connections not quiet
        int failures_logged = 0;     // in this interval
        int failures_quiet = 0;
        int refused = 0;
        int shed = 0;
    };

    void gone(member* m, bool failed);
    void forget_if_idle(const std::string& source);

    reporter reporter_;
    caps caps_;
    std::unordered_map<std::string, source_entry> sources_;
    int total_ = 0;
    int64_t last_tick_ms_ = -1;
    // The most pending at once since they last ran out: after a flood (more than loud_pending)
    // the allocator's free pages go back to the system when the last one leaves.
    int peak_ = 0;
};

// The source address of an accepted handle as the log names it ("127.0.0.2", "::1"); empty when
// the system cannot say.
std::string source_address(int handle);

}  // namespace orv
