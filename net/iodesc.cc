#include "net/iodesc.h"

#include "net/selector.h"

#include <ctime>

namespace orv {

iodesc::iodesc(const reporter& parent, int handle) : handle_(handle) {
    adopt_sink(parent);
    creation_time_ = last_activity_ = time(nullptr);
}

iodesc::~iodesc() {
    // Copy first: each remove edits selectors_.
    std::vector<selector*> registered = selectors_;
    for (selector* s : registered) s->remove(this);
}

int iodesc::close() {
    handle_ = -1;
    return 0;
}

int iodesc::read_into(rwbuf*, int) { return -1; }
int iodesc::write_from(rwbuf*) { return -1; }
int iodesc::read(char*, int) { return -1; }
int iodesc::write(const char*, int) { return -1; }
int iodesc::handle_events(int, int, int) { return 0; }

int iodesc::wants_events(int* read, int* write, int* error) {
    *read = *write = *error = 0;
    return 0;
}

int iodesc::is_busy() { return 0; }
int iodesc::has_buffered_input() { return 0; }

int64_t iodesc::now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void iodesc::request_update() {
    for (selector* s : selectors_) s->update(this);
}

void iodesc::set_deadline(int64_t at_ms) {
    deadline_ = at_ms;
    for (selector* s : selectors_) s->set_deadline(this, at_ms);
}

void iodesc::forget_handle() {
    for (selector* s : selectors_) s->forget_handle(this);
}

}  // namespace orv
