#include "net/rwbuf.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <new>

namespace orv {

rwbuf::rwbuf(const reporter& parent, int grain)
{
    adopt_sink(parent);
    grain_ = grain < 1 ? default_grain : grain;
    reallocate(2 * grain_);
}

rwbuf::rwbuf(const rwbuf& other) : reporter(other), ok_flag(other), grain_(other.grain_)
{
    if (reallocate(other.capacity_)) {
        length_ = other.length_;
        if (length_ > 0)
            memcpy(block_.get(), other.block_.get(), length_);
    }
}

rwbuf& rwbuf::operator=(const rwbuf& other)
{
    if (this == &other)
        return *this;
    reporter::operator=(other);
    grain_ = other.grain_;
    length_ = 0;
    if (reallocate(other.capacity_)) {
        set_ok();
        length_ = other.length_;
        if (length_ > 0)
            memcpy(block_.get(), other.block_.get(), length_);
    }
    return *this;
}

rwbuf& rwbuf::operator+=(const rwbuf& other)
{
    if (other.length_ > 0) {
        // Copy first: appending a buffer to itself would reserve under its own feet.
        std::string copy(other.block_.get(), other.length_);
        append(copy.data(), static_cast<int>(copy.size()));
    }
    return *this;
}

rwbuf::~rwbuf() = default;

bool rwbuf::check_ok()
{
    if (ok())
        return true;
    report(*this, "rwbuf is not ok\n");
    return false;
}

// Replaces the block by one of new_capacity bytes, keeping the data.
bool rwbuf::reallocate(int new_capacity)
{
    std::unique_ptr<char[]> block(new (std::nothrow) char[new_capacity]);
    if (!block) {
        report(*this, "out of memory\n");
        clear_ok();
        return false;
    }
    if (length_ > 0)
        memcpy(block.get(), block_.get(), length_);
    block_ = std::move(block);
    capacity_ = new_capacity;
    return true;
}

char* rwbuf::reserve(int n)
{
    if (!check_ok() || n < 0)
        return nullptr;
    if (static_cast<long long>(capacity_) - length_ < static_cast<long long>(n) + grain_) {
        long long wanted = static_cast<long long>(grain_) * ((static_cast<long long>(length_) + grain_ + n) / grain_ + 1);
        if (wanted > INT32_MAX) {
            report(*this, "out of memory\n");
            clear_ok();
            return nullptr;
        }
        if (!reallocate(static_cast<int>(wanted)))
            return nullptr;
    }
    return block_.get() + length_;
}

int rwbuf::commit(int n)
{
    if (!check_ok() || n < 0 || n > capacity_ - length_)
        return 0;
    length_ += n;
    return 1;
}

char* rwbuf::data(int* len)
{
    if (!check_ok()) {
        if (len)
            *len = 0;
        return nullptr;
    }
    if (len)
        *len = length_;
    return length_ > 0 ? block_.get() : nullptr;
}

int rwbuf::consume(int n)
{
    if (!check_ok() || n < 0 || n > length_)
        return 0;
    if (n == length_) {
        length_ = 0;
        if (capacity_ > 2 * grain_)
            return reallocate(2 * grain_) ? 1 : 0;
        return 1;
    }
    memmove(block_.get(), block_.get() + n, length_ - n);
    length_ -= n;
    return 1;
}

int rwbuf::erase(int pos, int n)
{
    if (!check_ok() || pos < 0 || n < 0)
        return 0;
    if (pos >= length_)
        return 1;
    if (pos + static_cast<long long>(n) >= length_) {
        length_ = pos;
        return 1;
    }
    memmove(block_.get() + pos, block_.get() + pos + n, length_ - pos - n);
    length_ -= n;
    return 1;
}

char* rwbuf::insert(int pos, int n)
{
    if (!check_ok() || pos < 0 || n < 0)
        return nullptr;
    if (pos >= length_) {
        // A gap past the data: reserve up to its end and zero what lies between, so the block
        // never holds bytes nobody wrote.
        int extra = pos - length_;
        if (static_cast<long long>(extra) + n > INT32_MAX / 2 || !reserve(extra + n))
            return nullptr;
        memset(block_.get() + length_, 0, extra);
        length_ = pos + n;
        return block_.get() + pos;
    }
    if (!reserve(n))
        return nullptr;
    memmove(block_.get() + pos + n, block_.get() + pos, length_ - pos);
    length_ += n;
    return block_.get() + pos;
}

int rwbuf::append(const void* bytes, int n)
{
    char* at = reserve(n);
    if (!at)
        return 0;
    if (n > 0)
        memcpy(at, bytes, n);
    return commit(n);
}

}  // namespace orv
