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

// Session values as given on the command line, one slot for each row of session_fields (the
// same place): texts are nullopt when not given, flags and numbers 0.
struct session_options {
    std::optional<std::string> texts[session_field_count];
    int numbers[session_field_count] = {};

    // The values as the record of session `name`; its texts point into this object.
    session_record record(const char* name) const;
};

// The file formats -F names: classic (the default, readable by every version) and strong.
enum class file_format { classic, strong };

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
    std::optional<std::string> cert_file;     // -I and -O
    std::optional<std::string> random_files;  // -S
    std::optional<file_format> format;        // -F

    BIO* sink = nullptr;  // standard error
    std::vector<std::string> list_result;
    bio_ptr view;
    config_store* store = nullptr;
    bool changed = false;

    // The object name when one was given and is not empty: an empty name cannot be stored.
    const char* object_name() const { return name && !name->empty() ? name->c_str() : nullptr; }
};

}  // namespace orv
