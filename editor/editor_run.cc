#include "editor/editor_run.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/rand.h>

#include "editor/command_line.h"
#include "editor/key_material.h"
#include "editor/listing.h"
#include "editor/object_edit.h"
#include "editor/object_name.h"
#include "store/password_input.h"
#include "store/secure_file.h"
#include "store/strong_keys.h"

namespace orv {

namespace {

constexpr long random_file_limit = 1048576;
// A terminal that keeps failing (closed, end of input) must not hold the run forever.
constexpr int new_password_attempts = 3;

enum class run_outcome { succeeded, failed, aborted };

void load_random_files(const std::string& list) {
    size_t start = 0;
    for (;;) {
        size_t end = list.find(':', start);
        std::string file = list.substr(start, end == std::string::npos ? end : end - start);
        if (!file.empty()) RAND_load_file(file.c_str(), random_file_limit);
        if (end == std::string::npos) return;
        start = end + 1;
    }
}

bool obtain_password(command_record& rec) {
    if (rec.password_too_long) return false;
    if (!rec.password.empty()) return true;
    return read_password(rec.password, password_prompt(rec.config_path));
}

bool obtain_new_password(command_record& rec) {
    std::string prompt = new_password_prompt(rec.config_path);
    for (int i = 0; i < new_password_attempts; ++i) {
        if (read_password(rec.new_password, prompt)) return true;
    }
    return false;
}

// A file that does not exist yet starts as an empty tree; it gets the password when saved.
std::unique_ptr<config_tree> open_tree(const command_record& rec, bool& existed) {
    struct stat st;
    existed = !(::stat(rec.config_path.c_str(), &st) != 0 && errno == ENOENT);
    if (!existed) return std::make_unique<config_tree>();
    return load_secure_config(rec.config_path, rec.password.c_str(), rec.cipher_name, rec.digest_name, rec.sink);
}

const char* format_name(bool strong) { return strong ? "strong" : "classic"; }

// The keys of a file in the strong format, or null for the classic format; false when the
// strong format's key derivation fails.
bool keys_for(bool strong, const char* password, std::shared_ptr<const strong_keys>& keys, BIO* sink) {
    keys = strong ? strong_keys::create(password) : nullptr;
    if (strong && !keys) BIO_printf(sink, "unable to derive the file key\n");
    return !strong || keys;
}

// -F sets the format of a new file. An existing file changes format only through -y, so that
// no other command converts it; naming the format it already has is harmless.
bool apply_format_choice(command_record& rec, config_tree& tree, bool existed) {
    if (!rec.format || rec.command == sub_command::replace_password) return true;
    bool strong = *rec.format == file_format::strong;
    if (existed) {
        if (strong == (tree.protection() != nullptr)) return true;
        BIO_printf(rec.sink, "the file is in the %s format; only -y converts it\n", format_name(!strong));
        return false;
    }
    std::shared_ptr<const strong_keys> keys;
    if (!keys_for(strong, rec.password.c_str(), keys, rec.sink)) return false;
    tree.set_protection(std::move(keys));
    return true;
}

// Re-encrypts every key under the new password, in the format -F names or else the file's own.
bool replace_password(command_record& rec) {
    bool strong = rec.format ? *rec.format == file_format::strong : rec.store->tree().protection() != nullptr;
    std::shared_ptr<const strong_keys> keys;
    if (!keys_for(strong, rec.new_password.c_str(), keys, rec.sink) ||
        !rec.store->change_protection(rec.password.c_str(), rec.new_password.c_str(), std::move(keys),
                                      rec.cipher_name)) {
        return false;
    }
    rec.changed = true;
    rec.password.assign(rec.new_password.c_str());
    return true;
}

run_outcome run_operation(command_record& rec) {
    bool existed = false;
    std::unique_ptr<config_tree> tree = open_tree(rec, existed);
    if (!tree || !apply_format_choice(rec, *tree, existed)) return run_outcome::failed;
    config_store store(*tree);
    rec.store = &store;
    store.load_random_seed();
    if (rec.command == sub_command::replace_password && !obtain_new_password(rec)) {
        std::fputs("Error during password input\n", stderr);
        rec.store = nullptr;
        return run_outcome::aborted;
    }
    bool ok = dispatch_command(rec);
    print_results(rec, stdout);
    std::fflush(stdout);
    store.save_random_seed();
    if (rec.changed) {
        ok = save_secure_config(*tree, rec.config_path, rec.password.c_str(), rec.cipher_name, rec.digest_name,
                                rec.sink) &&
             ok;
    }
    rec.store = nullptr;
    return ok ? run_outcome::succeeded : run_outcome::failed;
}

}  // namespace

bool dispatch_command(command_record& rec) {
    if (rec.name && !valid_object_name(*rec.name)) {
        BIO_printf(rec.sink, "illegal object name: \"%s\"\n", rec.name->c_str());
        return false;
    }
    switch (rec.command) {
        case sub_command::list: return list_objects(rec);
        case sub_command::remove: return delete_object(rec);
        case sub_command::insert: return insert_object(rec);
        case sub_command::generate: return generate_key(rec);
        case sub_command::request: return write_request(rec);
        case sub_command::view: return view_object(rec);
        case sub_command::view_all: return view_all(rec);
        case sub_command::list_all: return list_all(rec);
        case sub_command::replace_password: return replace_password(rec);
        case sub_command::none: break;
    }
    BIO_printf(rec.sink, "illegal command\n");
    return false;
}

void print_results(const command_record& rec, FILE* out) {
    if (rec.command == sub_command::list) {
        for (const std::string& element : rec.list_result) {
            for (char c : element) {
                if (c == '\t') std::fputs(", ", out);
                else std::fputc(c, out);
            }
            std::fputc('\n', out);
        }
        return;
    }
    if (rec.view) {
        char* data = nullptr;
        long len = BIO_get_mem_data(rec.view.get(), &data);
        if (len > 0) std::fwrite(data, 1, static_cast<size_t>(len), out);
    }
}

int run_orvconf(int argc, char** argv) {
    // Before the -z argument is read: the password and the decrypted file stay out of core dumps.
    make_undumpable();
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS,
                        nullptr);
    process_arguments arguments(argc, argv);  // the parser reads copies; the list shows them later
    command_record rec;
    rec.config_path = default_config_path();
    std::string diagnostic;
    bool parsed = parse_command_line(argc, argv, rec, diagnostic);
    arguments.hide();
    if (!parsed) {
        std::fputs(diagnostic.c_str(), stderr);
        std::fputs(usage_text().c_str(), stderr);
        return 1;
    }
    rec.cipher_name = file_cipher_name;
    rec.digest_name = file_digest_name;
    if (rec.random_files) load_random_files(*rec.random_files);
    if (!obtain_password(rec)) {
        std::fputs("Error during password input\n", stderr);
        return 0;
    }
    bio_ptr sink(BIO_new_fp(stderr, BIO_NOCLOSE));
    if (!sink) {
        std::fputs("Unable to create error BIO\n", stderr);
        return 0;
    }
    rec.sink = sink.get();
    if (run_operation(rec) == run_outcome::failed) {
        BIO_printf(rec.sink, "operation failed\n");
        ERR_print_errors(rec.sink);
    }
    rec.sink = nullptr;
    return 0;
}

}  // namespace orv
