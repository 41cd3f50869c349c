// connect_race and endpoint lists: the addresses a connect by name tries, and the further far
// agents a session names.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include <gtest/gtest.h>

#include "net/connect_race.h"
#include "net/endpoint_list.h"
#include "net/iodesc.h"

namespace orv {
namespace {

sockaddr_storage loopback(uint16_t port, bool v6 = false) {
    sockaddr_storage a{};
    if (v6) {
        auto* s = reinterpret_cast<sockaddr_in6*>(&a);
        s->sin6_family = AF_INET6;
        s->sin6_addr = in6addr_loopback;
        s->sin6_port = htons(port);
    } else {
        auto* s = reinterpret_cast<sockaddr_in*>(&a);
        s->sin_family = AF_INET;
        s->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        s->sin_port = htons(port);
    }
    return a;
}

// A listening socket on 127.0.0.1 (its port), or a port nothing listens on (closed at once).
int listener(uint16_t& port, bool keep = true) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_storage a = loopback(0);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(sockaddr_in)), 0);
    EXPECT_EQ(listen(fd, 4), 0);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
    if (!keep) {
        ::close(fd);
        return -1;
    }
    return fd;
}

connect_race::outcome run(connect_race& race, int64_t bound_ms = 3000) {
    int64_t end = iodesc::now_ms() + bound_ms;
    connect_race::outcome o = connect_race::outcome::running;
    while ((o = race.step(iodesc::now_ms())) == connect_race::outcome::running && iodesc::now_ms() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return o;
}

TEST(connect_race, a_refusal_moves_on_at_once_and_the_first_to_connect_wins) {
    uint16_t dead = 0, live = 0;
    listener(dead, false);
    int fd = listener(live);
    connect_race race;
    ASSERT_TRUE(race.usable());
    race.add(loopback(dead));
    race.add(loopback(live));
    race.finish_list();
    int64_t started = iodesc::now_ms();
    ASSERT_EQ(run(race), connect_race::outcome::connected);
    EXPECT_LT(iodesc::now_ms() - started, connect_race::attempt_delay_ms) << "no delay after a refusal";
    int winner = race.take_winner();
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    ASSERT_EQ(getpeername(winner, reinterpret_cast<sockaddr*>(&peer), &len), 0);
    EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in*>(&peer)->sin_port), live);
    ::close(winner);
    ::close(fd);
}

TEST(connect_race, every_address_refused_fails_with_the_reason) {
    uint16_t dead = 0;
    listener(dead, false);
    connect_race race;
    race.add(loopback(dead, true));
    race.add(loopback(dead));
    race.finish_list();
    EXPECT_EQ(run(race), connect_race::outcome::failed);
    EXPECT_EQ(race.error(), ECONNREFUSED);
}

TEST(connect_race, waits_for_addresses_still_to_come) {
    uint16_t live = 0;
    int fd = listener(live);
    connect_race race;
    EXPECT_EQ(race.step(iodesc::now_ms()), connect_race::outcome::running);  // nothing yet, list open
    EXPECT_EQ(race.due_ms(), -1);
    race.add(loopback(live));
    EXPECT_EQ(run(race), connect_race::outcome::connected);
    ::close(race.take_winner());
    ::close(fd);
}

TEST(endpoint_list, entries_and_refusals) {
    struct row {
        const char* list;
        std::vector<std::string> texts;  // empty with bad set: refused
        const char* bad;
    } table[] = {
        {nullptr, {}, nullptr},
        {"", {}, nullptr},
        {"a:1", {"a:1"}, nullptr},
        {" a:1 , 10.0.0.2:https,[::1]:9000", {"a:1", "10.0.0.2:443", "[::1]:9000"}, nullptr},
        {"a", {}, "a"},
        {"a:1,,b:2", {}, ""},
        {"::1:9000", {}, "::1:9000"},
        {"[::1]9000", {}, "[::1]9000"},
        {"[host]:1", {}, "[host]:1"},
        {"a:0", {}, "a:0"},
        {"a:70000", {}, "a:70000"},
        {"a b:1", {}, "a b:1"},
    };
    for (const row& r : table) {
        std::string bad = "unset";
        std::optional<std::vector<endpoint>> got = parse_endpoint_list(r.list, &bad);
        if (r.bad) {
            EXPECT_FALSE(got) << r.list;
            EXPECT_EQ(bad, r.bad) << r.list;
            continue;
        }
        ASSERT_TRUE(got) << (r.list ? r.list : "null");
        std::vector<std::string> texts;
        for (const endpoint& e : *got) texts.push_back(e.text());
        EXPECT_EQ(texts, r.texts) << (r.list ? r.list : "null");
    }
}

}  // namespace
}  // namespace orv
