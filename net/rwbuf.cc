#include "net/rwbuf.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <string>

namespace orv {

rwbuf::rwbuf(const reporter& parent, int grain) {
    adopt_sink(parent);
    grain_ = grain < 1 ? default_grain : grain;
}

rwbuf::rwbuf(const rwbuf& other) : reporter(other), ok_flag(other), grain_(other.grain_) {
    if (other.length_ > 0) append(other.bytes(), other.length_);
}

rwbuf& rwbuf::operator=(const rwbuf& other) {
    if (this == &other) return *this;
    reporter::operator=(other);
    grain_ = other.grain_;
    release();
    set_ok();
    if (other.length_ > 0) append(other.bytes(), other.length_);
    return *this;
}

rwbuf& rwbuf::operator+=(const rwbuf& other) {
    if (other.length_ > 0) {
        // Copy first: appending a buffer to itself would reserve under its own feet.
        std::string copy(other.bytes(), other.length_);
        append(copy.data(), static_cast<int>(copy.size()));
    }
    return *this;
}

rwbuf::~rwbuf() = default;

bool rwbuf::check_ok() {
    if (ok()) return true;
    report(*this, "rwbuf is not ok\n");
    return false;
}

void rwbuf::release() {
    block_.reset();
    capacity_ = start_ = length_ = 0;
}

bool rwbuf::reallocate(int new_capacity) {
    std::unique_ptr<char[]> block(new (std::nothrow) char[new_capacity]);
    if (!block) {
        report(*this, "out of memory\n");
        clear_ok();
        return false;
    }
    if (length_ > 0) memcpy(block.get(), block_.get() + start_, length_);
    block_ = std::move(block);
    capacity_ = new_capacity;
    start_ = 0;
    return true;
}

char* rwbuf::reserve(int n) {
    if (!check_ok() || n < 0) return nullptr;
    long long tail = static_cast<long long>(capacity_) - start_ - length_;
    if (tail >= n && capacity_ > 0) return block_.get() + start_ + length_;
    long long spare = static_cast<long long>(capacity_) - length_;
    if (capacity_ > 0 && spare >= static_cast<long long>(n) + grain_) {
        // The consumed prefix is room enough: slide the data down once.
        memmove(block_.get(), block_.get() + start_, length_);
        start_ = 0;
        return block_.get() + length_;
    }
    long long wanted = static_cast<long long>(grain_) * ((static_cast<long long>(length_) + grain_ + n) / grain_ + 1);
    if (wanted > INT32_MAX) {
        report(*this, "out of memory\n");
        clear_ok();
        return nullptr;
    }
    if (!reallocate(static_cast<int>(wanted))) return nullptr;
    return block_.get() + length_;
}

int rwbuf::commit(int n) {
    if (!check_ok() || n < 0 || n > capacity_ - start_ - length_) return 0;
    length_ += n;
    return 1;
}

char* rwbuf::data(int* len) {
    if (!check_ok()) {
        if (len) *len = 0;
        return nullptr;
    }
    if (len) *len = length_;
    return length_ > 0 ? block_.get() + start_ : nullptr;
}

int rwbuf::consume(int n) {
    if (!check_ok() || n < 0 || n > length_) return 0;
    start_ += n;
    length_ -= n;
    if (length_ == 0) release();
    return 1;
}

int rwbuf::erase(int pos, int n) {
    if (!check_ok() || pos < 0 || n < 0) return 0;
    if (pos >= length_) return 1;
    if (pos + static_cast<long long>(n) >= length_) n = length_ - pos;
    char* at = block_.get() + start_;
    memmove(at + pos, at + pos + n, length_ - pos - n);
    length_ -= n;
    if (length_ == 0) release();
    return 1;
}

char* rwbuf::insert(int pos, int n) {
    if (!check_ok() || pos < 0 || n < 0) return nullptr;
    if (pos == 0 && n <= start_ && length_ > 0) {
        // Room in front of the data: a header put before queued bytes moves nothing.
        start_ -= n;
        length_ += n;
        return block_.get() + start_;
    }
    if (pos >= length_) {
        // A gap past the data: reserve up to its end and zero what lies between, so the block
        // never holds bytes nobody wrote.
        int extra = pos - length_;
        if (static_cast<long long>(extra) + n > INT32_MAX / 2) return nullptr;
        char* at = reserve(extra + n);
        if (!at) return nullptr;
        memset(at, 0, extra);
        length_ = pos + n;
        return block_.get() + start_ + pos;
    }
    if (!reserve(n)) return nullptr;
    char* at = block_.get() + start_;
    memmove(at + pos + n, at + pos, length_ - pos);
    length_ += n;
    return at + pos;
}

int rwbuf::append(const void* bytes, int n) {
    char* at = reserve(n);
    if (!at) return 0;
    if (n > 0) memcpy(at, bytes, n);
    return commit(n);
}

}  // namespace orv
