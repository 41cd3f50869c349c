// The link between the ends of a data connection and the control connection that opened it
// (an FTP control end keeps one data connection at a time). Non-owning both ways: the control
// end destroys its data connection when it goes or opens the next one; an end that goes first
// tells it, so the control end never holds a dangling pointer.
#pragma once

namespace orv {

class clientdata;
class control_member;

class data_connection_owner {
public:
    // `end` is being destroyed.
    virtual void member_gone(const control_member* end) = 0;
    // The rendezvous `old` has accepted `now`, which takes its place.
    virtual void member_replaced(const control_member* old, clientdata* now) = 0;

protected:
    ~data_connection_owner() = default;
};

// A base of every end of a data connection: the control connection it belongs to, told when
// the end goes.
class control_member {
public:
    // Null: the end belongs to no control connection (Progress, Oracle).
    void set_control(data_connection_owner* control) { control_ = control; }
    data_connection_owner* control() const { return control_; }

protected:
    control_member() = default;
    ~control_member() {
        if (control_) control_->member_gone(this);
    }
    control_member(const control_member&) = delete;
    control_member& operator=(const control_member&) = delete;

private:
    data_connection_owner* control_ = nullptr;
};

}  // namespace orv
