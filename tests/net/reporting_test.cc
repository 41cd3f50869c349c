// Reporting: the sink, the queued SSL errors before each message, report_sockerr's line and the
// two log targets.
#include <cerrno>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>

#include <gtest/gtest.h>
#include <openssl/err.h>

#include "net/inetaddr.h"
#include "net/rwbuf.h"
#include "net/socket.h"
#include "tests/net/net_test_util.h"

namespace orv {
namespace {

using test::captured_log;

TEST(reporting, report_writes_through_the_sink_and_a_null_sink_drops) {
    captured_log log;
    reporter r(&log.sink());
    report(r, "unable to %s %d\n", "connect", 7);
    EXPECT_EQ(log.text(), "unable to connect 7\n");

    reporter none;
    report(none, "dropped\n");  // must neither crash nor write anywhere
    EXPECT_EQ(log.text(), "unable to connect 7\n");
}

TEST(reporting, queued_ssl_errors_precede_the_message_once) {
    ERR_clear_error();
    captured_log log;
    reporter r(&log.sink());
    BIO* missing = BIO_new_file("/nonexistent/orv-test", "r");
    ASSERT_EQ(missing, nullptr);
    report(r, "first\n");
    report(r, "second\n");
    std::string text = log.text();

    std::string tid = std::to_string(gettid());
    std::regex ssl_line("^" + tid + ":error:[0-9A-F]+:[^\n]*:[^\n]*:[0-9]+\n");
    size_t first = text.find("first\n");
    ASSERT_NE(first, std::string::npos);
    std::string before = text.substr(0, first);
    EXPECT_TRUE(std::regex_search(before, ssl_line)) << text;
    EXPECT_EQ(text.substr(first), "first\nsecond\n");
    EXPECT_EQ(ERR_peek_error(), 0UL);
}

TEST(reporting, a_sink_without_bio_writes_nothing_and_keeps_the_ssl_queue) {
    ERR_clear_error();
    logsink sink(nullptr);
    reporter r(&sink);
    ERR_raise(ERR_LIB_SSL, ERR_R_MALLOC_FAILURE);
    report(r, "nowhere\n");
    EXPECT_NE(ERR_peek_error(), 0UL);
    ERR_clear_error();
}

TEST(reporting, report_sockerr_lines) {
    struct {
        int error;
        const char* expected;
    } cases[] = {
        {ECONNREFUSED, "connect failed:111:Connection refused\n"},
        {EADDRINUSE, "connect failed:98:Address already in use\n"},
        {99999, "connect failed:99999:???\n"},
    };
    for (const auto& c : cases) {
        captured_log log;
        reporter r(&log.sink());
        report_sockerr(r, "connect failed", c.error);
        EXPECT_EQ(log.text(), c.expected);
    }
    captured_log log;
    reporter r(&log.sink());
    errno = EPIPE;
    report_sockerr(r, "send failed");
    EXPECT_EQ(log.text(), "send failed:32:Broken pipe\n");
}

TEST(reporting, objects_write_to_their_creators_sink) {
    captured_log log;
    reporter parent(&log.sink());
    inetaddr addr(parent, "1.2.3.4.5", "80");
    EXPECT_EQ(log.text(), "hostname \"1.2.3.4.5\" unparsable\n");
    // A grandchild made from the child still reaches the same sink.
    socket s(addr, -1);
    s.read(nullptr, 0);
    EXPECT_EQ(log.text(), "hostname \"1.2.3.4.5\" unparsable\ntried read on closed socket\n");
}

TEST(reporting, long_messages_are_cut_at_2000_characters) {
    captured_log log;
    reporter r(&log.sink());
    std::string huge(5000, 'x');
    report(r, "%s\n", huge.c_str());
    EXPECT_EQ(log.text(), std::string(2000, 'x'));
}

TEST(reporting, console_log_writes_to_standard_error) {
    char path[] = "/tmp/orv-stderr-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    fflush(stderr);
    int saved = dup(2);
    dup2(fd, 2);
    {
        bio_ptr bio = new_console_log();
        logsink sink(bio.get());
        reporter r(&sink);
        report(r, "INF console line\n");
    }
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    char buf[128] = {};
    ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
    close(fd);
    unlink(path);
    EXPECT_EQ(std::string(buf, n > 0 ? n : 0), "INF console line\n");
}

// Daemon mode writes to syslog through /dev/log. The child process gets a private mount namespace
// with its own /dev, binds a datagram socket at /dev/log and reads what the log BIO sends.
int daemon_log_child() {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/dev", "tmpfs", 0, nullptr) != 0)
        return 77;
    int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    strcpy(sun.sun_path, "/dev/log");
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sun), sizeof sun) != 0) return 77;
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    {
        bio_ptr bio = new_daemon_log();
        logsink sink(bio.get());
        reporter r(&sink);
        report(r, "INF CONNECT session: s\n");
        report(r, "WAR configuration warning\n");
        report_sockerr(r, "unable to bind", EADDRINUSE);
    }
    const char* expected[][2] = {
        {"<30>", "orvng[%d]: CONNECT session: s"},
        {"<28>", "orvng[%d]: configuration warning"},
        {"<27>", "orvng[%d]: unable to bind:98:Address already in use"},
    };
    for (auto& e : expected) {
        char buf[512] = {};
        ssize_t n = recv(fd, buf, sizeof buf - 1, 0);
        if (n <= 0) return 1;
        std::string line(buf, n);
        char tail[128];
        snprintf(tail, sizeof tail, e[1], getpid());
        if (line.rfind(e[0], 0) != 0 || line.find(tail) == std::string::npos) {
            fprintf(stderr, "unexpected syslog line: %s\n", line.c_str());
            return 2;
        }
    }
    return 0;
}

TEST(reporting, daemon_log_files_lines_by_their_prefix) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(daemon_log_child());
    int status = 0;
    // The child bounds its own waits (5 s receive time-out); stop it if it ever hangs anyway.
    for (int i = 0; i < 200 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(50 * 1000);
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "daemon log child hung";
    }
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace orv
