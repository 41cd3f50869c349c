#include "store/password_input.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace orv {

namespace {

size_t page_size() {
    long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<size_t>(page) : 4096;
}

}  // namespace

password_buffer::password_buffer() : buf_(fallback_) {
    void* page = mmap(nullptr, page_size(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page != MAP_FAILED) {
        // Best effort both: a small RLIMIT_MEMLOCK only costs the lock.
        mlock(page, page_size());
        madvise(page, page_size(), MADV_DONTDUMP);
        buf_ = static_cast<char*>(page);
        mapped_ = true;
    }
    clear();
}

password_buffer::~password_buffer() {
    clear();
    OPENSSL_cleanse(fallback_, capacity);
    if (mapped_) {
        munlock(buf_, page_size());
        munmap(buf_, page_size());
    }
}

bool password_buffer::assign(const char* text) {
    clear();
    size_t len = std::strlen(text);
    if (len >= capacity) return false;
    std::memcpy(buf_, text, len);
    return true;
}

void password_buffer::clear() { OPENSSL_cleanse(buf_, capacity); }

std::string password_prompt(const std::string& path) { return "Enter password for \"" + path + "\":"; }

std::string new_password_prompt(const std::string& path) { return "Enter new password for \"" + path + "\":"; }

bool read_password(password_buffer& buf, const std::string& prompt) {
    buf.clear();
    if (EVP_read_pw_string(buf.data(), static_cast<int>(password_buffer::capacity), prompt.c_str(), 0) != 0) {
        buf.clear();
        return false;
    }
    return !buf.empty();
}

bool take_password_argument(password_buffer& buf, char* argument) {
    bool fits = buf.assign(argument);
    OPENSSL_cleanse(argument, std::strlen(argument));
    return fits;
}

process_arguments::process_arguments(int argc, char** argv) {
    if (argc < 1 || !argv[0]) return;
    area_ = argv[0];
    for (int i = 0; i < argc; ++i) {
        size_t n = std::strlen(argv[i]);
        // The kernel shows one contiguous area; arguments elsewhere (a test's own argv) are
        // copied but never rewritten.
        if (argv[i] != area_ + area_size_) area_ = nullptr;
        if (area_) area_size_ += n + 1;
        char* copy = new char[n + 1];
        std::memcpy(copy, argv[i], n + 1);
        copies_.push_back(copy);
        original_size_.push_back(n);
        argv[i] = copy;
    }
}

process_arguments::~process_arguments() {
    hide();  // an early return after a wiped password still leaves the list clean
    for (char* copy : copies_) {
        OPENSSL_cleanse(copy, std::strlen(copy));
        delete[] copy;
    }
}

void process_arguments::hide() {
    bool wiped = false;
    for (size_t i = 0; i < copies_.size(); ++i) wiped = wiped || std::strlen(copies_[i]) < original_size_[i];
    if (!area_ || !wiped) return;
    // One line of the arguments as they are now, then zeros, and a last byte that is not zero:
    // the kernel then shows the area up to its first zero only (as after setproctitle), so
    // nothing tells how long the wiped argument was.
    std::string line;
    for (size_t i = 0; i < copies_.size(); ++i) {
        if (i > 0) line += ' ';
        line += copies_[i];
    }
    if (line.size() + 2 > area_size_) return;  // cannot happen: a wipe shortened one argument
    OPENSSL_cleanse(area_, area_size_);
    std::memcpy(area_, line.data(), line.size());
    area_[area_size_ - 1] = ' ';
}

namespace {

// Reads the whole file into `buf` (size `size`); returns the byte count, `size` when the file
// holds at least that much, -1 on failure, -2 (with its permission bits in `*mode`) for a regular
// file that group or others may read or write.
ssize_t read_small_file(const char* path, char* buf, size_t size, unsigned* mode) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        *mode = st.st_mode & 07777;
        close(fd);
        return -2;
    }
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(fd, buf + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int saved = errno;
            close(fd);
            errno = saved;
            return -1;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    return static_cast<ssize_t>(got);
}

}  // namespace

password_file_status read_password_file(password_buffer& buf, const char* path, unsigned* mode) {
    buf.clear();
    // Room for the longest password, its line end and one byte more to tell an overlong file.
    char text[password_buffer::capacity + 2];
    unsigned bits = 0;
    ssize_t got = read_small_file(path, text, sizeof text, &bits);
    if (mode) *mode = bits;
    if (got == -2) return password_file_status::too_open;
    if (got < 0) {
        OPENSSL_cleanse(text, sizeof text);
        return password_file_status::unreadable;
    }
    size_t len = static_cast<size_t>(got);
    if (len > 0 && text[len - 1] == '\n') {
        --len;
        if (len > 0 && text[len - 1] == '\r') --len;
    }
    bool fits =
        len > 0 && len < password_buffer::capacity && !std::memchr(text, '\n', len) && !std::memchr(text, '\0', len);
    if (fits) {
        text[len] = '\0';
        buf.assign(text);
    }
    OPENSSL_cleanse(text, sizeof text);
    return fits ? password_file_status::ok : password_file_status::invalid;
}

bool make_undumpable() { return prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0; }

}  // namespace orv
