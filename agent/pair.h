// pair: one relayed connection as the connection log sees it, the plain-side socket and the
// SSL-side socket.
//
// Links are two-sided and non-owning: a pair holds its two sockets and each socket holds its
// pair. The socket destroyed first logs the disconnect and destroys the pair; the pair's
// destructor detaches both sockets and leaves the session's pair list.
#pragma once

#include <string>

namespace orv {

class connection_data;
class relaysocket;
class sslrelaysocket;

class pair {
public:
    explicit pair(connection_data& data);
    virtual ~pair();

    pair(const pair&) = delete;
    pair& operator=(const pair&) = delete;

    void attach(relaysocket* plain);
    void attach(sslrelaysocket* ssl);
    void detach();

    relaysocket* plain() const { return plain_; }
    sslrelaysocket* ssl() const { return ssl_; }
    int number() const { return number_; }
    const std::string& session_name() const { return session_name_; }

private:
    relaysocket* plain_ = nullptr;
    sslrelaysocket* ssl_ = nullptr;
    connection_data& data_;
    int number_;
    std::string session_name_;
};

}  // namespace orv
