// Password handling shared by orvclient and orvconf: taking an argument out of argv, the wiped
// buffer, and the non-dumpable process.
#include <string>

#include <sys/prctl.h>
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
