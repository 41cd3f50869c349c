// Helpers shared by the fuzz targets: a check that holds in release builds too, and a reader that
// takes structured values off the front of a fuzz input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// Aborts (which libFuzzer and the replay driver report as a crash) when a property fails; unlike
// assert() it is not compiled out by NDEBUG.
#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

namespace orv::fuzz {

// Takes values off the front of the input; once it is used up every value is 0 or empty.
class input_reader {
public:
    input_reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }
    size_t remaining() const { return size_ - pos_; }

    uint8_t byte() { return empty() ? 0 : data_[pos_++]; }
    // Big-endian; the operands are read in separate statements to fix their order.
    uint16_t u16() {
        uint16_t high = byte();
        return static_cast<uint16_t>(high << 8 | byte());
    }
    uint32_t u32() {
        uint32_t high = u16();
        return high << 16 | u16();
    }

    // Up to n bytes.
    std::string bytes(size_t n) {
        n = n < remaining() ? n : remaining();
        std::string out(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n;
        return out;
    }
    // Up to the next `stop` byte (which is consumed, not returned), or the rest.
    std::string until(char stop) {
        std::string out;
        while (!empty()) {
            char c = static_cast<char>(data_[pos_++]);
            if (c == stop) break;
            out += c;
        }
        return out;
    }
    std::string rest() { return bytes(remaining()); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

inline std::string_view as_text(const uint8_t* data, size_t size) {
    return std::string_view(reinterpret_cast<const char*>(data), size);
}

}  // namespace orv::fuzz
