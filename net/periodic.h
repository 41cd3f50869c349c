// periodic: a background object of the selector that calls its tick every `period_ms`, the
// first time one period after it is made. It has no handle: its deadline is all it waits on.
#pragma once

#include <cstdint>
#include <functional>

#include "net/iodesc.h"

namespace orv {

class periodic : public iodesc {
public:
    // `tick` must not destroy the periodic.
    periodic(const reporter& parent, int64_t period_ms, std::function<void()> tick);

    // On the deadline: ticks and arms the next one; always 0 (the object stays).
    int handle_events(int readable, int writable, int error) override;
    // Waits on nothing but the deadline: 0.
    int wants_events(int* read, int* write, int* error) override;

private:
    int64_t period_ms_;
    int64_t due_ms_;
    std::function<void()> tick_;
};

}  // namespace orv
