#include "net/selector.h"

#include <algorithm>
#include <cerrno>
#include <climits>

#include <unistd.h>

namespace orv {

namespace {

constexpr unsigned char ready_read = 1;
constexpr unsigned char ready_write = 2;
constexpr unsigned char ready_error = 4;

constexpr uint32_t hangup_events = EPOLLERR | EPOLLHUP;

// What select() would have said for a handle, from epoll's answer and what was asked. A hang-up
// is an end of input to a reader (what is still queued can be read first). A hung-up handle whose
// owner asked for neither direction still gets the error flag: the kernel keeps reporting the
// hang-up, and leaving it unhandled would spin the loop.
unsigned char readiness(uint32_t wanted, bool wants_error, uint32_t got) {
    unsigned char bits = 0;
    if ((wanted & EPOLLIN) && (got & (EPOLLIN | hangup_events))) bits |= ready_read;
    if ((wanted & EPOLLOUT) && (got & (EPOLLOUT | hangup_events))) bits |= ready_write;
    if ((got & EPOLLERR) && wants_error) bits |= ready_error;
    if ((got & hangup_events) && bits == 0) bits |= ready_error;
    return bits;
}

}  // namespace

selector::selector(const reporter& parent) {
    adopt_sink(parent);
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) {
        report_sockerr(*this, "unable to create event set");
        clear_ok();
    }
    kernel_events_.resize(256);
}

selector::~selector() {
    // Destroying one object may destroy others (partners), so take the first survivor each time.
    while (!by_serial_.empty()) {
        iodesc* d = by_serial_.begin()->second.object;
        remove(d);
        dispose(d);
    }
    if (epoll_ >= 0) ::close(epoll_);
}

void selector::dispose(iodesc* d) { delete d; }

void selector::after_wait() {}

void selector::before_wait() {}

bool selector::contains(const iodesc* d) const { return d && serial_of_.count(d) != 0; }

selector::registration* selector::find(uint64_t serial) {
    auto it = by_serial_.find(serial);
    return it == by_serial_.end() ? nullptr : &it->second;
}

void selector::add(iodesc* d) {
    if (!d || contains(d)) return;
    uint64_t serial = next_serial_++;
    registration& r = by_serial_.emplace(serial, registration{d}).first->second;
    serial_of_.emplace(d, serial);
    d->selectors_.push_back(this);
    r.stale = true;
    stale_.push_back(serial);
    if (d->deadline() >= 0) set_deadline(d, d->deadline());
}

void selector::add_background(iodesc* d) {
    if (!d || contains(d)) return;
    add(d);
    by_serial_.find(serial_of_.at(d))->second.background = true;
    ++background_count_;
}

void selector::remove(iodesc* d) {
    auto found = d ? serial_of_.find(d) : serial_of_.end();
    if (found == serial_of_.end()) return;
    auto it = by_serial_.find(found->second);
    if (it->second.background) --background_count_;
    if (it->second.handle >= 0) epoll_ctl(epoll_, EPOLL_CTL_DEL, it->second.handle, nullptr);
    // Queued serials of this registration are skipped from now on: serials are never reused.
    by_serial_.erase(it);
    serial_of_.erase(found);
    auto& list = d->selectors_;
    list.erase(std::find(list.begin(), list.end(), this));
}

void selector::update(iodesc* d) {
    auto found = d ? serial_of_.find(d) : serial_of_.end();
    if (found == serial_of_.end()) return;
    registration& r = by_serial_.find(found->second)->second;
    if (!r.stale) {
        r.stale = true;
        stale_.push_back(found->second);
    }
}

void selector::forget_handle(iodesc* d) {
    auto found = d ? serial_of_.find(d) : serial_of_.end();
    if (found == serial_of_.end()) return;
    registration& r = by_serial_.find(found->second)->second;
    if (r.handle >= 0) epoll_ctl(epoll_, EPOLL_CTL_DEL, r.handle, nullptr);
    r.handle = -1;
    r.events = 0;
    update(d);
}

void selector::set_deadline(iodesc* d, int64_t at_ms) {
    if (d) d->deadline_ = at_ms;  // kept by the object too, for a later registration
    auto found = d ? serial_of_.find(d) : serial_of_.end();
    if (found == serial_of_.end()) return;
    registration& r = by_serial_.find(found->second)->second;
    r.deadline = at_ms;
    // Earlier entries for the same object stay in the queue and are skipped when they come up.
    if (at_ms >= 0) deadlines_.push({at_ms, found->second});
}

void selector::set_interest(registration& r, uint64_t serial, int handle, uint32_t events) {
    if (handle != r.handle && r.handle >= 0) {
        epoll_ctl(epoll_, EPOLL_CTL_DEL, r.handle, nullptr);
        r.handle = -1;
    }
    if (handle < 0) return;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = serial;
    if (r.handle < 0) {
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, handle, &ev) == 0) r.handle = handle;
    } else if (events != r.events) {
        epoll_ctl(epoll_, EPOLL_CTL_MOD, handle, &ev);
    }
    r.events = events;
}

void selector::refresh_one(uint64_t serial, registration& r) {
    r.stale = false;
    iodesc* d = r.object;
    if (!d->ok()) {
        destroy(d);
        return;
    }
    int read = 0, write = 0, error = 0;
    bool wanted = d->wants_events(&read, &write, &error) != 0;
    int handle = wanted ? d->handle() : -1;
    uint32_t events = (read ? uint32_t(EPOLLIN) : 0u) | (write ? uint32_t(EPOLLOUT) : 0u);
    r.wants_error = error != 0;
    set_interest(r, serial, handle, events);
    if (wanted && read && d->has_buffered_input()) buffered_.push_back(serial);
}

void selector::refresh() {
    // Refreshing may destroy objects (ok flag cleared), which may mark others stale.
    while (!stale_.empty()) {
        std::vector<uint64_t> batch;
        batch.swap(stale_);
        for (uint64_t serial : batch)
            if (registration* r = find(serial); r && r->stale) refresh_one(serial, *r);
    }
}

int selector::wait_ms() {
    if (!buffered_.empty()) return 0;
    long long wait = wait_timeout_ < 0 ? -1 : static_cast<long long>(wait_timeout_) * 1000;
    while (!deadlines_.empty()) {
        auto [at, serial] = deadlines_.top();
        registration* r = find(serial);
        if (!r || r->deadline != at) {
            deadlines_.pop();
            continue;
        }
        long long until = std::max<long long>(0, at - iodesc::now_ms());
        if (wait < 0 || until < wait) wait = until;
        break;
    }
    return static_cast<int>(std::min<long long>(wait, INT_MAX));
}

void selector::collect_ready(int n) {
    ready_.clear();
    for (int i = 0; i < n; ++i) {
        const epoll_event& ev = kernel_events_[i];
        registration* r = find(ev.data.u64);
        if (!r) continue;
        unsigned char bits = readiness(r->events, r->wants_error, ev.events);
        ready_.push_back({ev.data.u64, bits});
    }
    for (uint64_t serial : buffered_) ready_.push_back({serial, ready_read});
    buffered_.clear();
}

void selector::collect_deadlines() {
    int64_t now = iodesc::now_ms();
    while (!deadlines_.empty() && deadlines_.top().first <= now) {
        auto [at, serial] = deadlines_.top();
        deadlines_.pop();
        registration* r = find(serial);
        if (!r || r->deadline != at) continue;
        r->deadline = -1;
        r->object->deadline_ = -1;
        ready_.push_back({serial, 0});
    }
}

void selector::destroy(iodesc* d) {
    // It may have left (or been taken) already; only what is still ours is ours to destroy.
    if (contains(d)) {
        remove(d);
        dispose(d);
    }
}

void selector::dispatch() {
    // Registration order; one call per object and cycle, with the readiness merged.
    std::sort(ready_.begin(), ready_.end(),
              [](const ready_event& a, const ready_event& b) { return a.serial < b.serial; });
    for (size_t i = 0; i < ready_.size();) {
        uint64_t serial = ready_[i].serial;
        unsigned char bits = 0;
        for (; i < ready_.size() && ready_[i].serial == serial; ++i) bits |= ready_[i].bits;
        registration* r = find(serial);
        if (!r) continue;  // destroyed earlier in this dispatch
        iodesc* d = r->object;
        if (!d->ok() || d->handle_events(bits & ready_read, (bits & ready_write) >> 1, (bits & ready_error) >> 2) == -1)
            destroy(d);
        else update(d);
    }
}

bool selector::cycle() {
    refresh();
    if (by_serial_.size() == background_count_ || stopped_) return false;
    if (kernel_events_.size() < 4096 && kernel_events_.size() < serial_of_.size())
        kernel_events_.resize(std::min<size_t>(4096, serial_of_.size()));
    int timeout = wait_ms();
    before_wait();
    int n = epoll_wait(epoll_, kernel_events_.data(), static_cast<int>(kernel_events_.size()), timeout);
    int wait_error = errno;
    after_wait();
    if (n < 0) {
        if (wait_error == EINTR) return true;
        n = 0;
    }
    collect_ready(n);
    collect_deadlines();
    dispatch();
    return !stopped_;
}

void selector::run() {
    after_wait();
    while (cycle()) {
    }
    before_wait();
}

}  // namespace orv
