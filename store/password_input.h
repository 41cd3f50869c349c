// Passwords in memory, for both programs: a buffer that is wiped when it goes away, entry from the
// terminal without echo, taking a password argument out of the command line or out of a file, and
// keeping the process's memory out of core dumps and away from debuggers of the same user.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace orv {

// A 256-byte password buffer (at most 255 characters) that is cleared when it goes away. It has
// a memory page of its own, locked in memory (never written to swap, where the system allows it)
// and left out of core dumps.
class password_buffer {
public:
    static constexpr size_t capacity = 256;

    password_buffer();
    ~password_buffer();
    password_buffer(const password_buffer&) = delete;
    password_buffer& operator=(const password_buffer&) = delete;

    char* data() { return buf_; }
    const char* c_str() const { return buf_; }
    bool empty() const { return buf_[0] == '\0'; }
    // False (and the buffer left empty) when the text does not fit.
    bool assign(const char* text);
    void clear();

private:
    char* buf_;
    bool mapped_ = false;  // buf_ is the locked page; otherwise fallback_ (no page could be had)
    char fallback_[capacity];
};

// "Enter password for \"<path>\":" and "Enter new password for \"<path>\":".
std::string password_prompt(const std::string& path);
std::string new_password_prompt(const std::string& path);

// Reads one password (no second entry) into `buf`; false when the reader fails or the text is
// empty, and the buffer is then left empty.
bool read_password(password_buffer& buf, const std::string& prompt);

// Copies a command-line password into `buf` and overwrites the argument, so that it does not stay
// readable in the process list; false (the buffer left empty) when it does not fit.
bool take_password_argument(password_buffer& buf, char* argument);

// The program's arguments as the process list shows them (/proc/PID/cmdline). Made first thing in
// main: argv is pointed at copies, which the option parsing reads and take_password_argument
// wipes. Once the options are read, hide() rewrites the original area as one line of the copies
// (with the wiped password left out) followed by nothing the list shows, so that the list never
// shows a gap as long as the password. The copies live as long as this object.
class process_arguments {
public:
    process_arguments(int argc, char** argv);
    process_arguments(const process_arguments&) = delete;
    process_arguments& operator=(const process_arguments&) = delete;
    ~process_arguments();

    // Rewrites the original area when an argument was wiped (shortened); nothing otherwise.
    void hide();

private:
    char* area_ = nullptr;  // the original arguments, one after the other
    size_t area_size_ = 0;
    std::vector<char*> copies_;          // what argv points at from now on
    std::vector<size_t> original_size_;  // each argument's length before any wipe
};

enum class password_file_status {
    ok,          // the buffer holds the password
    unreadable,  // the file could not be opened or read (errno says why)
    invalid,     // empty, more than one line, a NUL byte, or longer than 255 characters
    too_open,    // a regular file that group or others may read or write: not read at all
};

// Reads a password from the file at `path` (a service manager's credential, say): the file's
// content without one trailing line end ("\n" or "\r\n"). The buffer is left empty unless ok.
// A regular file with any group or other permission bit is refused unread, as OpenSSH refuses a
// private key with loose permissions; its permission bits go to `*mode` when given.
password_file_status read_password_file(password_buffer& buf, const char* path, unsigned* mode = nullptr);

// Makes the process non-dumpable: no core file, and /proc/PID/mem, environ and ptrace closed to
// other processes of the same user. Call first thing, before any password is read.
bool make_undumpable();

}  // namespace orv
