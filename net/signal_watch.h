// signal_watch: termination signals as an event of the selector. The signals are blocked for
// the whole process at start-up (block_termination_signals) and read from a signalfd, so one
// that arrives between passes or during a dispatch waits for the loop instead of cutting it.
#pragma once

#include "net/iodesc.h"

namespace orv {

class selector;

// Blocks SIGTERM and SIGINT and returns a signalfd that reports them (-1 on failure, with the
// signals left as they were).
int block_termination_signals();

class signal_watch : public iodesc {
public:
    // Watches `signal_fd` (not owned: it serves every pass); on a signal, records it and stops
    // `loop`.
    signal_watch(const reporter& parent, int signal_fd, selector& loop);

    int handle_events(int readable, int writable, int error) override;
    int wants_events(int* read, int* write, int* error) override;

    // The signal that stopped the loop, 0 while none has.
    static int received() { return received_; }

private:
    selector& loop_;
    static int received_;
};

}  // namespace orv
