// The command record: everything one run of orvconf knows, filled from the command line and
// handed to every operation.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <openssl/bio.h>

#include "store/config_store.h"
#include "store/openssl_ptr.h"
#include "store/password_input.h"

namespace orv {

enum class object_kind { none = 0, key, certificate, root, session, partner, password };

enum class sub_command {
    none = 0,
    list,
    remove,
    insert,
    generate,
    request,
    view,
    view_all,
    list_all,
    replace_password,
};

// Session values as given on the command line; texts are nullopt when not given.
struct session_options {
    std::optional<std::string> bindaddr;
    std::optional<std::string> port;
    std::optional<std::string> server;
    std::optional<std::string> serverport;
    std::optional<std::string> cipherlist;
    std::optional<std::string> cert;
    std::optional<std::string> root;
    std::optional<std::string> key;
    int multicall = 0;
    std::optional<std::string> command;
    int minres = 0;
    int autoclose = 0;
    std::optional<std::string> login;
    int cache = 0;
    int timeout = 0;
    int accept_timeout = 0;
    int nodelay = 0;
    int sslmode = 0;
    int noclientauth = 0;
};

inline constexpr int default_key_bits = 2048;
inline constexpr const char* editor_version = "1.2.5";

struct command_record {
    std::string config_path;
    object_kind object = object_kind::none;
    sub_command command = sub_command::none;
    std::optional<std::string> name;  // -N
    session_options session;
    int key_bits = default_key_bits;
    std::optional<std::string> subject;  // -D
    password_buffer password;
    password_buffer new_password;
    bool password_too_long = false;  // a -z value that does not fit the buffer
    const char* cipher_name = nullptr;
    const char* digest_name = nullptr;
    std::optional<std::string> partner_name;  // -J
    partner_fields partner;
    std::optional<std::string> cert_file;  // -I and -O
    std::optional<std::string> random_files;  // -S

    BIO* sink = nullptr;  // standard error
    std::vector<std::string> list_result;
    bio_ptr view;
    config_store* store = nullptr;
    bool changed = false;

    // The object name when one was given and is not empty: an empty name cannot be stored.
    const char* object_name() const { return name && !name->empty() ? name->c_str() : nullptr; }
};

}  // namespace orv
