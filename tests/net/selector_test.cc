// selector: registration on both sides, dispatch of ready objects only, deadlines, interest
// updates, buffered input, the snapshot guarantees, ownership, the wait.
#include <csignal>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/selector.h"
#include "net/socket.h"
#include "tests/net/net_test_util.h"

namespace orv {
namespace {

// A registered object that writes what happens to it into a shared journal.
struct probe : iodesc {
    probe(std::vector<std::string>& journal, std::string name, int handle = -1)
        : iodesc(reporter{}, handle), journal(journal), name(std::move(name)) {}
    ~probe() override { journal.push_back("~" + name); }

    int wants_events(int* r, int* w, int* e) override {
        journal.push_back("wants " + name);
        *r = want_read;
        *w = want_write;
        *e = want_error;
        return want_read || want_write || want_error;
    }
    int handle_events(int r, int w, int e) override {
        journal.push_back("handle " + name + " " + std::to_string(r) + std::to_string(w) + std::to_string(e));
        return on_events ? on_events() : result;
    }
    int has_buffered_input() override { return buffered; }

    std::vector<std::string>& journal;
    std::string name;
    int want_read = 0;
    int want_write = 0;
    int want_error = 0;
    int buffered = 0;
    int result = 0;
    std::function<int()> on_events;
};

// A probe that owns its handle and closes it the way sockets do: out of the selectors first.
struct owning_probe : probe {
    using probe::probe;
    ~owning_probe() override { close_handle(); }
    void close_handle() {
        if (handle_ < 0) return;
        forget_handle();
        ::close(handle_);
        handle_ = -1;
    }
};

std::vector<std::string> only(const std::vector<std::string>& journal, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& line : journal)
        if (line.rfind(prefix, 0) == 0) out.push_back(line);
    return out;
}

struct counting_selector : selector {
    explicit counting_selector(std::vector<std::string>& journal) : selector(reporter{}), journal(journal) {}
    void after_wait() override { journal.push_back("after_wait"); }
    void before_wait() override { journal.push_back("before_wait"); }
    std::vector<std::string>& journal;
};

// A connected pair of local stream sockets, closed on destruction unless taken.
struct socket_pair {
    socket_pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd), 0); }
    ~socket_pair() {
        for (int f : fd)
            if (f >= 0) ::close(f);
    }
    socket_pair(const socket_pair&) = delete;
    socket_pair& operator=(const socket_pair&) = delete;
    // Makes fd[0] readable.
    void feed() { EXPECT_EQ(::write(fd[1], "x", 1), 1); }
    int take(int i) {
        int f = fd[i];
        fd[i] = -1;
        return f;
    }
    int fd[2] = {-1, -1};
};

// One cycle, and how long it took in milliseconds.
int64_t timed_cycle(selector& sel) {
    int64_t start = iodesc::now_ms();
    EXPECT_TRUE(sel.cycle());
    return iodesc::now_ms() - start;
}

TEST(selector, with_nothing_registered_run_calls_each_hook_once_and_returns) {
    std::vector<std::string> journal;
    counting_selector sel(journal);
    sel.run();
    EXPECT_EQ(journal, (std::vector<std::string>{"after_wait", "before_wait"}));
}

TEST(selector, registration_is_kept_on_both_sides) {
    std::vector<std::string> journal;
    selector a(reporter{}), b(reporter{});
    auto* p = new probe(journal, "p");
    a.add(p);
    a.add(p);  // already there: ignored
    a.add(nullptr);
    b.add(p);
    EXPECT_EQ(a.count(), 1);
    EXPECT_EQ(p->selectors(), (std::vector<selector*>{&a, &b}));
    a.remove(p);
    a.remove(p);  // absent: ignored
    EXPECT_FALSE(a.contains(p));
    EXPECT_EQ(p->selectors(), (std::vector<selector*>{&b}));
    delete p;  // leaves b too
    EXPECT_EQ(b.count(), 0);
    EXPECT_EQ(journal, (std::vector<std::string>{"~p"}));
}

// Ready objects are called once per cycle with their readiness merged, in registration order
// (not handle order); the others are not called at all.
TEST(selector, only_ready_objects_are_called_once_per_cycle_in_registration_order) {
    std::vector<std::string> journal;
    socket_pair x, y, z;
    selector sel(reporter{});
    sel.set_wait_timeout(0);
    auto* px = new probe(journal, "x", x.fd[0]);
    auto* py = new probe(journal, "y", y.fd[0]);
    auto* pz = new probe(journal, "z", z.fd[0]);
    px->want_read = py->want_read = pz->want_read = 1;
    pz->want_write = 1;
    for (probe* p : {pz, py, px}) sel.add(p);
    x.feed();
    z.feed();
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(sel.cycle());
    EXPECT_EQ(only(journal, "handle"),
              (std::vector<std::string>{"handle z 110", "handle x 100", "handle z 110", "handle x 100"}));
}

// An object whose handle is quiet and which has no deadline costs no call, however the wait ends.
TEST(selector, an_idle_object_is_never_called) {
    std::vector<std::string> journal;
    socket_pair s;
    selector sel(reporter{});
    auto* quiet = new probe(journal, "quiet", s.fd[0]);
    quiet->want_read = 1;
    auto* handleless = new probe(journal, "handleless");
    sel.add(quiet);
    sel.add(handleless);
    sel.set_wait_timeout(0);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(sel.cycle());
    sel.set_wait_timeout(1);  // a wait that ends by its time-out calls nobody either
    int64_t took = timed_cycle(sel);
    EXPECT_GE(took, 900);
    EXPECT_LT(took, 3000);
    EXPECT_EQ(only(journal, "handle"), std::vector<std::string>{});
    // Their interest was asked for once, at registration, and never again.
    EXPECT_EQ(only(journal, "wants"), (std::vector<std::string>{"wants quiet", "wants handleless"}));
}

TEST(selector, results_decide_who_stays) {
    std::vector<std::string> journal;
    selector sel(reporter{});
    sel.set_wait_timeout(0);
    auto* zero = new probe(journal, "zero");
    auto* one = new probe(journal, "one");
    auto* minus = new probe(journal, "minus");
    auto* failed = new probe(journal, "failed");
    one->result = 1;
    minus->result = -1;
    failed->clear_ok();
    for (probe* p : {zero, one, minus, failed}) {
        p->set_deadline(iodesc::now_ms() - 1);  // due: each is called in the first cycle
        sel.add(p);
    }
    ASSERT_TRUE(sel.cycle());
    EXPECT_EQ(sel.count(), 2);
    EXPECT_TRUE(sel.contains(zero));
    EXPECT_TRUE(sel.contains(one));
    // The failed object is destroyed before the wait, without being called.
    EXPECT_EQ(journal, (std::vector<std::string>{"wants zero", "wants one", "wants minus", "~failed", "handle zero 000",
                                                 "handle one 000", "handle minus 000", "~minus"}));
}

// Clearing the ok flag and asking for an update is how an object has itself destroyed between
// dispatches.
TEST(selector, an_object_whose_ok_flag_is_cleared_is_destroyed_at_its_update_without_a_call) {
    std::vector<std::string> journal;
    socket_pair s;
    selector sel(reporter{});
    sel.set_wait_timeout(0);
    auto* doomed = new probe(journal, "doomed", s.fd[0]);
    doomed->want_read = 1;
    auto* other = new probe(journal, "other");
    sel.add(doomed);
    sel.add(other);
    ASSERT_TRUE(sel.cycle());
    s.feed();  // ready as well: being ready does not save it
    doomed->clear_ok();
    doomed->request_update();
    ASSERT_TRUE(sel.cycle());
    EXPECT_FALSE(sel.contains(doomed));
    EXPECT_EQ(sel.count(), 1);
    EXPECT_EQ(only(journal, "handle"), std::vector<std::string>{});
    EXPECT_EQ(only(journal, "~"), (std::vector<std::string>{"~doomed"}));
}

TEST(selector, an_object_destroyed_during_a_dispatch_is_not_called) {
    std::vector<std::string> journal;
    selector sel(reporter{});
    sel.set_wait_timeout(0);
    auto* first = new probe(journal, "first");
    auto* second = new probe(journal, "second");
    auto* third = new probe(journal, "third");
    first->on_events = [&] {
        delete second;
        return 0;
    };
    for (probe* p : {first, second, third}) {
        p->set_deadline(iodesc::now_ms() - 1);
        sel.add(p);
    }
    ASSERT_TRUE(sel.cycle());
    EXPECT_EQ(only(journal, "handle"), (std::vector<std::string>{"handle first 000", "handle third 000"}));
    EXPECT_EQ(sel.count(), 2);
}

// The new object is due already when it is added, yet it waits for the next cycle.
TEST(selector, an_object_added_during_a_dispatch_waits_for_the_next_cycle) {
    std::vector<std::string> journal;
    selector sel(reporter{});
    sel.set_wait_timeout(0);
    auto* maker = new probe(journal, "maker");
    maker->on_events = [&] {
        auto* made = new probe(journal, "made");
        made->set_deadline(iodesc::now_ms() - 1);
        sel.add(made);
        return 0;
    };
    maker->set_deadline(iodesc::now_ms() - 1);
    sel.add(maker);
    ASSERT_TRUE(sel.cycle());
    EXPECT_EQ(only(journal, "handle"), (std::vector<std::string>{"handle maker 000"}));
    EXPECT_EQ(sel.count(), 2);
    journal.clear();
    ASSERT_TRUE(sel.cycle());
    EXPECT_EQ(only(journal, "handle"), (std::vector<std::string>{"handle made 000"}));
}

TEST(selector, an_object_removed_and_added_again_during_a_walk_counts_as_new) {
    std::vector<std::string> journal;
    selector sel(reporter{});
    auto* a = new probe(journal, "a");
    auto* b = new probe(journal, "b");
    sel.add(a);
    sel.add(b);
    std::vector<std::string> visited;
    sel.for_each([&](iodesc* d) {
        visited.push_back(static_cast<probe*>(d)->name);
        if (d == a) {
            sel.remove(b);
            sel.add(b);
        }
    });
    EXPECT_EQ(visited, (std::vector<std::string>{"a"}));
    visited.clear();
    sel.for_each([&](iodesc* d) { visited.push_back(static_cast<probe*>(d)->name); });
    EXPECT_EQ(visited, (std::vector<std::string>{"a", "b"}));
}

TEST(selector, an_object_that_left_on_its_own_is_not_destroyed) {
    std::vector<std::string> journal;
    selector sel(reporter{}), other(reporter{});
    sel.set_wait_timeout(0);
    auto* mover = new probe(journal, "mover");
    mover->on_events = [&] {
        sel.remove(mover);
        other.add(mover);
        return -1;
    };
    mover->set_deadline(iodesc::now_ms() - 1);
    sel.add(mover);
    ASSERT_TRUE(sel.cycle());
    EXPECT_EQ(only(journal, "handle"), (std::vector<std::string>{"handle mover 000"}));
    EXPECT_FALSE(sel.contains(mover));
    EXPECT_TRUE(other.contains(mover));
    EXPECT_EQ(only(journal, "~"), std::vector<std::string>{});
}

TEST(selector, destroying_the_selector_destroys_what_is_registered_in_order) {
    std::vector<std::string> journal;
    {
        selector sel(reporter{});
        auto* a = new probe(journal, "a");
        auto* b = new probe(journal, "b");
        auto* c = new probe(journal, "c");
        sel.add(a);
        sel.add(b);
        sel.add(c);
        sel.remove(b);
        delete b;
    }
    EXPECT_EQ(journal, (std::vector<std::string>{"~b", "~a", "~c"}));
}

TEST(selector, run_returns_when_the_last_object_leaves) {
    std::vector<std::string> journal;
    socket_pair s;
    s.feed();  // never read: ready on every cycle
    counting_selector sel(journal);
    sel.set_wait_timeout(1);
    auto* p = new probe(journal, "p", s.fd[0]);
    p->want_read = 1;
    // Should readiness fail to arrive, this ends the run anyway (and the test fails).
    p->set_deadline(iodesc::now_ms() + 3000);
    int calls = 0;
    bool timed_out = false;
    p->on_events = [&] {
        if (p->deadline() < 0) {
            timed_out = true;
            return -1;
        }
        return ++calls == 3 ? -1 : 0;
    };
    sel.add(p);
    sel.run();
    EXPECT_FALSE(timed_out);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(sel.count(), 0);
    EXPECT_EQ(journal.front(), "after_wait");
    EXPECT_EQ(journal.back(), "before_wait");
    EXPECT_EQ(only(journal, "before_wait").size(), 4u);  // three waits and the end
}

// Readiness reaches the object that owns the handle, and only that object, for many more handles
// than the old 64-entry sets held; the selector's destruction closes every socket.
TEST(selector, serves_a_thousand_sockets_and_leaks_no_descriptor) {
    const int before = test::open_descriptor_count();
    std::vector<std::string> journal;
    std::vector<int> peers;
    {
        selector sel(reporter{});
        sel.set_wait_timeout(1);
        for (int i = 0; i < 1000; ++i) {
            int sv[2];
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
            auto* p = new owning_probe(journal, std::to_string(i), sv[0]);
            p->want_read = 1;
            sel.add(p);
            peers.push_back(sv[1]);
        }
        for (int i : {0, 64, 65, 999}) ASSERT_EQ(::write(peers[i], "x", 1), 1);
        journal.clear();
        ASSERT_TRUE(sel.cycle());
        EXPECT_EQ(only(journal, "handle"),
                  (std::vector<std::string>{"handle 0 100", "handle 64 100", "handle 65 100", "handle 999 100"}));
    }
    for (int fd : peers) ::close(fd);
    EXPECT_EQ(test::open_descriptor_count(), before);
}

// What a cycle costs depends on what is ready, not on what is registered.
TEST(selector, one_ready_object_among_ten_thousand_idle_ones_is_the_only_one_called) {
    constexpr int idle_count = 10000;
    rlimit files{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
    if (files.rlim_cur < files.rlim_max && files.rlim_cur < idle_count + 100) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, idle_count + 100);
        setrlimit(RLIMIT_NOFILE, &files);
        getrlimit(RLIMIT_NOFILE, &files);
    }
    if (files.rlim_cur < idle_count + 100)
        GTEST_SKIP() << "descriptor limit " << files.rlim_cur << " is too low for this test";

    struct counter : iodesc {
        counter(int handle, int& wants, int& handled) : iodesc(reporter{}, handle), wants(wants), handled(handled) {}
        ~counter() override {
            forget_handle();
            ::close(handle_);
        }
        int wants_events(int* r, int* w, int* e) override {
            ++wants;
            *r = 1;
            *w = *e = 0;
            return 1;
        }
        int handle_events(int, int, int) override {
            ++handled;
            return 0;
        }
        int& wants;
        int& handled;
    };
    const int before = test::open_descriptor_count();
    int idle_wants = 0, idle_handled = 0, ready_wants = 0, ready_handled = 0;
    int peer = -1;
    {
        selector sel(reporter{});
        sel.set_wait_timeout(0);
        for (int i = 0; i < idle_count / 2; ++i) {
            int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);  // a zero counter: never readable
            ASSERT_GE(fd, 0);
            sel.add(new counter(fd, idle_wants, idle_handled));
        }
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        peer = sv[1];
        sel.add(new counter(sv[0], ready_wants, ready_handled));
        for (int i = 0; i < idle_count / 2; ++i) {
            int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            ASSERT_GE(fd, 0);
            sel.add(new counter(fd, idle_wants, idle_handled));
        }
        ASSERT_TRUE(sel.cycle());  // registers everyone's interest
        EXPECT_EQ(idle_wants, idle_count);
        EXPECT_EQ(ready_wants, 1);
        EXPECT_EQ(idle_handled + ready_handled, 0);

        ASSERT_EQ(::write(peer, "x", 1), 1);
        idle_wants = ready_wants = 0;
        ASSERT_TRUE(sel.cycle());
        EXPECT_EQ(ready_handled, 1);
        EXPECT_EQ(idle_handled, 0);
        EXPECT_EQ(idle_wants, 0);
        ASSERT_TRUE(sel.cycle());
        EXPECT_EQ(ready_handled, 2);  // still unread: level-triggered
        EXPECT_EQ(ready_wants, 1);    // asked again after its first call only
        EXPECT_EQ(idle_handled, 0);
        EXPECT_EQ(idle_wants, 0);
        EXPECT_EQ(sel.count(), idle_count + 1);
    }
    ::close(peer);
    EXPECT_EQ(test::open_descriptor_count(), before);
}

// Readiness is recorded by registration, not by handle number: when an object's handle is closed
// during a dispatch and a new object gets the same number, the old object's readiness from that
// wait does not reach the new one, and the new one is waited on properly from the next cycle.
TEST(selector, a_handle_number_reused_during_a_dispatch_does_not_carry_the_old_readiness) {
    for (bool destroy_old : {true, false}) {
        SCOPED_TRACE(destroy_old ? "old object destroyed" : "old object closed its handle");
        std::vector<std::string> journal;
        socket_pair killer_pair, old_pair;
        int new_peer = -1;
        int reused = -1;
        {
            selector sel(reporter{});
            sel.set_wait_timeout(0);
            auto* killer = new probe(journal, "killer", killer_pair.fd[0]);
            auto* old = new owning_probe(journal, "old", old_pair.take(0));
            probe* fresh = nullptr;
            killer->want_read = old->want_read = 1;
            const int old_handle = old->handle();
            killer->on_events = [&] {
                if (fresh) return 0;
                if (destroy_old) delete old;
                else old->close_handle();
                int sv[2];
                EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
                reused = sv[0];
                new_peer = sv[1];
                fresh = new owning_probe(journal, "new", sv[0]);
                fresh->want_read = 1;
                sel.add(fresh);
                return 0;
            };
            sel.add(killer);
            sel.add(old);
            killer_pair.feed();
            old_pair.feed();
            ASSERT_TRUE(sel.cycle());
            ASSERT_EQ(reused, old_handle);  // otherwise this test proves nothing
            EXPECT_EQ(only(journal, "handle new"), std::vector<std::string>{});
            ASSERT_TRUE(sel.cycle());
            EXPECT_EQ(only(journal, "handle new"), std::vector<std::string>{});
            ASSERT_EQ(::write(new_peer, "x", 1), 1);
            ASSERT_TRUE(sel.cycle());
            EXPECT_EQ(only(journal, "handle new"), (std::vector<std::string>{"handle new 100"}));
            if (!destroy_old) {
                // Without a handle the old object has nothing more to wait for.
                journal.clear();
                ASSERT_TRUE(sel.cycle());
                EXPECT_EQ(only(journal, "handle old"), std::vector<std::string>{});
            }
        }
        ::close(new_peer);
    }
}

// A hang-up is reported whatever the object asked for; the wait would never end otherwise.
TEST(selector, a_hung_up_handle_is_reported_even_to_an_object_that_asked_for_write_only) {
    struct hangup_case {
        int read, write, error;
        const char* expected;
    };
    const hangup_case cases[] = {
        {0, 1, 0, "handle p 010"},  // an end of output, to a writer
        {1, 0, 0, "handle p 100"},  // an end of input, to a reader
        {0, 0, 1, "handle p 001"},
    };
    for (const hangup_case& c : cases) {
        SCOPED_TRACE(c.expected);
        std::vector<std::string> journal;
        socket_pair s;
        ::close(s.take(1));
        selector sel(reporter{});
        sel.set_wait_timeout(5);
        auto* p = new probe(journal, "p", s.fd[0]);
        p->want_read = c.read;
        p->want_write = c.write;
        p->want_error = c.error;
        sel.add(p);
        EXPECT_LT(timed_cycle(sel), 2000);
        EXPECT_EQ(only(journal, "handle"), (std::vector<std::string>{c.expected}));
    }
}

TEST(selector, without_a_timeout_the_wait_lasts_until_a_handle_is_ready) {
    std::vector<std::string> journal;
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    selector sel(reporter{});
    EXPECT_EQ(sel.wait_timeout(), -1);
    auto* p = new probe(journal, "p", sv[0]);
    p->want_read = 1;
    sel.add(p);
    std::thread writer([&] {
        usleep(200 * 1000);
        (void)!::write(sv[1], "x", 1);
    });
    int64_t took = timed_cycle(sel);
    writer.join();
    EXPECT_GE(took, 150);
    EXPECT_EQ(only(journal, "handle"), (std::vector<std::string>{"handle p 100"}));
    sel.remove(p);
    delete p;
    ::close(sv[0]);
    ::close(sv[1]);
}

void on_alarm(int) {}

TEST(selector, an_interrupted_wait_is_repeated_without_dispatch) {
    std::vector<std::string> journal;
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    struct sigaction sa {
    }, old{};
    sa.sa_handler = on_alarm;  // no SA_RESTART: the wait fails with EINTR
    sigaction(SIGALRM, &sa, &old);
    itimerval every_100ms{{0, 100000}, {0, 100000}};
    setitimer(ITIMER_REAL, &every_100ms, nullptr);
    {
        counting_selector sel(journal);
        auto* p = new probe(journal, "p", sv[0]);
        p->want_read = 1;
        sel.add(p);
        ASSERT_TRUE(sel.cycle());  // ends by the signal, not by data
        EXPECT_EQ(only(journal, "handle"), std::vector<std::string>{});
        EXPECT_EQ(only(journal, "after_wait").size(), 1u);
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        ASSERT_EQ(::write(sv[1], "x", 1), 1);
        ASSERT_TRUE(sel.cycle());
        EXPECT_EQ(only(journal, "handle"), (std::vector<std::string>{"handle p 100"}));
    }
    sigaction(SIGALRM, &old, nullptr);
    ::close(sv[0]);
    ::close(sv[1]);
}

// Runs cycles until the object called `name` has been called, or `limit_ms` passes.
void cycle_until_called(selector& sel, const std::vector<std::string>& journal, const std::string& name,
                        int64_t limit_ms) {
    int64_t end = iodesc::now_ms() + limit_ms;
    while (only(journal, "handle " + name).empty() && iodesc::now_ms() < end) ASSERT_TRUE(sel.cycle());
}

TEST(selector, a_deadline_calls_the_object_once_at_its_time_and_is_then_spent) {
    std::vector<std::string> journal;
    socket_pair s;
    selector sel(reporter{});
    sel.set_wait_timeout(5);  // only a cap: the deadline ends the wait much sooner
    auto* p = new probe(journal, "p", s.fd[0]);
    p->want_read = 1;
    int64_t called_at = -1;
    p->on_events = [&] {
        called_at = iodesc::now_ms();
        return 0;
    };
    sel.add(p);
    const int64_t due = iodesc::now_ms() + 150;
    p->set_deadline(due);
    EXPECT_EQ(p->deadline(), due);
    cycle_until_called(sel, journal, "p", 3000);
    EXPECT_EQ(only(journal, "handle"), (std::vector<std::string>{"handle p 000"}));
    EXPECT_GE(called_at, due);
    EXPECT_LT(called_at, due + 1000);
    EXPECT_EQ(p->deadline(), -1);  // spent
    sel.set_wait_timeout(0);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(sel.cycle());
    EXPECT_EQ(only(journal, "handle").size(), 1u);

    // Set again from inside the call, it fires again.
    p->on_events = [&] {
        if (only(journal, "handle").size() == 2) p->set_deadline(iodesc::now_ms());
        return 0;
    };
    p->set_deadline(iodesc::now_ms());
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(sel.cycle());
    EXPECT_EQ(only(journal, "handle").size(), 3u);
}

TEST(selector, a_cleared_deadline_never_fires) {
    std::vector<std::string> journal;
    selector sel(reporter{});
    sel.set_wait_timeout(5);
    auto* cleared = new probe(journal, "cleared");
    auto* witness = new probe(journal, "witness");  // ends the wait well after the cleared one was due
    sel.add(cleared);
    sel.add(witness);
    cleared->set_deadline(iodesc::now_ms() + 50);
    witness->set_deadline(iodesc::now_ms() + 300);
    cleared->set_deadline(-1);
    EXPECT_EQ(cleared->deadline(), -1);
    cycle_until_called(sel, journal, "witness", 3000);
    EXPECT_EQ(only(journal, "handle"), (std::vector<std::string>{"handle witness 000"}));

    // The selector's own entry point clears it as well.
    witness->set_deadline(iodesc::now_ms() + 300);
    sel.set_deadline(witness, -1);
    sel.set_wait_timeout(1);
    int64_t took = timed_cycle(sel);
    EXPECT_GE(took, 900);
    EXPECT_EQ(only(journal, "handle").size(), 1u);
}

// Deadlines set before registration, and moved later or earlier after it: only the latest
// setting counts.
TEST(selector, a_deadline_set_before_registration_is_honoured) {
    std::vector<std::string> journal;
    selector sel(reporter{});
    sel.set_wait_timeout(5);
    auto* early = new probe(journal, "early");
    auto* moved = new probe(journal, "moved");
    const int64_t due = iodesc::now_ms() + 100;
    early->set_deadline(due);
    moved->set_deadline(due);
    sel.add(early);
    sel.add(moved);
    moved->set_deadline(due + 200);  // the first setting no longer counts
    int64_t end = iodesc::now_ms() + 3000;
    while (only(journal, "handle").size() < 2 && iodesc::now_ms() < end) ASSERT_TRUE(sel.cycle());
    EXPECT_EQ(only(journal, "handle"), (std::vector<std::string>{"handle early 000", "handle moved 000"}));
    EXPECT_GE(iodesc::now_ms(), due + 200);
}

// A due deadline and a ready handle in the same cycle make one call.
TEST(selector, readiness_and_a_due_deadline_make_one_call) {
    std::vector<std::string> journal;
    socket_pair s;
    selector sel(reporter{});
    sel.set_wait_timeout(0);
    auto* p = new probe(journal, "p", s.fd[0]);
    p->want_read = 1;
    p->set_deadline(iodesc::now_ms() - 1);
    sel.add(p);
    s.feed();
    ASSERT_TRUE(sel.cycle());
    EXPECT_EQ(only(journal, "handle"), (std::vector<std::string>{"handle p 100"}));
    EXPECT_EQ(p->deadline(), -1);
}

// Interest is asked for after each call and after request_update(), and the wait follows it;
// a change made without either goes unnoticed.
TEST(selector, interest_follows_wants_events_after_a_call_or_an_update) {
    std::vector<std::string> journal;
    socket_pair s;  // writable at once, never readable
    selector sel(reporter{});
    sel.set_wait_timeout(0);
    auto* p = new probe(journal, "p", s.fd[0]);
    p->want_read = 1;
    sel.add(p);
    ASSERT_TRUE(sel.cycle());
    EXPECT_EQ(only(journal, "handle"), std::vector<std::string>{});

    p->want_write = 1;  // not told: the selector still waits for input only
    ASSERT_TRUE(sel.cycle());
    EXPECT_EQ(only(journal, "handle"), std::vector<std::string>{});

    p->request_update();
    ASSERT_TRUE(sel.cycle());
    EXPECT_EQ(only(journal, "handle"), (std::vector<std::string>{"handle p 010"}));

    // Asked again after the call: the object stops asking for write and is left alone.
    p->on_events = [&] {
        p->want_write = 0;
        return 0;
    };
    ASSERT_TRUE(sel.cycle());
    ASSERT_TRUE(sel.cycle());
    ASSERT_TRUE(sel.cycle());
    EXPECT_EQ(only(journal, "handle"), (std::vector<std::string>{"handle p 010", "handle p 010"}));
    EXPECT_EQ(only(journal, "wants").size(), 4u);  // registration, update, after each call

    // Interest in nothing takes the handle out of the wait altogether.
    p->want_read = 0;
    p->request_update();
    s.feed();
    ASSERT_TRUE(sel.cycle());
    EXPECT_EQ(only(journal, "handle").size(), 2u);
}

// Input decrypted but not yet read cannot show in the handle's readiness: the object is called
// as readable at once, and the wait does not block meanwhile.
TEST(selector, buffered_input_is_dispatched_as_readable_without_waiting) {
    struct buffered_case {
        int want_read;
        int want_write;
        const char* expected;  // the call, or "" for none
    };
    const buffered_case cases[] = {
        {1, 0, "handle p 100"},
        {1, 1, "handle p 110"},  // the handle is writable too: one call
        {0, 0, ""},              // no interest in input: the buffered bytes wait
    };
    for (const buffered_case& c : cases) {
        SCOPED_TRACE(std::to_string(c.want_read) + std::to_string(c.want_write));
        std::vector<std::string> journal;
        socket_pair s;  // never readable
        selector sel(reporter{});
        sel.set_wait_timeout(c.expected[0] ? 5 : 0);
        auto* p = new probe(journal, "p", s.fd[0]);
        p->want_read = c.want_read;
        p->want_write = c.want_write;
        p->buffered = 1;
        p->on_events = [&] {
            p->buffered = 0;  // read it all
            return 0;
        };
        sel.add(p);
        EXPECT_LT(timed_cycle(sel), 1000);
        EXPECT_EQ(only(journal, "handle"),
                  c.expected[0] ? std::vector<std::string>{c.expected} : std::vector<std::string>{});
        if (!c.expected[0]) continue;
        // Drained, it waits on its handle like any other.
        sel.set_wait_timeout(0);
        p->want_write = 0;
        ASSERT_TRUE(sel.cycle());
        EXPECT_EQ(only(journal, "handle").size(), 1u);
    }
}

// An object that finds input buffered outside a dispatch (its partner handed it over) says so
// with request_update().
TEST(selector, buffered_input_found_between_calls_needs_an_update) {
    std::vector<std::string> journal;
    socket_pair s;
    selector sel(reporter{});
    sel.set_wait_timeout(0);
    auto* p = new probe(journal, "p", s.fd[0]);
    p->want_read = 1;
    sel.add(p);
    ASSERT_TRUE(sel.cycle());
    p->buffered = 1;
    sel.set_wait_timeout(5);
    p->request_update();
    EXPECT_LT(timed_cycle(sel), 1000);
    EXPECT_EQ(only(journal, "handle"), (std::vector<std::string>{"handle p 100"}));
    // Still buffered after the call: dispatched again on the next cycle.
    EXPECT_LT(timed_cycle(sel), 1000);
    EXPECT_EQ(only(journal, "handle").size(), 2u);
}

// A background object (a signal watch) is served while the loop runs but does not keep it going.
TEST(selector, run_ends_when_only_background_objects_are_left) {
    std::vector<std::string> journal;
    socket_pair s;
    s.feed();  // ready on every cycle
    counting_selector sel(journal);
    sel.set_wait_timeout(1);
    auto* watch = new probe(journal, "watch", s.fd[0]);
    watch->want_read = 1;
    auto* last = new probe(journal, "last");
    last->set_deadline(iodesc::now_ms() - 1);
    last->result = -1;
    sel.add_background(watch);
    sel.add(last);
    sel.run();
    EXPECT_EQ(only(journal, "handle"), (std::vector<std::string>{"handle watch 100", "handle last 000"}));
    EXPECT_EQ(only(journal, "before_wait").size(), 2u);  // one wait and the end
    EXPECT_EQ(sel.count(), 1);
    EXPECT_TRUE(sel.contains(watch));
    sel.remove(watch);
    delete watch;
}

TEST(selector, stop_ends_run_after_the_current_dispatch_and_keeps_what_is_registered) {
    std::vector<std::string> journal;
    {
        selector sel(reporter{});
        sel.set_wait_timeout(1);
        auto* a = new probe(journal, "a");
        auto* b = new probe(journal, "b");
        auto* guard = new probe(journal, "guard");  // ends the run should stop() not
        a->on_events = [&] {
            sel.stop();
            return 0;
        };
        guard->on_events = [&] {
            delete a;
            delete b;
            return -1;
        };
        a->set_deadline(iodesc::now_ms() - 1);
        b->set_deadline(iodesc::now_ms() - 1);
        guard->set_deadline(iodesc::now_ms() + 3000);
        for (probe* p : {a, b, guard}) sel.add(p);
        EXPECT_FALSE(sel.stopped());
        sel.run();
        EXPECT_TRUE(sel.stopped());
        EXPECT_EQ(only(journal, "handle"), (std::vector<std::string>{"handle a 000", "handle b 000"}));
        EXPECT_EQ(sel.count(), 3);
    }
    EXPECT_EQ(only(journal, "~"), (std::vector<std::string>{"~a", "~b", "~guard"}));
}

// A deadline set or cleared through the selector is the object's deadline: what iodesc::deadline()
// reports, and what a later registration honours.
TEST(selector, a_deadline_changed_through_the_selector_is_the_objects_deadline) {
    std::vector<std::string> journal;
    selector sel(reporter{});
    sel.set_wait_timeout(0);
    auto* cleared = new probe(journal, "cleared");
    cleared->set_deadline(iodesc::now_ms() - 1);
    sel.add(cleared);
    sel.set_deadline(cleared, -1);
    EXPECT_EQ(cleared->deadline(), -1);
    sel.remove(cleared);
    sel.add(cleared);
    ASSERT_TRUE(sel.cycle());
    EXPECT_EQ(only(journal, "handle"), std::vector<std::string>{});

    auto* set = new probe(journal, "set");
    sel.add(set);
    const int64_t due = iodesc::now_ms() + 100000;
    sel.set_deadline(set, due);
    EXPECT_EQ(set->deadline(), due);
}

}  // namespace
}  // namespace orv
