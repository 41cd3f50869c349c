// The kind of a relayed connection as the connection log names it ("data connection",
// "SSL connection", or a protocol module's own). A virtual base of every relayed socket.
#pragma once

namespace orv {

class type_label {
public:
    virtual ~type_label() = default;
    const char* type() const { return type_; }
    void set_type(const char* text) { type_ = text; }

private:
    const char* type_ = "";
};

}  // namespace orv
