// Cost of one selector cycle (collect wanted events, poll, dispatch) for 100, 1,000 and 10,000
// registered objects, each with its own descriptor. Three loads:
//   busy   - every object waits for write readiness on an eventfd, which is always writable, so
//            every object is handed an event on every cycle;
//   idle   - objects that want nothing (no descriptor in the wait); the walks alone;
//   churn  - as busy, and on every cycle 1% of the objects each destroy another registered object
//            and register a new one during the dispatch walk.
// For comparison, "naive walk" times the literal snapshot walk (copy the list, then look each
// entry up in the live list by linear search) over the same number of entries.
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "net/selector.h"

namespace {

using clock_type = std::chrono::steady_clock;

struct bench_object : orv::iodesc {
    explicit bench_object(bool with_fd)
        : orv::iodesc(orv::reporter{}, with_fd ? eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1) {}
    ~bench_object() override {
        if (handle_ >= 0) ::close(handle_);
    }
    int wants_events(int* r, int* w, int* e) override {
        *r = *e = 0;
        *w = handle_ >= 0;
        return *w;
    }
    int handle_events(int, int writable, int) override {
        events += writable;
        return on_events ? on_events(this) : 0;
    }
    long events = 0;
    int (*on_events)(bench_object*) = nullptr;
};

orv::selector* current = nullptr;
std::vector<bench_object*>* population = nullptr;
size_t churn_cursor = 0;

// Replaces another object: destroy it (it leaves the selector in its destructor) and register a
// new one, which the walk in progress must not visit.
int churn(bench_object* self) {
    std::vector<bench_object*>& all = *population;
    size_t victim = (churn_cursor += 7919) % all.size();
    if (all[victim] == self) return 0;
    auto* fresh = new bench_object(true);
    fresh->on_events = all[victim]->on_events;  // keep the churning share at 1%
    delete all[victim];
    all[victim] = fresh;
    current->add(fresh);
    return 0;
}

double cycle_microseconds(int n, const char* load) {
    orv::selector sel(orv::reporter{});
    sel.set_wait_timeout(0);
    std::vector<bench_object*> all;
    bool with_fd = std::string(load) != "idle";
    for (int i = 0; i < n; ++i) {
        all.push_back(new bench_object(with_fd));
        sel.add(all.back());
    }
    if (std::string(load) == "churn")
        for (int i = 0; i < n; i += 100) all[i]->on_events = churn;
    current = &sel;
    population = &all;

    const int cycles = std::max(20, 2000000 / (n * (with_fd ? 4 : 1)));
    sel.cycle();  // warm up: first allocations of the wait set
    auto start = clock_type::now();
    for (int i = 0; i < cycles; ++i) sel.cycle();
    auto spent = std::chrono::duration<double, std::micro>(clock_type::now() - start).count();
    return spent / cycles;
}

double naive_walk_microseconds(int n) {
    std::vector<int> objects(n);
    std::vector<int*> live;
    for (int& o : objects) live.push_back(&o);
    const int walks = std::max(3, 20000000 / (n * n / 2 + 1));
    long visited = 0;
    auto start = clock_type::now();
    for (int w = 0; w < walks; ++w) {
        std::vector<int*> copy = live;
        for (int* entry : copy)
            if (std::find(live.begin(), live.end(), entry) != live.end()) ++visited;
    }
    auto spent = std::chrono::duration<double, std::micro>(clock_type::now() - start).count();
    if (visited != static_cast<long>(walks) * n) std::printf("unexpected visit count\n");
    return spent / walks;
}

}  // namespace

int main() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    std::printf("%10s %14s %14s %14s %16s\n", "objects", "busy us/cycle", "idle us/cycle", "churn us/cycle",
                "naive walk us");
    for (int n : {100, 1000, 10000}) {
        double busy = cycle_microseconds(n, "busy");
        double idle = cycle_microseconds(n, "idle");
        double churned = cycle_microseconds(n, "churn");
        double naive = naive_walk_microseconds(n);
        std::printf("%10d %14.1f %14.1f %14.1f %16.1f\n", n, busy, idle, churned, naive);
    }
    return 0;
}
