// iodesc: the base of everything the selector waits on. It holds a handle (-1 when closed), the
// time stamps the objects' own time-outs are checked against, the byte counters, and the list of
// selectors it is registered with.
//
// Registration is kept on both sides: destroying an iodesc removes it from every selector it is
// registered with. An iodesc does not own its selectors; a selector owns what is registered
// with it (see selector.h).
//
// I/O convention of every class derived from here: a positive count of bytes moved, 0 when nothing
// can be moved now (would block, connect or handshake in progress), -1 when the connection is
// closed or failed.
//
// handle_events(readable, writable, error) results: -1 has the selector destroy the object; 0 and
// 1 both keep it (subclasses use 1 for "busy with its own set-up, nothing more to do now" and 0
// for "set up, the subclass may go on"). wants_events sets the three wishes and returns nonzero
// when the handle should be waited on at all.
#pragma once

#include <cstdint>
#include <ctime>
#include <vector>

#include "net/reporter.h"

namespace orv {

class rwbuf;
class selector;

class iodesc : virtual public reporter, virtual public ok_flag {
public:
    iodesc(const reporter& parent, int handle);
    iodesc(const iodesc&) = delete;
    iodesc& operator=(const iodesc&) = delete;
    virtual ~iodesc();

    // The base has no stream: close forgets the handle (without closing it), the I/O
    // operations return -1 and the event operations ask for nothing.
    virtual int close();
    virtual int read_into(rwbuf* buf, int max);
    virtual int write_from(rwbuf* buf);
    virtual int read(char* buf, int size);
    virtual int write(const char* data, int len);
    virtual int handle_events(int readable, int writable, int error);
    virtual int wants_events(int* read, int* write, int* error);
    virtual int is_busy();
    // Nonzero when input is already waiting inside the object (decrypted TLS records, say),
    // where the kernel's readiness cannot show it.
    virtual int has_buffered_input();

    // Monotonic milliseconds, the clock of deadlines.
    static int64_t now_ms();
    // Asks every selector this object is registered with to query wants_events again.
    void request_update();
    // One deadline (now_ms scale; -1 clears it): at that time the object gets a
    // handle_events(0, 0, 0) call.
    void set_deadline(int64_t at_ms);

    int handle() const { return handle_; }
    time_t last_activity() const { return last_activity_; }
    time_t creation_time() const { return creation_time_; }
    int64_t bytes_read() const { return bytes_read_; }
    int64_t bytes_written() const { return bytes_written_; }
    int64_t deadline() const { return deadline_; }
    // The selectors this object is registered with, in order of registration.
    const std::vector<selector*>& selectors() const { return selectors_; }

protected:
    void stamp_activity() { last_activity_ = time(nullptr); }
    // The handle is about to be closed: no selector may keep waiting on its number.
    void forget_handle();

    int handle_;
    time_t last_activity_;
    time_t creation_time_;
    int64_t bytes_read_ = 0;
    int64_t bytes_written_ = 0;

private:
    friend class selector;
    std::vector<selector*> selectors_;
    int64_t deadline_ = -1;
};

}  // namespace orv
