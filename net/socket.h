// socket: a non-blocking BSD socket. It closes its handle when destroyed.
//
// States: closed (handle < 0), connecting (pending connect address set), open. Misuse is reported
// ("tried read on closed socket\n" and the like) and answered -1 on a closed socket, 0 on a
// connecting one. A non-blocking connect completes from handle_events: the selector reports
// writable (complete it) or error (it failed; the selector then destroys the socket).
#pragma once

#include <memory>

#include "net/connect_race.h"

#include "net/inetaddr.h"
#include "net/iodesc.h"

namespace orv {

class socket : public iodesc {
public:
    // Over an existing handle (an accepted connection); the socket owns it from now on.
    socket(const reporter& parent, int handle);
    // A new socket(family, type, protocol); "unable to create socket" with the error on failure
    // (the handle stays negative and the ok flag is cleared).
    socket(const reporter& parent, int family, int type, int protocol);
    ~socket() override;

    int close() override;
    int read_into(rwbuf* buf, int max) override;
    int write_from(rwbuf* buf) override;
    int read(char* buf, int size) override;
    int write(const char* data, int len) override;
    int handle_events(int readable, int writable, int error) override;
    int wants_events(int* read, int* write, int* error) override;
    int is_busy() override;
    // 0 when connected or connecting, -1 on failure ("connect failed" with the error).
    virtual int connect(const address* to);
    // Connects to whichever address of `race` answers first; the socket's handle is replaced by
    // the winner's (handle_replaced() then runs). 0 while under way, -1 on failure ("connect
    // failed" with the last attempt's error, reported when the race ends).
    int connect_any(std::unique_ptr<connect_race> race);
    // The race under way (to add addresses that came later), null when none.
    connect_race* race() const { return race_.get(); }
    // When the race next wants to be called (an attempt is due), -1 when it waits for nothing.
    int64_t race_due_ms() const { return race_ ? race_->due_ms() : -1; }
    // Gives up the handle and takes a new socket of `family` in its place (before a connect to
    // an address of the other family): 0, or -1 after "unable to create socket".
    int reopen(int family);
    // Back to a fresh, unconnected socket (before another connect attempt): 0, or -1 after
    // "unable to create socket". Layers above forget their own progress too.
    virtual int start_over();
    // Ends the output direction (the peer reads an end of stream) while input goes on:
    // 1 when done, 0 to be called again when the handle is ready, -1 on failure.
    virtual int shutdown_output();

    // How the input direction ended, once a read has answered -1.
    enum class input_end { open, orderly, failed };
    input_end input_state() const { return input_end_; }

    int bind(const address* at);
    int listen(int backlog);
    // The new handle, or a negative value after "accept failed" (errno kept; the message only
    // when `report_failure`). The caller wraps it.
    int accept(bool report_failure = true);
    // New addresses (null after "getsockname failed" / "getpeername failed").
    std::unique_ptr<inetaddr> local_address();
    std::unique_ptr<inetaddr> peer_address();
    // 0 on success, nonzero after "ioctl FIONBIO failed".
    int set_nonblocking(int on);

    // Socket options: -1 reads the option (its value, or -1 after "unable to get socket option
    // NAME"), any other value sets it (0, or -1 after "unable to set socket option NAME").
    int so_reuseaddr(int value);
    int so_keepalive(int value);
    int so_oobinline(int value);
    int tcp_nodelay(int value);
    // Bytes the kernel holds for the next read (FIONREAD); 0 when it cannot tell.
    int queued_input() const;

    bool is_connecting() const { return pending_ != nullptr || race_ != nullptr; }
    bool is_closed() const { return handle_ < 0; }
    // The address family of the handle (AF_INET, AF_INET6), 0 when closed or racing.
    int handle_family() const;

protected:
    // recv and send on the handle, with read's and write's checks, messages and results. They
    // are not virtual: a subclass that layers a protocol over read and write (SSL) still needs
    // the plain stream underneath, for instance for the proxy exchange.
    int plain_read(char* buf, int size);
    int plain_write(const char* data, int len);
    // read_into and write_from over plain_read and plain_write.
    int plain_read_into(rwbuf* buf, int max);
    int plain_write_from(rwbuf* buf);
    // Finishes a pending non-blocking connect: 0 (done or still connecting), -1 on failure.
    int complete_connect();
    int option(int level, int name, const char* option_name, int value);
    // The handle is a new one (a race's winner, a reopen): layers that hold it set it again.
    virtual void handle_replaced() {}

    std::unique_ptr<inetaddr> pending_;  // non-null while a single connect is under way
    // Non-null while racing; the handle is then the race's epoll set, owned by the race.
    std::unique_ptr<connect_race> race_;
    int family_ = 0;  // the handle's family when this object made it; 0: ask the kernel
    input_end input_end_ = input_end::open;
};

// Writing to a peer that has gone must not kill the process.
void ignore_sigpipe();

}  // namespace orv
