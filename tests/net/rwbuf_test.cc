// rwbuf: capacity and length after every operation, the growth and shrink rules, erase and
// insert, refusals.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "net/rwbuf.h"
#include "tests/net/net_test_util.h"

namespace orv {
namespace {

std::string contents(rwbuf& b)
{
    int len = 0;
    char* p = b.data(&len);
    return p ? std::string(p, len) : std::string();
}

void fill(rwbuf& b, int n, char c)
{
    char* at = b.reserve(n);
    ASSERT_NE(at, nullptr);
    memset(at, c, n);
    ASSERT_EQ(b.commit(n), 1);
}

// One operation and the capacity and length it must leave behind.
struct step {
    const char* op;  // "reserve", "fill" (reserve + write + commit), "consume", "erase", "insert"
    int a;
    int b;
    int capacity;
    int length;
};

TEST(rwbuf, capacity_and_length_after_each_operation)
{
    const step steps[] = {
        {"reserve", 0, 0, 4096, 0},       // 4096 - 0 >= 0 + 2048: no change
        {"reserve", 2048, 0, 4096, 0},    // exactly the spare: still no change
        {"reserve", 2049, 0, 6144, 0},    // 2048 * ((0 + 2048 + 2049) / 2048 + 1)
        {"consume", 0, 0, 4096, 0},       // consuming 0 of 0 empties: shrink to 2 x grain
        {"fill", 2000, 0, 4096, 2000},
        {"reserve", 3000, 0, 8192, 2000}, // the worked example: 2048 * (7048 / 2048 + 1)
        {"fill", 3000, 0, 8192, 5000},
        {"consume", 1000, 0, 8192, 4000}, // partial: rest moved to the front, capacity kept
        {"erase", 100, 50, 8192, 3950},
        {"erase", 3000, 5000, 8192, 3000}, // past the end: cut to pos
        {"insert", 10, 20, 8192, 3020},
        {"insert", 4000, 10, 8192, 4010},  // past the end: length becomes pos + n
        {"consume", 4010, 0, 4096, 0},     // everything: back to 2 x grain
        {"insert", 0, 100, 4096, 100},
    };
    test::captured_log log;
    rwbuf b(reporter(&log.sink()));
    EXPECT_EQ(b.capacity(), 4096);
    EXPECT_EQ(b.length(), 0);
    EXPECT_EQ(b.grain(), 2048);
    for (const step& s : steps) {
        std::string op = s.op;
        if (op == "reserve") {
            EXPECT_NE(b.reserve(s.a), nullptr);
        } else if (op == "fill") {
            fill(b, s.a, 'f');
        } else if (op == "consume") {
            EXPECT_EQ(b.consume(s.a), 1);
        } else if (op == "erase") {
            EXPECT_EQ(b.erase(s.a, s.b), 1);
        } else if (op == "insert") {
            EXPECT_NE(b.insert(s.a, s.b), nullptr);
        }
        EXPECT_EQ(b.capacity(), s.capacity) << op << " " << s.a << " " << s.b;
        EXPECT_EQ(b.length(), s.length) << op << " " << s.a << " " << s.b;
    }
    EXPECT_EQ(log.text(), "");
}

TEST(rwbuf, bytes_move_as_each_operation_says)
{
    rwbuf b(reporter{}, 16);
    EXPECT_EQ(b.capacity(), 32);
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
    int len = -1;
    EXPECT_EQ(b.data(&len), nullptr);
    EXPECT_EQ(len, 0);
}

TEST(rwbuf, growth_keeps_data_and_a_grown_buffer_shrinks_when_emptied)
{
    rwbuf b(reporter{});
    std::string all;
    for (int i = 0; i < 100; ++i) {
        std::string chunk(1000, static_cast<char>('a' + i % 26));
        ASSERT_EQ(b.append(chunk.data(), 1000), 1);
        all += chunk;
        EXPECT_GE(b.capacity() - b.length(), 2048) << i;  // the spare grain
        EXPECT_EQ(b.capacity() % 2048, 0);
    }
    EXPECT_EQ(contents(b), all);
    b.consume(b.length());
    EXPECT_EQ(b.capacity(), 4096);
}

TEST(rwbuf, copies_and_appends_duplicate_the_data)
{
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

TEST(rwbuf, counts_that_would_leave_the_block_are_refused)
{
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
}

TEST(rwbuf, an_impossible_size_clears_the_ok_flag_and_later_work_is_refused)
{
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
