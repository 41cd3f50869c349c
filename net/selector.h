// selector: the agent's only event loop. It waits with poll() on the handles of its registered
// objects and then offers every registered object one handle_events call per cycle, also when
// nothing happened on its handle: that call is what drives the objects' own time-outs.
//
// The selector owns what is registered with it. An object whose handle_events returns -1, or whose
// ok flag is cleared, is removed and passed to dispose (which deletes it). Destroying the selector
// destroys everything still registered, in registration order. An object destroyed elsewhere
// removes itself from every selector first (iodesc's destructor).
//
// Walks over the registered objects are snapshots: an object removed or destroyed during a walk
// (for instance by another object's handle_events) is not visited afterwards, and an object added
// during a walk is first visited by the next walk.
#pragma once

#include <cstdint>
#include <list>
#include <unordered_map>
#include <vector>

#include <poll.h>

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

    // Seconds; -1 waits without limit.
    void set_wait_timeout(int seconds) { wait_timeout_ = seconds; }
    int wait_timeout() const { return wait_timeout_; }

    // Null, already registered (add) and absent (remove) objects are ignored.
    void add(iodesc* d);
    void remove(iodesc* d);
    int count() const { return static_cast<int>(index_.size()); }
    bool contains(const iodesc* d) const;

    // Runs cycles until nothing is registered.
    void run();
    // One cycle: collect the wanted events, wait, dispatch. Returns false without waiting when
    // nothing is registered. run() is after_wait, cycle until false, before_wait.
    bool cycle();

    // Snapshot walk over the registered objects, in registration order; `visit` may add, remove
    // or destroy registered objects.
    template <typename F>
    void for_each(F visit)
    {
        walk_guard guard(*this);
        for (auto it = entries_.begin(); it != entries_.end() && it->serial < guard.limit; ++it)
            if (it->object)
                visit(it->object);
    }

private:
    struct entry {
        iodesc* object;   // null once removed during a walk; the node is erased after it
        uint64_t serial;  // registration number, increasing along the list
    };
    // Keeps list nodes alive while a walk holds an iterator into the list; the walk ends at
    // the first entry registered after it started.
    struct walk_guard {
        explicit walk_guard(selector& s) : sel(s), limit(s.next_serial_) { ++sel.walking_; }
        ~walk_guard() { sel.end_walk(); }
        walk_guard(const walk_guard&) = delete;
        walk_guard& operator=(const walk_guard&) = delete;
        selector& sel;
        uint64_t limit;
    };

    void end_walk();
    void unlink(iodesc* d);
    void collect_events();
    void dispatch();

    std::list<entry> entries_;
    std::unordered_map<const iodesc*, std::list<entry>::iterator> index_;
    uint64_t next_serial_ = 0;
    int walking_ = 0;
    int removed_during_walk_ = 0;
    int wait_timeout_ = -1;

    // The wait set of the current cycle: one pollfd per handle, whatever number of objects
    // share it; ready_ holds the readiness still to be handed out for each (bits below).
    std::vector<pollfd> pollfds_;
    std::vector<unsigned char> ready_;
    std::vector<int> slot_of_handle_;  // handle -> index in pollfds_ this cycle, -1 if none
};

}  // namespace orv
