// rwbuf: the growable byte buffer through which relayed data passes. Owned by the object that
// holds it.
//
//   +-------------------+---------------------------+--------------------------------+
//   | consumed (start)  |  data (length bytes)      |  free (capacity-start-length)  |
//   +-------------------+---------------------------+--------------------------------+
//   0                 start                   start+length                       capacity
//
// Consuming moves `start` forward and never moves the rest, so writing a large buffer out in
// pieces costs no copies. reserve(n) makes room for n more bytes past the data: it first reuses
// the consumed prefix (moving the data to offset 0 once) when that leaves a spare of one grain,
// otherwise the block grows to grain * ((length + grain + n) / grain + 1). commit(n) then counts
// what was written there. A buffer holds no block until it is first used, and gives its block
// back when everything has been consumed: an idle connection's buffers cost nothing.
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
    // The data, or null when there is none (len is set to 0 then).
    virtual char* data(int* len);
    virtual int consume(int n);
    // Removes n bytes at pos (relative to the data); a range past the end is cut to the end.
    virtual int erase(int pos, int n);
    // Opens a gap of n bytes at pos (relative to the data) and returns it; a gap at 0 reuses
    // the consumed prefix when it is large enough.
    virtual char* insert(int pos, int n);

    // reserve, copy, commit; 1 on success, 0 when the buffer could not take it.
    int append(const void* bytes, int n);
    // The data without the null-for-empty rule of data().
    const char* bytes() const { return block_.get() + start_; }
    int length() const { return length_; }
    int capacity() const { return capacity_; }
    // Offset of the first byte of data inside the block.
    int start() const { return start_; }
    int grain() const { return grain_; }
    bool empty() const { return length_ == 0; }

private:
    bool check_ok();
    // Moves the data into a block of new_capacity bytes, at offset 0.
    bool reallocate(int new_capacity);
    void release();

    std::unique_ptr<char[]> block_;
    int capacity_ = 0;
    int start_ = 0;
    int length_ = 0;
    int grain_ = default_grain;
};

}  // namespace orv
