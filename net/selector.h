// selector: the agent's only event loop, on epoll.
//
// Interest is registered with the kernel when it changes, and only objects with something to do
// are dispatched: a ready handle, an expired timer, or input already buffered inside the object
// (decrypted TLS records). A cycle therefore costs what its ready objects cost, however many idle
// ones are registered.
//
// After every handle_events call the selector asks the object's wants_events again before the
// next wait. An object that changes what another object wants (a relay side filling its
// partner's buffer) calls update() on it (iodesc::request_update does that).
//
// Time-outs: each object may hold one deadline (set_deadline, monotonic milliseconds). When it
// passes, the object gets a handle_events(0, 0, 0) call and checks its own stamps; the deadline
// is spent by then and must be set again if still wanted. The wait timeout, when set, only caps
// the wait.
//
// The selector owns what is registered with it. An object whose handle_events returns -1, or
// whose ok flag is cleared, is removed and passed to dispose (which deletes it). Destroying the
// selector destroys everything still registered, in registration order. An object destroyed
// elsewhere removes itself from every selector first (iodesc's destructor).
//
// Snapshot guarantees: an object removed or destroyed during a dispatch or a walk is never touched
// again, and an object added during one is first dispatched or visited in the next cycle.
#pragma once

#include <cstdint>
#include <map>
#include <queue>
#include <unordered_map>
#include <vector>

#include <sys/epoll.h>

#include "net/iodesc.h"
#include "net/reporter.h"

namespace orv {

class selector : virtual public reporter, virtual public ok_flag {
public:
    explicit selector(const reporter& parent);
    selector(const selector&) = delete;
    selector& operator=(const selector&) = delete;
    virtual ~selector();

    // Destroys an object the selector has removed.
    virtual void dispose(iodesc* d);
    // Hooks around the wait; the selector's own do nothing.
    virtual void after_wait();
    virtual void before_wait();

    // Seconds; -1 waits without limit (deadlines still wake the loop).
    void set_wait_timeout(int seconds) { wait_timeout_ = seconds; }
    int wait_timeout() const { return wait_timeout_; }

    // Null, already registered (add) and absent (remove) objects are ignored.
    void add(iodesc* d);
    // Registers an object that serves the loop without keeping it alive (a signal watch): run()
    // ends when only such objects are left.
    void add_background(iodesc* d);
    void remove(iodesc* d);
    int count() const { return static_cast<int>(serial_of_.size()); }
    bool contains(const iodesc* d) const;

    // Asks `d` for its wanted events again before the next wait.
    void update(iodesc* d);
    // The handle of `d` is about to be closed: drop it from the kernel's interest set now, while
    // its number still names it.
    void forget_handle(iodesc* d);
    // One deadline per object (monotonic milliseconds, iodesc::now_ms); -1 clears it.
    void set_deadline(iodesc* d, int64_t at_ms);

    // Runs cycles until nothing is registered, or until stop().
    void run();
    // Ends run() after the current dispatch; what is registered stays (and is destroyed with
    // the selector).
    void stop() { stopped_ = true; }
    bool stopped() const { return stopped_; }
    // One cycle: refresh the interest of changed objects, wait, dispatch. Returns false without
    // waiting when nothing is registered. run() is after_wait, cycle until false, before_wait.
    bool cycle();

    // Snapshot walk over the registered objects, in registration order; `visit` may add, remove
    // or destroy registered objects.
    template <typename F>
    void for_each(F visit) {
        uint64_t limit = next_serial_;
        for (auto it = by_serial_.begin(); it != by_serial_.end() && it->first < limit;) {
            uint64_t serial = it->first;
            visit(it->second.object);
            it = by_serial_.upper_bound(serial);
        }
    }

private:
    struct registration {
        iodesc* object;
        int handle = -1;      // the handle in the kernel's set, -1 when none
        uint32_t events = 0;  // the events registered for it
        bool wants_error = false;
        bool stale = false;       // in stale_ already
        bool background = false;  // does not keep run() going
        int64_t deadline = -1;
    };
    struct ready_event {
        uint64_t serial;
        unsigned char bits;
    };

    registration* find(uint64_t serial);
    void refresh();
    void refresh_one(uint64_t serial, registration& r);
    void set_interest(registration& r, uint64_t serial, int handle, uint32_t events);
    int wait_ms();
    void collect_ready(int n);
    void collect_deadlines();
    void dispatch();
    void destroy(iodesc* d);

    int epoll_ = -1;
    std::map<uint64_t, registration> by_serial_;  // registration order
    std::unordered_map<const iodesc*, uint64_t> serial_of_;
    uint64_t next_serial_ = 1;
    size_t background_count_ = 0;
    int wait_timeout_ = -1;
    bool stopped_ = false;

    std::vector<uint64_t> stale_;     // to ask wants_events before the next wait
    std::vector<uint64_t> buffered_;  // holding input the kernel does not know of
    using deadline_entry = std::pair<int64_t, uint64_t>;
    std::priority_queue<deadline_entry, std::vector<deadline_entry>, std::greater<>> deadlines_;
    std::vector<epoll_event> kernel_events_;
    std::vector<ready_event> ready_;
};

}  // namespace orv
