// The two common bases of every agent object, and the two ways to write a message through them.
//
// A `reporter` points at the pass's `logsink` (not owned); objects copy their creator's sink, so
// everything made during one pass writes to the same place. The ok flag starts at 1 and is cleared
// by a constructor or operation that fails; creators and the selector test it instead of catching
// exceptions.
//
// Both are meant to be inherited virtually. Because the most-derived class would otherwise have to
// name `reporter` in its own initialiser list, constructors of the net classes adopt the parent's
// sink in their bodies (adopt_sink), so a subclass only has to pass its parent down.
#pragma once

namespace orv {

class logsink;

class reporter {
public:
    reporter() = default;
    explicit reporter(logsink* sink) : sink_(sink) {}
    reporter(const reporter& parent) = default;
    reporter& operator=(const reporter& other) = default;
    virtual ~reporter() = default;

    logsink* sink() const { return sink_; }
    void set_sink(logsink* sink) { sink_ = sink; }
    void adopt_sink(const reporter& parent) { sink_ = parent.sink_; }

private:
    logsink* sink_ = nullptr;
};

class ok_flag {
public:
    virtual ~ok_flag() = default;

    int ok() const { return ok_; }
    void clear_ok() { ok_ = 0; }

protected:
    // Only for objects that can legitimately recover (a buffer refilled by assignment).
    void set_ok() { ok_ = 1; }

private:
    int ok_ = 1;
};

// Writes one formatted line through the reporter's sink; dropped when it has none. Formats carry
// their own line end.
void report(const reporter& r, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Writes "%s:%ld:%s\n": the text, the error number and the system's text for it (the errno
// name when the system has no text, "???" when neither exists). The first form takes errno at
// the moment of the call.
void report_sockerr(const reporter& r, const char* text);
void report_sockerr(const reporter& r, const char* text, int error);

// The third field of report_sockerr's line.
const char* sockerr_text(int error);

}  // namespace orv
