// connect_race: a TCP connect to the first of several addresses that answers, as current clients
// do (Happy Eyeballs, RFC 8305). Attempts start one after another, `attempt_delay_ms` apart or at
// once when the one before has failed, alternating the address families (the family of the first
// address first); the first attempt to connect wins and the others are closed.
//
// The attempts' sockets sit in an epoll set of the race's own, so that the owner waits on a
// single descriptor (handle()) and on due_ms(). Addresses may be added while the race runs (an
// AAAA answer after the A one); finish_list() says that none will come any more.
//
// States: running (attempts under way or due), connected (take_winner() hands the socket over),
// failed (every address tried, error() says the last reason).
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include <sys/socket.h>

namespace orv {

class connect_race {
public:
    static constexpr int attempt_delay_ms = 250;

    enum class outcome { running, connected, failed };

    connect_race();
    ~connect_race();
    connect_race(const connect_race&) = delete;
    connect_race& operator=(const connect_race&) = delete;

    // False when the race's epoll set could not be made (error() says why).
    bool usable() const { return epoll_fd_ >= 0; }
    // The descriptor to wait on for reading: it is readable when an attempt has finished.
    int handle() const { return epoll_fd_; }

    // Queues `to` (port set) for an attempt.
    void add(const sockaddr_storage& to);
    // No more addresses will be added.
    void finish_list() { list_done_ = true; }

    // Collects finished attempts and starts those that are due. Never blocks.
    outcome step(int64_t now_ms);
    // When the next attempt is due (monotonic ms), -1 when none waits for a time.
    int64_t due_ms() const;
    // The connected socket (once step() said connected); the caller owns it from then on.
    int take_winner();
    // The errno of the last failed attempt (0 when none failed).
    int error() const { return error_; }

private:
    struct attempt {
        int fd;
    };
    bool start_next(int64_t now_ms);
    void drop(int fd);

    int epoll_fd_ = -1;
    int error_ = 0;
    int winner_ = -1;
    bool list_done_ = false;
    int first_family_ = 0;
    int next_family_ = 0;
    std::deque<sockaddr_storage> queued_v4_, queued_v6_;
    std::vector<int> running_;
    int64_t next_start_ms_ = 0;
};

}  // namespace orv
