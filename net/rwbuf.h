// rwbuf: the growable byte buffer through which relayed data passes. Owned by the object that
// holds it.
//
//   +---------------------------+---------------------------------+
//   |  data (length bytes)      |  free (capacity - length bytes) |
//   +---------------------------+---------------------------------+
//   0                        length                            capacity
//
// Data always starts at offset 0. reserve(n) makes room for n more bytes past the data, keeping a
// spare of one grain: when capacity - length < n + grain the block grows to
// grain * ((length + grain + n) / grain + 1). commit(n) then counts what was written there.
// Consuming everything returns a grown block to its initial 2 * grain bytes.
//
// Every operation refuses work ("rwbuf is not ok\n", 0 or null) once an allocation has failed
// ("out of memory\n", ok flag cleared). Counts that would leave the block (a negative count, a
// commit past the reserved space, a consume past the data) are refused with 0 or null.
#pragma once

#include <memory>

#include "net/reporter.h"

namespace orv {

class rwbuf : virtual public reporter, virtual public ok_flag {
public:
    static constexpr int default_grain = 2048;

    // A grain of -1 (or any grain below 1) means default_grain.
    explicit rwbuf(const reporter& parent, int grain = -1);
    rwbuf(const rwbuf& other);
    rwbuf& operator=(const rwbuf& other);
    // Appends the other's data to this one (reserve, copy, commit).
    rwbuf& operator+=(const rwbuf& other);
    virtual ~rwbuf();

    virtual char* reserve(int n);
    virtual int commit(int n);
    virtual char* data(int* len);
    virtual int consume(int n);
    virtual int erase(int pos, int n);
    virtual char* insert(int pos, int n);

    // reserve, copy, commit; 1 on success, 0 when the buffer could not take it.
    int append(const void* bytes, int n);
    // The data without the null-for-empty rule of data().
    const char* bytes() const { return block_.get(); }
    int length() const { return length_; }
    int capacity() const { return capacity_; }
    int grain() const { return grain_; }
    bool empty() const { return length_ == 0; }

private:
    bool check_ok();
    bool reallocate(int new_capacity);

    std::unique_ptr<char[]> block_;
    int capacity_ = 0;
    int length_ = 0;
    int grain_ = default_grain;
};

}  // namespace orv
