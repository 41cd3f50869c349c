// pending_peers: the caps per source and in total, which connections go quiet, the shedding
// order, the summary lines of an interval, and that members leave by settling or going away.
#include "agent/pending_peers.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/net/net_test_util.h"
#include "store/pending_caps.h"

namespace orv {
namespace {

struct fake_member : pending_peers::member {
    void shed() override { ++sheds; }
    int sheds = 0;
};

struct peers_fixture : ::testing::Test {
    test::captured_log log;
    reporter r{&log.sink()};
    pending_peers peers{r};
    std::vector<std::unique_ptr<fake_member>> members;

    fake_member& add(const std::string& source) {
        members.push_back(std::make_unique<fake_member>());
        peers.enter(members.back().get(), source);
        return *members.back();
    }
};

TEST_F(peers_fixture, caps_per_source_and_in_total_refuse_with_one_line_then_a_summary) {
    peers.set_caps({5, 3});
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(peers.admit("10.0.0.1"), pending_peers::verdict::admitted);
        add("10.0.0.1");
    }
    EXPECT_EQ(peers.admit("10.0.0.1"), pending_peers::verdict::source_full);
    EXPECT_EQ(peers.admit("10.0.0.1"), pending_peers::verdict::source_full);
    EXPECT_EQ(peers.admit("10.0.0.2"), pending_peers::verdict::admitted);
    add("10.0.0.2");
    add("10.0.0.3");
    EXPECT_EQ(peers.admit("10.0.0.4"), pending_peers::verdict::total_full);
    EXPECT_EQ(peers.total(), 5);
    EXPECT_EQ(log.text(),
              "WAR connections from 10.0.0.1 refused: 3 handshakes from it pending, the most one address may hold\n"
              "WAR connections from 10.0.0.4 refused: 5 handshakes pending, the most this listener holds\n");
    log.clear();
    peers.tick(10000);
    EXPECT_EQ(log.text(),
              "WAR 1 more connections from 10.0.0.1 refused at the pending handshake cap in the last 10 seconds\n");
    // A settled member no longer counts; a new interval starts with its own first line.
    members[0]->settle();
    EXPECT_FALSE(members[0]->pending());
    EXPECT_EQ(peers.pending_from("10.0.0.1"), 2);
    EXPECT_EQ(peers.admit("10.0.0.1"), pending_peers::verdict::admitted);
    members.clear();
    EXPECT_EQ(peers.total(), 0);
}

TEST_F(peers_fixture, a_source_goes_quiet_after_its_loud_failures_and_is_summed_up) {
    for (int i = 0; i < pending_peers::loud_failures; ++i) {
        EXPECT_FALSE(add("10.0.0.9").quiet());
        members.pop_back();  // gone while pending: a failure, logged by the end itself
    }
    EXPECT_TRUE(add("10.0.0.9").quiet());
    EXPECT_FALSE(add("10.0.0.8").quiet()) << "another source is not affected";
    members.clear();
    // Without may_quiet a connection is never quiet (orvclient's listener).
    fake_member loud;
    EXPECT_FALSE(peers.enter(&loud, "10.0.0.9", false));
    loud.settle();
    log.clear();
    peers.tick(20000);
    EXPECT_EQ(log.text(), "INF 1 more handshake failures from 10.0.0.9 in the last 10 seconds\n");
    // The next interval starts loud again.
    EXPECT_FALSE(add("10.0.0.9").quiet());
}

TEST_F(peers_fixture, shedding_closes_the_oldest_of_the_biggest_source_and_is_no_failure) {
    fake_member& a1 = add("10.0.0.1");
    fake_member& b1 = add("10.0.0.2");
    fake_member& b2 = add("10.0.0.2");
    fake_member& b3 = add("10.0.0.2");
    EXPECT_TRUE(peers.shed_one());
    EXPECT_TRUE(peers.shed_one());
    EXPECT_EQ(b1.sheds, 1);
    EXPECT_EQ(b2.sheds, 1);
    EXPECT_FALSE(b1.pending());
    EXPECT_EQ(a1.sheds + b3.sheds, 0);
    EXPECT_EQ(peers.total(), 2);
    EXPECT_EQ(log.text(),
              "WAR descriptors running short: closing the oldest pending handshakes from 10.0.0.2 (3 pending)\n");
    log.clear();
    peers.tick(30000);
    EXPECT_EQ(log.text(), "WAR 1 more pending handshakes from 10.0.0.2 closed for descriptors in the last 10 seconds\n")
        << "a shed is summed up, and it is not a failure";
    EXPECT_TRUE(peers.shed_one());
    EXPECT_TRUE(peers.shed_one());
    EXPECT_FALSE(peers.shed_one()) << "nothing left to shed";
    log.clear();
    peers.tick(34000);  // a second ticker's call within half an interval
    EXPECT_EQ(log.text(), "");
}

TEST(pending_caps, parses_total_and_per_source) {
    struct {
        const char* text;
        bool ok;
        int total, per_source;
    } cases[] = {
        {nullptr, true, pending_caps::default_total, pending_caps::default_per_source},
        {"", true, pending_caps::default_total, pending_caps::default_per_source},
        {"2000,100", true, 2000, 100},
        {"1,1", true, 1, 1},
        {"1000000,1000000", true, 1000000, 1000000},
        {"100", false, 0, 0},
        {"100,", false, 0, 0},
        {",5", false, 0, 0},
        {"0,5", false, 0, 0},
        {"5,0", false, 0, 0},
        {"-1,5", false, 0, 0},
        {"5,+5", false, 0, 0},
        {"1000001,5", false, 0, 0},
        {"10,5x", false, 0, 0},
        {" 10,5", false, 0, 0},
    };
    for (const auto& c : cases) {
        pending_caps got{0, 0};
        EXPECT_EQ(parse_pending_caps(c.text, &got), c.ok) << (c.text ? c.text : "(null)");
        if (c.ok) {
            EXPECT_EQ(got.total, c.total) << c.text;
            EXPECT_EQ(got.per_source, c.per_source) << c.text;
        }
    }
}

}  // namespace
}  // namespace orv
