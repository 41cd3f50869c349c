// The encrypted file loader, on files written to a memory file. Three forms of input (the first
// byte chooses):
//   0  the file's bytes as they are (cipher layer: length, padding);
//   1  the decrypted stream, encrypted here with the password (the reliable stream's framing);
//   2  a configuration text, made into a valid stream here, then changed as the next three bytes
//      say (nothing, one byte flipped, one byte removed, or cut short) and encrypted.
// For form 2 the verdict is known: an unchanged stream loads exactly when its text parses, and as
// the same tree; a changed one never loads, except a cut at a block boundary (a whole file of
// fewer blocks, which the cipher layer's padding keeps a cut file from looking like).
#include <openssl/err.h>
#include <openssl/evp.h>

#include "fuzz/config_support.h"
#include "fuzz/fuzz_support.h"
#include "store/config_store.h"
#include "store/config_text.h"
#include "store/reliable_stream.h"
#include "store/secure_file.h"

namespace {

using namespace orv;

constexpr const char* password = "fuzz";

std::string encrypt(const std::string& plain) {
    const EVP_CIPHER* cipher = EVP_get_cipherbyname(file_cipher_name);
    unsigned char key[EVP_MAX_KEY_LENGTH];
    unsigned char iv[EVP_MAX_IV_LENGTH];
    FUZZ_CHECK(cipher && derive_key_iv(cipher, password, key, iv));
    evp_cipher_ctx_ptr ctx(EVP_CIPHER_CTX_new());
    std::string out(plain.size() + EVP_MAX_BLOCK_LENGTH, '\0');
    auto* o = reinterpret_cast<unsigned char*>(out.data());
    int len = 0;
    int fin = 0;
    FUZZ_CHECK(ctx && EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key, iv) == 1);
    FUZZ_CHECK(EVP_EncryptUpdate(ctx.get(), o, &len, reinterpret_cast<const unsigned char*>(plain.data()),
                                 static_cast<int>(plain.size())) == 1);
    FUZZ_CHECK(EVP_EncryptFinal_ex(ctx.get(), o + len, &fin) == 1);
    out.resize(static_cast<size_t>(len + fin));
    return out;
}

std::string valid_stream(const std::string& text) {
    static const unsigned char seed[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    reliable_writer writer;
    byte_buffer stream;
    FUZZ_CHECK(writer.start(seed, stream));
    writer.write(text.data(), text.size(), stream);
    writer.close(stream);
    return std::string(stream.begin(), stream.end());
}

// Where a stream of fewer blocks may end: after the signature and whole blocks, or at once (the
// empty stream, which is the empty file).
bool at_block_boundary(size_t length) {
    constexpr size_t whole_block = 4 + reliable_block_payload + 16;
    if (length == 0) return true;
    return length >= reliable_signature_size && (length - reliable_signature_size) % whole_block == 0;
}

using fuzz::change;

void check_changed_stream(fuzz::memory_file& file, const std::string& text, change how, size_t where, uint8_t mask) {
    std::string stream = valid_stream(text);
    fuzz::apply_change(stream, how, where % stream.size(), mask);
    std::unique_ptr<config_tree> tree = fuzz::load_bytes(file, password, encrypt(stream));
    if (how == change::none) {
        fuzz::check_loads_as_text(tree.get(), text);
    } else if (how == change::cut) {
        FUZZ_CHECK(!tree || at_block_boundary(stream.size()));
    } else {
        FUZZ_CHECK(!tree);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::memory_file file;
    fuzz::input_reader in(data, size);
    switch (in.byte() % 3) {
        case 0: fuzz::load_bytes(file, password, in.rest()); break;
        case 1: fuzz::load_bytes(file, password, encrypt(in.rest())); break;
        case 2: {
            auto how = static_cast<change>(in.byte() % 4);
            size_t where = in.u16();
            uint8_t mask = in.byte();
            std::string text = in.rest();
            if (fuzz::reads_other_files(text)) return 0;
            check_changed_stream(file, text, how, where, mask);
            break;
        }
    }
    return 0;
}
