#include "net/signal_watch.h"

#include <csignal>

#include <sys/signalfd.h>
#include <unistd.h>

#include "net/selector.h"

namespace orv {

int signal_watch::received_ = 0;

int block_agent_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signo : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&set, signo);
    sigset_t old;
    if (sigprocmask(SIG_BLOCK, &set, &old) != 0) return -1;
    int fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) sigprocmask(SIG_SETMASK, &old, nullptr);
    return fd;
}

signal_watch::signal_watch(const reporter& parent, int signal_fd, selector& loop, signal_handler* handler)
    : iodesc(parent, signal_fd), loop_(loop), handler_(handler) {}

int signal_watch::wants_events(int* read, int* write, int* error) {
    *read = 1;
    *write = *error = 0;
    return handle_ >= 0 ? 1 : 0;
}

int signal_watch::handle_events(int readable, int, int) {
    if (!readable) return 0;
    signalfd_siginfo info{};
    // Every signal that waits is taken in this one event.
    while (::read(handle_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        int signo = static_cast<int>(info.ssi_signo);
        if (signo == SIGTERM || signo == SIGINT) {
            received_ = signo;
            loop_.stop();
            return 0;
        }
        if (!handler_) continue;
        if (signo == SIGHUP) handler_->reload_requested();
        else if (signo == SIGUSR1) handler_->dump_requested();
    }
    return 0;
}

}  // namespace orv
