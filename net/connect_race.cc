#include "net/connect_race.h"

#include <cerrno>

#include <netinet/in.h>
#include <sys/epoll.h>
#include <unistd.h>

namespace orv {

connect_race::connect_race() {
    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd_ < 0) error_ = errno;
}

connect_race::~connect_race() {
    for (int fd : running_) ::close(fd);
    if (winner_ >= 0) ::close(winner_);
    if (epoll_fd_ >= 0) ::close(epoll_fd_);
}

void connect_race::add(const sockaddr_storage& to) {
    if (to.ss_family != AF_INET && to.ss_family != AF_INET6) return;
    if (!first_family_) first_family_ = next_family_ = to.ss_family;
    (to.ss_family == AF_INET6 ? queued_v6_ : queued_v4_).push_back(to);
}

int64_t connect_race::due_ms() const {
    if (winner_ >= 0 || (queued_v4_.empty() && queued_v6_.empty())) return -1;
    return running_.empty() ? 0 : next_start_ms_;
}

void connect_race::drop(int fd) {
    epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
    ::close(fd);
    for (size_t i = 0; i < running_.size(); ++i) {
        if (running_[i] == fd) {
            running_.erase(running_.begin() + static_cast<long>(i));
            break;
        }
    }
}

bool connect_race::start_next(int64_t now_ms) {
    while (!queued_v4_.empty() || !queued_v6_.empty()) {
        // Families alternate while both have addresses left.
        std::deque<sockaddr_storage>* from = next_family_ == AF_INET6 ? &queued_v6_ : &queued_v4_;
        if (from->empty()) from = from == &queued_v6_ ? &queued_v4_ : &queued_v6_;
        sockaddr_storage to = from->front();
        from->pop_front();
        next_family_ = to.ss_family == AF_INET6 ? AF_INET : AF_INET6;
        socklen_t len = to.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        int fd = ::socket(to.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error_ = errno;
            continue;
        }
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), len) == 0) {
            winner_ = fd;
            return true;
        }
        if (errno != EINPROGRESS) {
            error_ = errno;
            ::close(fd);
            continue;  // a refusal at once: the next address at once
        }
        epoll_event ev{};
        ev.events = EPOLLOUT;
        ev.data.fd = fd;
        if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
            error_ = errno;
            ::close(fd);
            continue;
        }
        running_.push_back(fd);
        next_start_ms_ = now_ms + attempt_delay_ms;
        return true;
    }
    return false;
}

connect_race::outcome connect_race::step(int64_t now_ms) {
    if (winner_ >= 0) return outcome::connected;
    if (epoll_fd_ < 0) return outcome::failed;
    epoll_event events[8];
    int n = running_.empty() ? 0 : epoll_wait(epoll_fd_, events, 8, 0);
    bool one_failed = false;
    for (int i = 0; i < n; ++i) {
        int fd = events[i].data.fd;
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        if (err == 0 && (events[i].events & (EPOLLERR | EPOLLHUP)) == 0) {
            epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
            for (size_t k = 0; k < running_.size(); ++k) {
                if (running_[k] == fd) running_.erase(running_.begin() + static_cast<long>(k));
            }
            winner_ = fd;
            for (int other : running_) ::close(other);
            running_.clear();
            return outcome::connected;
        }
        if (err == 0) err = ECONNREFUSED;
        error_ = err;
        drop(fd);
        one_failed = true;
    }
    // A failure lets the next address go at once; otherwise it waits for its delay.
    if (running_.empty() || one_failed || now_ms >= next_start_ms_) {
        if (start_next(now_ms) && winner_ >= 0) {
            for (int other : running_) {
                epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, other, nullptr);
                ::close(other);
            }
            running_.clear();
            return outcome::connected;
        }
    }
    if (running_.empty() && queued_v4_.empty() && queued_v6_.empty() && list_done_) return outcome::failed;
    return outcome::running;
}

int connect_race::take_winner() {
    int fd = winner_;
    winner_ = -1;
    return fd;
}

}  // namespace orv
