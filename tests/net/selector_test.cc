// selector: registration on both sides, the cycle, the snapshot walk, ownership, the wait.
#include <csignal>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

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
        : iodesc(reporter{}, handle), journal(journal), name(std::move(name))
    {
    }
    ~probe() override { journal.push_back("~" + name); }

    int wants_events(int* r, int* w, int* e) override
    {
        journal.push_back("wants " + name);
        *r = want_read;
        *w = want_write;
        *e = 0;
        return want_read || want_write;
    }
    int handle_events(int r, int w, int e) override
    {
        journal.push_back("handle " + name + " " + std::to_string(r) + std::to_string(w) + std::to_string(e));
        return on_events ? on_events() : result;
    }

    std::vector<std::string>& journal;
    std::string name;
    int want_read = 0;
    int want_write = 0;
    int result = 0;
    std::function<int()> on_events;
};

std::vector<std::string> only(const std::vector<std::string>& journal, const std::string& prefix)
{
    std::vector<std::string> out;
    for (const auto& line : journal)
        if (line.rfind(prefix, 0) == 0)
            out.push_back(line);
    return out;
}

struct counting_selector : selector {
    explicit counting_selector(std::vector<std::string>& journal) : selector(reporter{}), journal(journal) {}
    void after_wait() override { journal.push_back("after_wait"); }
    void before_wait() override { journal.push_back("before_wait"); }
    std::vector<std::string>& journal;
};

TEST(selector, with_nothing_registered_run_calls_each_hook_once_and_returns)
{
    std::vector<std::string> journal;
    counting_selector sel(journal);
    sel.run();
    EXPECT_EQ(journal, (std::vector<std::string>{"after_wait", "before_wait"}));
}

TEST(selector, registration_is_kept_on_both_sides)
{
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

TEST(selector, every_object_is_called_on_every_cycle_in_registration_order)
{
    std::vector<std::string> journal;
    selector sel(reporter{});
    sel.set_wait_timeout(0);
    for (const char* name : {"a", "b", "c"})
        sel.add(new probe(journal, name));
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(sel.cycle());
    EXPECT_EQ(only(journal, "handle"),
              (std::vector<std::string>{"handle a 000", "handle b 000", "handle c 000", "handle a 000",
                                        "handle b 000", "handle c 000"}));
    EXPECT_EQ(only(journal, "wants").size(), 6u);
}

TEST(selector, results_decide_who_stays)
{
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
    for (probe* p : {zero, one, minus, failed})
        sel.add(p);
    ASSERT_TRUE(sel.cycle());
    EXPECT_EQ(sel.count(), 2);
    EXPECT_TRUE(sel.contains(zero));
    EXPECT_TRUE(sel.contains(one));
    // The failed object is destroyed without being called.
    EXPECT_EQ(journal, (std::vector<std::string>{"wants zero", "wants one", "wants minus", "wants failed",
                                                 "handle zero 000", "handle one 000", "handle minus 000",
                                                 "~minus", "~failed"}));
}

TEST(selector, an_object_destroyed_during_the_walk_is_not_visited)
{
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
    for (probe* p : {first, second, third})
        sel.add(p);
    ASSERT_TRUE(sel.cycle());
    EXPECT_EQ(only(journal, "handle"), (std::vector<std::string>{"handle first 000", "handle third 000"}));
    EXPECT_EQ(sel.count(), 2);
}

TEST(selector, an_object_added_during_the_walk_waits_for_the_next_cycle)
{
    std::vector<std::string> journal;
    selector sel(reporter{});
    sel.set_wait_timeout(0);
    auto* maker = new probe(journal, "maker");
    maker->on_events = [&] {
        if (sel.count() == 1)
            sel.add(new probe(journal, "made"));
        return 0;
    };
    sel.add(maker);
    ASSERT_TRUE(sel.cycle());
    EXPECT_EQ(journal, (std::vector<std::string>{"wants maker", "handle maker 000"}));
    journal.clear();
    ASSERT_TRUE(sel.cycle());
    EXPECT_EQ(journal, (std::vector<std::string>{"wants maker", "wants made", "handle maker 000", "handle made 000"}));
}

TEST(selector, an_object_removed_and_added_again_during_a_walk_counts_as_new)
{
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

TEST(selector, an_object_that_left_on_its_own_is_not_destroyed)
{
    std::vector<std::string> journal;
    selector sel(reporter{}), other(reporter{});
    sel.set_wait_timeout(0);
    auto* mover = new probe(journal, "mover");
    mover->on_events = [&] {
        sel.remove(mover);
        other.add(mover);
        return -1;
    };
    sel.add(mover);
    ASSERT_TRUE(sel.cycle());
    EXPECT_TRUE(other.contains(mover));
    EXPECT_EQ(only(journal, "~"), std::vector<std::string>{});
}

TEST(selector, destroying_the_selector_destroys_what_is_registered_in_order)
{
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

TEST(selector, run_returns_when_the_last_object_leaves)
{
    std::vector<std::string> journal;
    counting_selector sel(journal);
    sel.set_wait_timeout(0);
    auto* p = new probe(journal, "p");
    int calls = 0;
    p->on_events = [&] { return ++calls == 3 ? -1 : 0; };
    sel.add(p);
    sel.run();
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(journal.front(), "after_wait");
    EXPECT_EQ(journal.back(), "before_wait");
    EXPECT_EQ(only(journal, "before_wait").size(), 4u);  // three waits and the end
}

// Readiness reaches the object that owns the handle, once per cycle, for many more handles
// than the old 64-entry sets held; the selector's destruction closes every socket.
TEST(selector, serves_a_thousand_sockets_and_leaks_no_descriptor)
{
    const int before = test::open_descriptor_count();
    std::vector<std::string> journal;
    std::vector<int> peers;
    {
        selector sel(reporter{});
        sel.set_wait_timeout(1);
        std::vector<probe*> probes;
        for (int i = 0; i < 1000; ++i) {
            int sv[2];
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
            struct owning_probe : probe {
                using probe::probe;
                ~owning_probe() override { ::close(handle_); }
            };
            auto* p = new owning_probe(journal, std::to_string(i), sv[0]);
            p->want_read = 1;
            sel.add(p);
            probes.push_back(p);
            peers.push_back(sv[1]);
        }
        for (int i : {0, 64, 65, 999})
            ASSERT_EQ(::write(peers[i], "x", 1), 1);
        journal.clear();
        ASSERT_TRUE(sel.cycle());
        std::vector<std::string> ready;
        for (const auto& line : only(journal, "handle"))
            if (line.substr(line.size() - 3) != "000")
                ready.push_back(line);
        EXPECT_EQ(ready, (std::vector<std::string>{"handle 0 100", "handle 64 100", "handle 65 100",
                                                   "handle 999 100"}));
        EXPECT_EQ(only(journal, "handle").size(), 1000u);
    }
    for (int fd : peers)
        ::close(fd);
    EXPECT_EQ(test::open_descriptor_count(), before);
}

TEST(selector, a_handle_shared_by_two_objects_is_reported_once_per_cycle)
{
    std::vector<std::string> journal;
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ASSERT_EQ(::write(sv[1], "x", 1), 1);
    {
        selector sel(reporter{});
        sel.set_wait_timeout(0);
        auto* a = new probe(journal, "a", sv[0]);
        auto* b = new probe(journal, "b", sv[0]);
        a->want_read = b->want_read = 1;
        sel.add(a);
        sel.add(b);
        ASSERT_TRUE(sel.cycle());
    }
    EXPECT_EQ(only(journal, "handle"), (std::vector<std::string>{"handle a 100", "handle b 000"}));
    ::close(sv[0]);
    ::close(sv[1]);
}

TEST(selector, a_hung_up_handle_is_reported_even_to_an_object_that_asked_for_write_only)
{
    std::vector<std::string> journal;
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ::close(sv[1]);
    selector sel(reporter{});
    sel.set_wait_timeout(-1);  // without the report this cycle would never end
    auto* p = new probe(journal, "p", sv[0]);
    p->want_write = 1;
    sel.add(p);
    ASSERT_TRUE(sel.cycle());
    auto handled = only(journal, "handle");
    ASSERT_EQ(handled.size(), 1u);
    EXPECT_NE(handled[0], "handle p 000");
    sel.remove(p);
    delete p;
    ::close(sv[0]);
}

TEST(selector, without_a_timeout_the_wait_lasts_until_a_handle_is_ready)
{
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
    ASSERT_TRUE(sel.cycle());
    writer.join();
    EXPECT_EQ(only(journal, "handle"), (std::vector<std::string>{"handle p 100"}));
    sel.remove(p);
    delete p;
    ::close(sv[0]);
    ::close(sv[1]);
}

void on_alarm(int) {}

TEST(selector, an_interrupted_wait_is_repeated_without_dispatch)
{
    std::vector<std::string> journal;
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    struct sigaction sa {}, old {};
    sa.sa_handler = on_alarm;  // no SA_RESTART: poll fails with EINTR
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

}  // namespace
}  // namespace orv
