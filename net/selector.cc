#include "net/selector.h"

#include <cerrno>
#include <climits>

namespace orv {

namespace {

constexpr unsigned char ready_read = 1;
constexpr unsigned char ready_write = 2;
constexpr unsigned char ready_error = 4;

constexpr short hangup_events = POLLERR | POLLHUP | POLLNVAL;

// What select() would have said for a handle, from poll()'s answer and what was asked. A hung-up
// handle whose owner asked for neither matching direction still gets the error flag: poll keeps
// reporting the hang-up, and leaving it unhandled would spin the loop.
unsigned char readiness(const pollfd& p)
{
    unsigned char bits = 0;
    if ((p.events & POLLIN) && (p.revents & (POLLIN | hangup_events)))
        bits |= ready_read;
    if ((p.events & POLLOUT) && (p.revents & (POLLOUT | POLLERR | POLLNVAL)))
        bits |= ready_write;
    if ((p.revents & hangup_events) && ((p.events & POLLPRI) || bits == 0))
        bits |= ready_error;
    return bits;
}

int timeout_ms(int seconds)
{
    if (seconds < 0)
        return -1;
    return seconds > INT_MAX / 1000 ? INT_MAX : seconds * 1000;
}

}  // namespace

selector::selector(const reporter& parent)
{
    adopt_sink(parent);
}

selector::~selector()
{
    // Destroying one object may destroy others (partners), so take the first survivor each time.
    while (!index_.empty()) {
        iodesc* d = nullptr;
        for (const entry& e : entries_)
            if (e.object) {
                d = e.object;
                break;
            }
        if (!d)
            break;
        remove(d);
        dispose(d);
    }
}

void selector::dispose(iodesc* d)
{
    delete d;
}

void selector::after_wait() {}

void selector::before_wait() {}

bool selector::contains(const iodesc* d) const
{
    return d && index_.count(d) != 0;
}

void selector::add(iodesc* d)
{
    if (!d || contains(d))
        return;
    entries_.push_back(entry{d, next_serial_++});
    index_.emplace(d, std::prev(entries_.end()));
    d->selectors_.push_back(this);
}

void selector::remove(iodesc* d)
{
    auto found = d ? index_.find(d) : index_.end();
    if (found == index_.end())
        return;
    if (walking_ > 0) {
        // A walk may hold an iterator to this node: leave the node, empty, for end_walk.
        found->second->object = nullptr;
        ++removed_during_walk_;
    } else {
        entries_.erase(found->second);
    }
    index_.erase(found);
    unlink(d);
}

void selector::unlink(iodesc* d)
{
    auto& list = d->selectors_;
    for (auto it = list.begin(); it != list.end(); ++it)
        if (*it == this) {
            list.erase(it);
            return;
        }
}

void selector::end_walk()
{
    if (--walking_ > 0 || removed_during_walk_ == 0)
        return;
    entries_.remove_if([](const entry& e) { return e.object == nullptr; });
    removed_during_walk_ = 0;
}

void selector::collect_events()
{
    for (const pollfd& p : pollfds_)
        slot_of_handle_[p.fd] = -1;
    pollfds_.clear();
    for_each([this](iodesc* d) {
        int read = 0, write = 0, error = 0;
        if (!d->wants_events(&read, &write, &error))
            return;
        int h = d->handle();
        if (h < 0)
            return;
        if (static_cast<size_t>(h) >= slot_of_handle_.size())
            slot_of_handle_.resize(static_cast<size_t>(h) + 1, -1);
        int& slot = slot_of_handle_[h];
        if (slot < 0) {
            slot = static_cast<int>(pollfds_.size());
            pollfds_.push_back(pollfd{h, 0, 0});
        }
        // POLLPRI only marks "error wanted" here; it is cleared before the wait.
        pollfds_[slot].events |= (read ? POLLIN : 0) | (write ? POLLOUT : 0) | (error ? POLLPRI : 0);
    });
}

bool selector::cycle()
{
    collect_events();
    if (index_.empty())
        return false;

    // The error wish travels in POLLPRI until here; poll itself must not wait for urgent data,
    // which relayed sockets receive inline.
    std::vector<unsigned char> wants_error(pollfds_.size());
    for (size_t i = 0; i < pollfds_.size(); ++i) {
        wants_error[i] = (pollfds_[i].events & POLLPRI) != 0;
        pollfds_[i].events &= ~POLLPRI;
        pollfds_[i].revents = 0;
    }

    before_wait();
    int rc = poll(pollfds_.data(), pollfds_.size(), timeout_ms(wait_timeout_));
    int wait_error = errno;
    after_wait();
    if (rc < 0 && wait_error == EINTR)
        return true;

    ready_.assign(pollfds_.size(), 0);
    if (rc > 0)
        for (size_t i = 0; i < pollfds_.size(); ++i) {
            pollfd p = pollfds_[i];
            if (wants_error[i])
                p.events |= POLLPRI;
            ready_[i] = readiness(p);
        }
    dispatch();
    return true;
}

void selector::dispatch()
{
    for_each([this](iodesc* d) {
        int readable = 0, writable = 0, error = 0;
        int h = d->handle();
        if (h >= 0 && static_cast<size_t>(h) < slot_of_handle_.size() && slot_of_handle_[h] >= 0) {
            // Each readiness is handed out once per cycle, to the first object that owns the handle.
            unsigned char& bits = ready_[slot_of_handle_[h]];
            readable = (bits & ready_read) != 0;
            writable = (bits & ready_write) != 0;
            error = (bits & ready_error) != 0;
            bits = 0;
        }
        if (!d->ok() || d->handle_events(readable, writable, error) == -1) {
            // It may have left (or been taken) already; only what is still ours is ours to destroy.
            if (contains(d)) {
                remove(d);
                dispose(d);
            }
        }
    });
}

void selector::run()
{
    after_wait();
    while (cycle()) {
    }
    before_wait();
}

}  // namespace orv
