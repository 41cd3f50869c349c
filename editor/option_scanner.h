// A POSIX getopt scanner over argv that keeps no global state, so the command line can be read
// more than once (tests) and an option's argument can be located to overwrite it.
#pragma once

#include <string>

namespace orv {

class option_scanner {
public:
    // `optstring` is a getopt option string: a letter followed by ':' takes an argument.
    option_scanner(int argc, char** argv, const char* optstring);

    // The next option letter; '?' for an unknown option or a missing argument (diagnostic()
    // then holds the message); -1 when the options end (at "--", "-", or the first operand).
    int next();
    // The argument of the option just returned; points into argv.
    char* argument() const { return argument_; }
    // Index of the first element not consumed as an option or option argument.
    int index() const { return index_; }
    const std::string& diagnostic() const { return diagnostic_; }

private:
    int argc_;
    char** argv_;
    const char* optstring_;
    int index_ = 1;
    int offset_ = 0;  // position inside argv_[index_] of the next letter; 0 = a new element
    char* argument_ = nullptr;
    std::string diagnostic_;

    const char* program() const;
};

}  // namespace orv
