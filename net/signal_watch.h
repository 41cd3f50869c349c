// signal_watch: the signals an operator sends as events of the selector. They are blocked for
// the whole process at start-up (block_agent_signals) and read from a signalfd, so one that
// arrives between passes or during a dispatch waits for the loop instead of cutting it (or, for
// SIGHUP and the user signals, killing the process: their default action).
//
//   SIGTERM, SIGINT  recorded (received()), and the loop stops
//   SIGHUP           the handler's reload_requested()
//   SIGUSR1          the handler's dump_requested()
//   SIGUSR2          read and ignored
#pragma once

#include "net/iodesc.h"

namespace orv {

class selector;

// What the program does on the signals that do not end it; called from the loop.
class signal_handler {
public:
    virtual void reload_requested() = 0;
    virtual void dump_requested() = 0;

protected:
    ~signal_handler() = default;
};

// Blocks the signals above and returns a signalfd that reports them (-1 on failure, with the
// signals left as they were).
int block_agent_signals();

class signal_watch : public iodesc {
public:
    // Watches `signal_fd` (not owned: it serves every pass); on SIGTERM or SIGINT records it and
    // stops `loop`. `handler` (may be null: the signals are then ignored) outlives the watch.
    signal_watch(const reporter& parent, int signal_fd, selector& loop, signal_handler* handler);

    int handle_events(int readable, int writable, int error) override;
    int wants_events(int* read, int* write, int* error) override;

    // The termination signal that stopped the loop, 0 while none has.
    static int received() { return received_; }

private:
    selector& loop_;
    signal_handler* handler_;
    static int received_;
};

}  // namespace orv
