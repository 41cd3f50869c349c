// rwbuf: capacity, start and length after every operation, consuming without moving, the block
// held only while used, reuse of the consumed prefix, erase and insert, refusals.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "net/rwbuf.h"
#include "tests/net/net_test_util.h"

namespace orv {
namespace {

std::string contents(rwbuf& b) {
    int len = 0;
    char* p = b.data(&len);
    return p ? std::string(p, len) : std::string();
}

void fill(rwbuf& b, int n, char c) {
    char* at = b.reserve(n);
    ASSERT_NE(at, nullptr);
    memset(at, c, n);
    ASSERT_EQ(b.commit(n), 1);
}

// What every operation must leave true: the data lies inside the block, an empty buffer has its
// data at offset 0, and the block is a whole number of grains.
void expect_invariant(const rwbuf& b, const std::string& where) {
    EXPECT_GE(b.start(), 0) << where;
    EXPECT_GE(b.length(), 0) << where;
    EXPECT_LE(b.start() + b.length(), b.capacity()) << where;
    if (b.length() == 0) {
        EXPECT_EQ(b.start(), 0) << where;
    }
    EXPECT_EQ(b.capacity() % b.grain(), 0) << where;
}

// One operation and the capacity, start and length it must leave behind.
struct step {
    const char* op;  // "reserve", "commit", "fill" (reserve + write + commit), "consume", "erase", "insert"
    int a;
    int b;
    int capacity;
    int start;
    int length;
};

TEST(rwbuf, capacity_start_and_length_after_each_operation) {
    const step steps[] = {
        {"reserve", 100, 0, 4096, 0, 0},  // first use: 2048 * ((0 + 2048 + 100) / 2048 + 1)
        {"commit", 100, 0, 4096, 0, 100},
        {"reserve", 3996, 0, 4096, 0, 100},  // exactly the free tail: no change
        {"reserve", 3997, 0, 8192, 0, 100},  // 2048 * ((100 + 2048 + 3997) / 2048 + 1)
        {"fill", 5000, 0, 8192, 0, 5100},
        {"consume", 1000, 0, 8192, 1000, 4100},  // only the start moves
        {"erase", 100, 50, 8192, 1000, 4050},    // relative to the data
        {"insert", 0, 600, 8192, 400, 4650},     // in the consumed prefix
        {"insert", 0, 500, 8192, 400, 5150},     // larger than the prefix: the data moves up
        {"consume", 2006, 0, 8192, 2406, 3144},  // free tail 2642, prefix and tail 5048
        {"reserve", 3001, 0, 10240, 0, 3144},    // 5048 would leave no spare grain: grow
        {"fill", 4000, 0, 10240, 0, 7144},
        {"consume", 3000, 0, 10240, 3000, 4144},  // free tail 3096, prefix and tail 6096
        {"reserve", 4048, 0, 10240, 0, 4144},     // 4048 + a grain fit: the data slides to 0
        {"erase", 4000, 1000, 10240, 0, 4000},    // past the end: cut to pos
        {"insert", 10, 20, 10240, 0, 4020},
        {"insert", 5000, 10, 10240, 0, 5010},  // past the end: length becomes pos + n
        {"consume", 0, 0, 10240, 0, 5010},
        {"consume", 5010, 0, 0, 0, 0},     // everything: the block is given back
        {"insert", 0, 100, 4096, 0, 100},  // an empty buffer starts over with a fresh block
        {"erase", 0, 100, 0, 0, 0},        // everything: given back too
    };
    test::captured_log log;
    rwbuf b(reporter(&log.sink()));
    EXPECT_EQ(b.capacity(), 0);  // no block until first used
    EXPECT_EQ(b.start(), 0);
    EXPECT_EQ(b.length(), 0);
    EXPECT_EQ(b.grain(), 2048);
    for (const step& s : steps) {
        std::string op = s.op;
        std::string where = op + " " + std::to_string(s.a) + " " + std::to_string(s.b);
        if (op == "reserve") {
            EXPECT_NE(b.reserve(s.a), nullptr) << where;
        } else if (op == "commit") {
            EXPECT_EQ(b.commit(s.a), 1) << where;
        } else if (op == "fill") {
            fill(b, s.a, 'f');
        } else if (op == "consume") {
            EXPECT_EQ(b.consume(s.a), 1) << where;
        } else if (op == "erase") {
            EXPECT_EQ(b.erase(s.a, s.b), 1) << where;
        } else if (op == "insert") {
            EXPECT_NE(b.insert(s.a, s.b), nullptr) << where;
        } else {
            FAIL() << "unknown step " << op;
        }
        EXPECT_EQ(b.capacity(), s.capacity) << where;
        EXPECT_EQ(b.start(), s.start) << where;
        EXPECT_EQ(b.length(), s.length) << where;
        expect_invariant(b, where);
    }
    EXPECT_EQ(log.text(), "");
}

TEST(rwbuf, bytes_move_as_each_operation_says) {
    rwbuf b(reporter{}, 16);
    EXPECT_EQ(b.capacity(), 0);
    ASSERT_EQ(b.append("abcdefghij", 10), 1);
    b.consume(3);
    EXPECT_EQ(contents(b), "defghij");
    b.erase(1, 2);
    EXPECT_EQ(contents(b), "dghij");
    memcpy(b.insert(2, 3), "XYZ", 3);
    EXPECT_EQ(contents(b), "dgXYZhij");
    memcpy(b.insert(8, 2), "!!", 2);  // at the end: an append
    EXPECT_EQ(contents(b), "dgXYZhij!!");
    // A gap past the end is zero-filled, never left with whatever the block held.
    memcpy(b.insert(12, 1), "?", 1);
    EXPECT_EQ(contents(b), std::string("dgXYZhij!!\0\0?", 13));
    b.erase(0, 100);
    EXPECT_EQ(b.length(), 0);
    EXPECT_EQ(b.capacity(), 0);
    int len = -1;
    EXPECT_EQ(b.data(&len), nullptr);
    EXPECT_EQ(len, 0);
}

// Writing a large buffer out in pieces must cost no copies.
TEST(rwbuf, a_partial_consume_moves_no_byte) {
    rwbuf b(reporter{}, 16);
    ASSERT_EQ(b.append("abcdefghijklmnopqrstuvwxyz", 26), 1);
    const int capacity = b.capacity();
    int len = 0;
    char* before = b.data(&len);
    ASSERT_NE(before, nullptr);
    for (int n : {1, 5, 10}) {
        char* was = b.data(&len);
        ASSERT_EQ(b.consume(n), 1);
        EXPECT_EQ(b.data(&len), was + n) << n;
        EXPECT_EQ(b.capacity(), capacity) << n;
    }
    EXPECT_EQ(b.data(&len), before + 16);
    EXPECT_EQ(b.start(), 16);
    EXPECT_EQ(contents(b), "qrstuvwxyz");
}

TEST(rwbuf, a_buffer_holds_a_block_only_while_it_holds_data) {
    rwbuf b(reporter{});
    EXPECT_EQ(b.capacity(), 0);
    EXPECT_TRUE(b.empty());
    int len = -1;
    EXPECT_EQ(b.data(&len), nullptr);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(b.consume(0), 1);  // nothing to consume is no error, and allocates nothing
    EXPECT_EQ(b.capacity(), 0);

    rwbuf empty_copy(b);
    EXPECT_EQ(empty_copy.capacity(), 0);

    ASSERT_EQ(b.append("abc", 3), 1);
    EXPECT_EQ(b.capacity(), 4096);
    ASSERT_EQ(b.consume(2), 1);
    EXPECT_EQ(b.capacity(), 4096);
    ASSERT_EQ(b.consume(1), 1);
    EXPECT_EQ(b.capacity(), 0);
    EXPECT_EQ(b.start(), 0);

    // Assigning an empty buffer gives the block back too.
    ASSERT_EQ(b.append("abc", 3), 1);
    b = empty_copy;
    EXPECT_EQ(b.capacity(), 0);
    EXPECT_EQ(b.length(), 0);
}

// reserve slides the data down into the consumed prefix, once, when prefix and free tail
// together leave a grain to spare past the request; otherwise it grows the block.
TEST(rwbuf, reserve_reuses_the_consumed_prefix_when_it_leaves_a_spare_grain) {
    struct reuse_case {
        int consumed;  // of 30 bytes, in a 32-byte block (grain 16)
        int reserve;
        bool reuses;
    };
    const reuse_case cases[] = {
        {28, 14, true},   // 30 free: exactly 14 + 16
        {28, 15, false},  // 30 free: one byte short of a spare grain
        {20, 2, true},    // the free tail is enough: nothing moves at all
        {29, 15, true},
    };
    for (const reuse_case& c : cases) {
        rwbuf b(reporter{}, 16);
        std::string all = "0123456789abcdefghijklmnopqrst";
        ASSERT_EQ(b.append(all.data(), 10), 1);  // a 32-byte block, the rest fits in its tail
        ASSERT_EQ(b.append(all.data() + 10, 20), 1);
        ASSERT_EQ(b.capacity(), 32);
        ASSERT_EQ(b.consume(c.consumed), 1);
        const char* block = b.bytes() - b.start();
        const int tail = b.capacity() - b.start() - b.length();
        char* at = b.reserve(c.reserve);
        ASSERT_NE(at, nullptr) << c.consumed << " " << c.reserve;
        EXPECT_EQ(contents(b), all.substr(c.consumed)) << c.consumed << " " << c.reserve;
        if (!c.reuses) {
            EXPECT_GT(b.capacity(), 32) << c.consumed << " " << c.reserve;
            continue;
        }
        EXPECT_EQ(b.capacity(), 32) << c.consumed << " " << c.reserve;
        EXPECT_EQ(b.bytes() - b.start(), block) << c.consumed << " " << c.reserve;
        if (tail >= c.reserve) {
            EXPECT_EQ(b.start(), c.consumed);
        } else {
            EXPECT_EQ(b.start(), 0) << c.consumed << " " << c.reserve;
        }
        EXPECT_EQ(at, b.bytes() + b.length()) << c.consumed << " " << c.reserve;
        EXPECT_EQ(b.commit(c.reserve), 1) << c.consumed << " " << c.reserve;
    }
}

// A header put in front of queued bytes lands in the consumed prefix when it fits there.
TEST(rwbuf, insert_at_the_front_reuses_the_consumed_prefix_when_it_fits) {
    struct front_case {
        int consumed;  // of "abcdefghij"
        int n;
        bool in_prefix;
    };
    const front_case cases[] = {{3, 2, true}, {3, 3, true}, {3, 4, false}, {0, 1, false}};
    for (const front_case& c : cases) {
        rwbuf b(reporter{}, 16);
        ASSERT_EQ(b.append("abcdefghij", 10), 1);
        ASSERT_EQ(b.consume(c.consumed), 1);
        const int capacity = b.capacity();
        const char* was = b.bytes();
        char* gap = b.insert(0, c.n);
        ASSERT_NE(gap, nullptr) << c.consumed << " " << c.n;
        memset(gap, '*', c.n);
        EXPECT_EQ(contents(b), std::string(c.n, '*') + std::string("abcdefghij").substr(c.consumed))
            << c.consumed << " " << c.n;
        EXPECT_EQ(b.capacity(), capacity) << c.consumed << " " << c.n;
        if (c.in_prefix) {
            EXPECT_EQ(gap, was - c.n) << c.consumed << " " << c.n;
            EXPECT_EQ(b.start(), c.consumed - c.n) << c.consumed << " " << c.n;
        }
    }
}

TEST(rwbuf, growth_keeps_data_and_an_emptied_buffer_gives_its_block_back) {
    rwbuf b(reporter{});
    std::string all;
    for (int i = 0; i < 100; ++i) {
        std::string chunk(1000, static_cast<char>('a' + i % 26));
        ASSERT_EQ(b.append(chunk.data(), 1000), 1);
        all += chunk;
        // Growth adds room for the request and at most two grains past it.
        EXPECT_GE(b.capacity(), b.length()) << i;
        EXPECT_LE(b.capacity() - b.length(), 2 * 2048) << i;
        EXPECT_EQ(b.capacity() % 2048, 0) << i;
    }
    EXPECT_EQ(contents(b), all);
    b.consume(b.length());
    EXPECT_EQ(b.capacity(), 0);
}

// A relay that writes out most of what it queues reuses one block instead of growing.
TEST(rwbuf, a_steady_stream_keeps_its_block) {
    rwbuf b(reporter{});
    std::string queued(500, '-');
    ASSERT_EQ(b.append(queued.data(), 500), 1);
    int settled = -1;
    for (int i = 0; i < 200; ++i) {
        std::string chunk(3000, static_cast<char>('a' + i % 26));
        ASSERT_EQ(b.append(chunk.data(), 3000), 1);
        ASSERT_EQ(b.consume(3000), 1);
        queued = (queued + chunk).substr(3000);
        ASSERT_EQ(contents(b), queued) << i;
        // The first round fits the first block; the second grows it once, for good.
        if (i == 1) settled = b.capacity();
        if (i >= 1) {
            EXPECT_EQ(b.capacity(), settled) << i;
        }
    }
    EXPECT_EQ(settled, 6144);  // 2048 * ((500 + 2048 + 3000) / 2048 + 1)
}

TEST(rwbuf, copies_and_appends_duplicate_the_data) {
    rwbuf a(reporter{}, 64);
    a.append("hello", 5);
    rwbuf copy(a);
    EXPECT_EQ(copy.grain(), 64);
    EXPECT_EQ(copy.capacity(), a.capacity());
    EXPECT_EQ(contents(copy), "hello");
    copy.append(" world", 6);
    EXPECT_EQ(contents(a), "hello");

    rwbuf assigned(reporter{});
    assigned = copy;
    EXPECT_EQ(contents(assigned), "hello world");
    EXPECT_EQ(assigned.grain(), 64);

    a += copy;
    EXPECT_EQ(contents(a), "hellohello world");
    a += a;
    EXPECT_EQ(contents(a), "hellohello worldhellohello world");
}

TEST(rwbuf, counts_that_would_leave_the_block_are_refused) {
    rwbuf b(reporter{});
    b.append("abc", 3);
    EXPECT_EQ(b.consume(4), 0);
    EXPECT_EQ(b.consume(-1), 0);
    EXPECT_EQ(b.commit(b.capacity()), 0);
    EXPECT_EQ(b.commit(-2), 0);
    EXPECT_EQ(b.erase(-1, 1), 0);
    EXPECT_EQ(b.insert(-1, 1), nullptr);
    EXPECT_EQ(b.reserve(-5), nullptr);
    EXPECT_EQ(contents(b), "abc");
    EXPECT_TRUE(b.ok());

    // With the data off offset 0, the room left is what lies past it.
    ASSERT_EQ(b.consume(1), 1);
    EXPECT_EQ(b.commit(b.capacity() - b.start() - b.length() + 1), 0);
    EXPECT_EQ(contents(b), "bc");

    // A buffer without a block has no room at all.
    rwbuf fresh(reporter{});
    EXPECT_EQ(fresh.commit(1), 0);
    EXPECT_EQ(fresh.consume(1), 0);
    EXPECT_EQ(fresh.capacity(), 0);
    EXPECT_TRUE(fresh.ok());
}

TEST(rwbuf, an_impossible_size_clears_the_ok_flag_and_later_work_is_refused) {
    test::captured_log log;
    rwbuf b(reporter(&log.sink()));
    EXPECT_EQ(b.reserve(0x7FFFFFF0), nullptr);
    EXPECT_FALSE(b.ok());
    EXPECT_EQ(log.text(), "out of memory\n");
    EXPECT_EQ(b.commit(1), 0);
    int len = 0;
    EXPECT_EQ(b.data(&len), nullptr);
    EXPECT_EQ(log.text(), "out of memory\nrwbuf is not ok\nrwbuf is not ok\n");
}

}  // namespace
}  // namespace orv
