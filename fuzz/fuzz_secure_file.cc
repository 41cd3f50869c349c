// The encrypted file loader, on files written to a memory file. Three forms of input (the first
// byte chooses):
//   0  the file's bytes as they are (cipher layer: length, padding);
//   1  the decrypted stream, encrypted here with the password (the reliable stream's framing);
//   2  a configuration text, made into a valid stream here, then changed as the next three bytes
//      say (nothing, one byte flipped, one byte removed, or cut short) and encrypted.
// For form 2 the verdict is known: an unchanged stream loads exactly when its text parses, and as
// the same tree; a changed one never loads, except a cut at a block boundary (a whole file of
// fewer blocks, which the cipher layer's padding keeps a cut file from looking like).
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

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

// A memory file, named through /proc so that the loader can open it by path.
class memory_file {
public:
    memory_file() : fd_(::memfd_create("fuzz_secure_file", MFD_CLOEXEC)) {
        FUZZ_CHECK(fd_ >= 0);
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~memory_file() { ::close(fd_); }
    const std::string& path() const { return path_; }
    void set(const std::string& bytes) {
        FUZZ_CHECK(::ftruncate(fd_, 0) == 0);
        FUZZ_CHECK(::pwrite(fd_, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()));
    }

private:
    int fd_;
    std::string path_;
};

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

std::unique_ptr<config_tree> load(memory_file& file, const std::string& bytes) {
    file.set(bytes);
    bio_ptr sink(BIO_new(BIO_s_mem()));
    std::unique_ptr<config_tree> tree =
        load_secure_config(file.path(), password, file_cipher_name, file_digest_name, sink.get());
    ERR_clear_error();
    return tree;
}

enum class change { none, flip, remove, cut };

void check_changed_stream(memory_file& file, const std::string& text, change how, size_t where, uint8_t mask) {
    std::string stream = valid_stream(text);
    where %= stream.size();
    switch (how) {
        case change::none: break;
        case change::flip: stream[where] = static_cast<char>(stream[where] ^ (mask | 1)); break;
        case change::remove: stream.erase(where, 1); break;
        case change::cut: stream.resize(where); break;
    }
    std::unique_ptr<config_tree> tree = load(file, encrypt(stream));
    if (how == change::none) {
        std::unique_ptr<config_tree> expected = parse_config_text(text);
        ERR_clear_error();
        FUZZ_CHECK((tree != nullptr) == (expected != nullptr));
        if (tree) FUZZ_CHECK(fuzz::same_tree(*tree, *expected));
    } else if (how == change::cut) {
        FUZZ_CHECK(!tree || at_block_boundary(stream.size()));
    } else {
        FUZZ_CHECK(!tree);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static memory_file file;
    fuzz::input_reader in(data, size);
    switch (in.byte() % 3) {
        case 0: load(file, in.rest()); break;
        case 1: load(file, encrypt(in.rest())); break;
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
