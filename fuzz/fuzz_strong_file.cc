// The strong file loader, on files written to a memory file, with the password "fuzz". Three
// forms of input (the first byte chooses):
//   0  the bytes of a file after its magic (which is put in front here): header and body as
//      they come;
//   1  a configuration text, made into a valid strong file here, then changed as the next three
//      bytes say (nothing, one byte flipped, one byte removed, or cut short);
//   2  a stored key text after its "AES256GCM:" prefix, opened while strong keys of the password
//      are live.
// For form 1 the verdict is known: an unchanged file loads exactly when its text parses, as the
// same tree in the strong format; a changed one never loads (a cut to nothing is the empty file,
// an empty configuration of the classic format).
// Only headers that ask scrypt for at most 1 MiB are loaded: the loader accepts up to 1 GiB, which
// would make every input cost seconds.
#include <openssl/err.h>

#include "fuzz/config_support.h"
#include "fuzz/fuzz_support.h"
#include "store/config_store.h"
#include "store/config_text.h"
#include "store/secure_file.h"
#include "store/strong_file.h"
#include "store/strong_keys.h"

namespace {

using namespace orv;

constexpr const char* password = "fuzz";
constexpr kdf_params tiny{4, 1, 1};
constexpr uint64_t fuzz_memory_limit = uint64_t{1} << 20;

// False for a file whose header the loader would accept but whose scrypt costs too much here.
bool cheap_enough(const std::string& file) {
    strong_header header;
    if (!has_strong_magic(file) || read_strong_header(file, header) != header_status::ok) return true;
    return kdf_memory(header.params) * header.params.p <= fuzz_memory_limit;
}

// Every stored key of a loaded file is tried; none may do more than open or not.
void open_keys(const config_tree& tree) {
    for (const std::string& name : tree.section_names("keys")) {
        const config_section* keys = tree.find_section("keys");
        config_store::decrypt_key(keys->find(name)->c_str(), password, file_cipher_name);
    }
    ERR_clear_error();
}

using fuzz::change;

// The keys of the files made here. Alive, they also stand for a loaded strong file whose stored
// keys open with the password.
const strong_keys& fuzz_keys() {
    static std::shared_ptr<const strong_keys> keys = strong_keys::create(password, tiny);
    FUZZ_CHECK(keys);
    return *keys;
}

void check_changed_file(fuzz::memory_file& file, const std::string& text, change how, size_t where, uint8_t mask) {
    std::optional<std::string> sealed = seal_strong_file(text, fuzz_keys());
    FUZZ_CHECK(sealed);
    std::string bytes = *sealed;
    fuzz::apply_change(bytes, how, where % bytes.size(), mask);
    if (!cheap_enough(bytes)) return;
    std::unique_ptr<config_tree> tree = fuzz::load_bytes(file, password, bytes);
    if (how == change::none) {
        fuzz::check_loads_as_text(tree.get(), text);
        if (!tree) return;
        FUZZ_CHECK(tree->protection() && tree->protection()->params().log2_n == tiny.log2_n);
        open_keys(*tree);
    } else {
        FUZZ_CHECK(!tree || (bytes.empty() && !tree->protection()));
    }
}

void check_key_text(const std::string& rest) {
    fuzz_keys();
    std::string text = strong_key_prefix + rest;
    evp_pkey_ptr key = config_store::decrypt_key(text.c_str(), password, file_cipher_name);
    // Only a sealed DER key opens, and the fuzzer cannot make a tag without the key.
    FUZZ_CHECK(!key);
    ERR_clear_error();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::memory_file file;
    fuzz::input_reader in(data, size);
    switch (in.byte() % 3) {
        case 0: {
            std::string bytes(reinterpret_cast<const char*>(strong_magic), sizeof strong_magic);
            bytes += in.rest();
            if (!cheap_enough(bytes)) return 0;
            std::unique_ptr<config_tree> tree = fuzz::load_bytes(file, password, bytes);
            if (tree) open_keys(*tree);
            break;
        }
        case 1: {
            auto how = static_cast<change>(in.byte() % 4);
            size_t where = in.u16();
            uint8_t mask = in.byte();
            std::string text = in.rest();
            if (fuzz::reads_other_files(text)) return 0;
            check_changed_file(file, text, how, where, mask);
            break;
        }
        case 2: check_key_text(in.rest()); break;
    }
    return 0;
}
