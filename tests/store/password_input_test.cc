// Password handling shared by orvclient and orvconf: taking an argument out of argv, reading a
// password file, the wiped buffer, and the non-dumpable process.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "store/password_input.h"

namespace orv {
namespace {

TEST(password_input, argument_is_copied_and_wiped_from_argv) {
    struct {
        size_t length;
        bool fits;
    } cases[] = {{1, true}, {12, true}, {255, true}, {256, false}, {300, false}};
    for (const auto& c : cases) {
        std::string argument(c.length, 'p');
        password_buffer buf;
        buf.assign("earlier");
        EXPECT_EQ(take_password_argument(buf, argument.data()), c.fits) << c.length;
        EXPECT_EQ(std::string(buf.c_str()), c.fits ? std::string(c.length, 'p') : std::string()) << c.length;
        EXPECT_EQ(argument, std::string(c.length, '\0')) << "argv keeps no byte of it: " << c.length;
    }
}

TEST(password_input, password_file_holds_one_line) {
    char dir_template[] = "/tmp/orvpwXXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string path = std::string(dir_template) + "/password";
    using status = password_file_status;
    struct {
        std::string content;
        status expected;
        std::string password;
    } cases[] = {
        {"secret\n", status::ok, "secret"},
        {"secret", status::ok, "secret"},
        {"secret\r\n", status::ok, "secret"},
        {"with space\tand tab\n", status::ok, "with space\tand tab"},
        {"ends in cr\r", status::ok, "ends in cr\r"},
        {std::string(255, 'p') + "\n", status::ok, std::string(255, 'p')},
        {std::string(255, 'p') + "\r\n", status::ok, std::string(255, 'p')},
        {std::string(256, 'p'), status::invalid, ""},
        {std::string(256, 'p') + "\n", status::invalid, ""},
        {std::string(5000, 'p'), status::invalid, ""},
        {"", status::invalid, ""},
        {"\n", status::invalid, ""},
        {"\r\n", status::invalid, ""},
        {"one\ntwo\n", status::invalid, ""},
        {"one\n\n", status::invalid, ""},
        {std::string("nul\0inside\n", 12), status::invalid, ""},
    };
    for (const auto& c : cases) {
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(c.content.data(), 1, c.content.size(), f);
        std::fclose(f);
        chmod(path.c_str(), 0600);
        password_buffer buf;
        buf.assign("earlier");
        EXPECT_EQ(read_password_file(buf, path.c_str()), c.expected) << c.content.substr(0, 40);
        EXPECT_EQ(std::string(buf.c_str()), c.password) << c.content.substr(0, 40);
    }
    // Any group or other bit refuses the file unread; the owner's own bits do not matter.
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("secret\n", f);
    std::fclose(f);
    for (unsigned mode : {0400u, 0600u, 0700u, 0640u, 0604u, 0620u, 0602u, 0610u, 0666u}) {
        chmod(path.c_str(), mode);
        password_buffer buf;
        unsigned seen = 0;
        bool loose = (mode & 077) != 0;
        EXPECT_EQ(read_password_file(buf, path.c_str(), &seen), loose ? status::too_open : status::ok)
            << std::oct << mode;
        EXPECT_EQ(std::string(buf.c_str()), loose ? "" : "secret") << std::oct << mode;
        if (loose) {
            EXPECT_EQ(seen, mode) << std::oct << mode;
        }
    }
    std::remove(path.c_str());
    password_buffer buf;
    EXPECT_EQ(read_password_file(buf, path.c_str()), status::unreadable) << "missing file";
    EXPECT_EQ(read_password_file(buf, dir_template), status::unreadable) << "a directory";
    rmdir(dir_template);
}

TEST(password_input, clear_wipes_the_whole_buffer) {
    password_buffer buf;
    ASSERT_TRUE(buf.assign("secret"));
    buf.clear();
    EXPECT_TRUE(buf.empty());
    for (size_t i = 0; i < password_buffer::capacity; ++i) ASSERT_EQ(buf.data()[i], '\0') << i;
}

TEST(password_input, make_undumpable_turns_dumping_off) {
    ASSERT_EQ(prctl(PR_GET_DUMPABLE), 1) << "the test runner starts dumpable";
    // In a child, so that the test runner itself keeps its core files.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(make_undumpable() && prctl(PR_GET_DUMPABLE) == 0 ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(prctl(PR_GET_DUMPABLE), 1);
}

}  // namespace
}  // namespace orv
