// The loaded session of one pass: its record, SSL context, partner list and live pairs.
//
// The role says which side of the tunnel the program is: the client role (orvclient) connects
// to a far agent and verifies it; the server role (orvserver) accepts TLS, requires and verifies
// client certificates against the root (unless `noclientauth`), names the root to clients as the
// acceptable CA and, with `cache`, resumes sessions from its own cache and tickets.
//
// Created once per pass from the open store; every socket of the pass reads it and it outlives
// them all. It owns the SSL context and the certificates and key installed in it; it does not
// own the store, the pairs or the sockets.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agent/far_agents.h"
#include "net/reporter.h"
#include "store/config_store.h"
#include "store/openssl_ptr.h"

namespace orv {

class pair;
class resolver;

enum class connection_role { client, server };

class connection_data : public virtual reporter, public virtual ok_flag {
public:
    // Reports the cause and clears the ok flag on failure.
    connection_data(const reporter& parent, config_store& store, const char* session_name, const char* password,
                    const char* key_cipher, connection_role role = connection_role::client);
    virtual ~connection_data();

    connection_data(const connection_data&) = delete;
    connection_data& operator=(const connection_data&) = delete;

    // A new SSL object for one connection (the caller owns it); in the client role offered the
    // newest resumable session when `cache` is set; null without a context.
    SSL* new_ssl();
    // Takes the reference to a session the far agent has just given.
    void remember_session(SSL_SESSION* session);

    const session_record& session() const { return *record_; }
    // The session's far agents and the order connections try them in (client role).
    far_agent_set& far_agents() { return *far_agents_; }
    bool has_session() const { return record_.has_value(); }
    const std::string& session_name() const { return session_name_; }
    const std::vector<std::string>& partners() const { return partners_; }
    SSL_CTX* ssl_context() const { return ctx_.get(); }
    connection_role role() const { return role_; }
    // The session's certificates as installed (null when the session has none).
    X509* user_certificate() const { return user_cert_.get(); }
    X509* root_certificate() const { return root_cert_.get(); }

    // What keeps this session, and the reading of the file it came from, alive while a
    // connection made from it is open: a reload puts a new connection_data in service for new
    // connections, and open ones keep theirs through this. Set by the pass that made it; empty
    // (nothing kept) when the maker owns it outright, as tests do.
    void set_keeper(std::weak_ptr<void> keeper) { keeper_ = std::move(keeper); }
    std::shared_ptr<void> keep_alive() const { return keeper_.lock(); }

    // The pass's resolver, through which the connections look names up (null: names cannot be
    // looked up, only dotted addresses connect). It outlives every connection of the pass.
    void set_resolver(orv::resolver* r) { resolver_ = r; }
    orv::resolver* name_resolver() const { return resolver_; }

    // Live pairs by number (numbers grow, so this is also creation order).
    void add_pair(pair* p, int number) { pairs_[number] = p; }
    void remove_pair(int number) { pairs_.erase(number); }
    pair* find_pair(int number) const;
    size_t pair_count() const { return pairs_.size(); }

private:
    config_store& store_;
    connection_role role_;
    std::string session_name_;
    std::optional<session_record> record_;
    std::optional<far_agent_set> far_agents_;
    evp_pkey_ptr user_key_;
    x509_ptr user_cert_;
    x509_ptr root_cert_;
    ssl_ctx_ptr ctx_;
    // The far agent's newest sessions, oldest first: enough tickets for connections that start
    // together to resume each with its own.
    static constexpr size_t max_sessions = 64;
    std::deque<ssl_session_ptr> sessions_;
    std::vector<std::string> partners_;
    std::map<int, pair*> pairs_;
    std::weak_ptr<void> keeper_;
    orv::resolver* resolver_ = nullptr;

    bool load(const char* password, const char* key_cipher);
    bool build_context(const char* password, const char* key_cipher);
    bool install_user_credentials(const char* password, const char* key_cipher);
    bool install_root();
    void configure_client_cache();
    bool configure_server_side();
};

}  // namespace orv
