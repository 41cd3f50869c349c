#include "net/periodic.h"

#include <utility>

namespace orv {

periodic::periodic(const reporter& parent, int64_t period_ms, std::function<void()> tick)
    : reporter(parent), iodesc(parent, -1), period_ms_(period_ms), tick_(std::move(tick)) {
    due_ms_ = now_ms() + period_ms_;
    set_deadline(due_ms_);  // the selector takes it over when the object is added
}

int periodic::wants_events(int* read, int* write, int* error) {
    *read = *write = *error = 0;
    return 0;
}

int periodic::handle_events(int, int, int) {
    int64_t now = now_ms();
    if (now < due_ms_) return 0;
    due_ms_ = now + period_ms_;
    set_deadline(due_ms_);
    tick_();
    return 0;
}

}  // namespace orv
