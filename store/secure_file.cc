#include "store/secure_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "store/config_store.h"
#include "store/config_text.h"
#include "store/openssl_ptr.h"
#include "store/reliable_stream.h"
#include "store/strong_file.h"

namespace orv {

namespace {

constexpr size_t io_chunk = 4096;

// Key and IV of the cipher layer, cleared when the operation ends.
struct cipher_key {
    unsigned char key[EVP_MAX_KEY_LENGTH] = {};
    unsigned char iv[EVP_MAX_IV_LENGTH] = {};
    ~cipher_key() {
        OPENSSL_cleanse(key, sizeof key);
        OPENSSL_cleanse(iv, sizeof iv);
    }
};

// Looks up cipher and digest by name, reporting an unknown one to the sink.
bool lookup_algorithms(const char* cipher_name, const char* digest_name, BIO* sink, const EVP_CIPHER** cipher) {
    *cipher = EVP_get_cipherbyname(cipher_name);
    if (*cipher == nullptr) {
        BIO_printf(sink, "Unsupported cipher %s\n", cipher_name);
        return false;
    }
    // The running digest is MD5 by construction of the format; the name is still checked.
    if (EVP_get_digestbyname(digest_name) == nullptr) {
        BIO_printf(sink, "Unsupported digestname %s\n", digest_name);
        return false;
    }
    return true;
}

class fd_closer {
public:
    explicit fd_closer(int fd) : fd_(fd) {}
    ~fd_closer() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

bool write_all(int fd, const unsigned char* data, size_t len) {
    while (len > 0) {
        ssize_t n = ::write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Reads the file through the cipher into the reliable reader. False on a cipher-layer fault:
// a file that is not whole cipher blocks or ends in bad padding has been cut or damaged.
bool decrypt_file(int fd, EVP_CIPHER_CTX* ctx, reliable_reader& reader, std::string& text) {
    unsigned char in[io_chunk];
    unsigned char out[io_chunk + EVP_MAX_BLOCK_LENGTH];
    size_t total = 0;
    for (;;) {
        ssize_t n = ::read(fd, in, sizeof in);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        total += static_cast<size_t>(n);
        int outl = 0;
        if (EVP_DecryptUpdate(ctx, out, &outl, in, static_cast<int>(n)) != 1) return false;
        reader.feed(out, static_cast<size_t>(outl), text);
    }
    if (total == 0) return true;  // the empty file is an empty stream
    int outl = 0;
    bool final_ok = EVP_DecryptFinal_ex(ctx, out, &outl) == 1;
    if (final_ok) reader.feed(out, static_cast<size_t>(outl), text);
    OPENSSL_cleanse(out, sizeof out);
    return final_ok;
}

// A strong file is verified as a whole before any of it is used, so it is read whole; one far
// larger than any configuration is refused rather than held in memory.
constexpr size_t strong_file_limit = size_t{64} << 20;

bool read_whole(int fd, std::string& out) {
    char buf[io_chunk];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buf, static_cast<size_t>(n));
        if (out.size() > strong_file_limit) return false;
    }
}

// The reason a strong file's header is refused, before the general message.
void report_header(BIO* sink, header_status status, const strong_header& h) {
    switch (status) {
        case header_status::unknown_version: BIO_printf(sink, "Unsupported file format version %u\n", h.version); break;
        case header_status::unknown_kdf: BIO_printf(sink, "Unsupported key derivation %u\n", h.kdf); break;
        case header_status::unknown_cipher: BIO_printf(sink, "Unsupported cipher %u\n", h.cipher); break;
        case header_status::unsupported_params:
            BIO_printf(sink, "Unsupported key derivation parameters N=2^%u r=%u p=%u\n", h.params.log2_n,
                       static_cast<unsigned>(h.params.r), static_cast<unsigned>(h.params.p));
            break;
        case header_status::ok:
        case header_status::truncated: break;
    }
}

// Costs one scrypt run; the keys stay with the tree, so its stored keys open without another.
std::unique_ptr<config_tree> load_strong(int fd, const std::string& path, const char* password, BIO* sink) {
    std::string file;
    strong_header header;
    header_status status = read_whole(fd, file) ? read_strong_header(file, header) : header_status::truncated;
    std::shared_ptr<const strong_keys> keys;
    std::optional<secret_bytes> text;
    if (status == header_status::ok) keys = strong_keys::derive(password, header.params, header.salt);
    if (keys) text = open_strong_file(file, *keys);
    if (!text) {
        report_header(sink, status, header);
        BIO_printf(sink, "Unable to read secure config file %s\n", path.c_str());
        return nullptr;
    }
    std::string plain(reinterpret_cast<const char*>(text->get()), text->size());
    std::unique_ptr<config_tree> tree = parse_config_text(plain);
    OPENSSL_cleanse(plain.data(), plain.size());
    if (tree) tree->set_protection(std::move(keys));
    return tree;
}

// True when the file begins with the strong format's magic. A file that cannot be read from a
// position (a pipe) is taken as classic.
bool starts_strong(int fd) {
    std::string head(sizeof strong_magic, '\0');
    ssize_t n = ::pread(fd, head.data(), head.size(), 0);
    return n == static_cast<ssize_t>(head.size()) && has_strong_magic(head);
}

}  // namespace

std::unique_ptr<config_tree> load_secure_config(const std::string& path, const char* password, const char* cipher_name,
                                                const char* digest_name, BIO* sink) {
    fd_closer fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        BIO_printf(sink, "Unable to set filename\n");
        return nullptr;
    }
    if (starts_strong(fd.get())) return load_strong(fd.get(), path, password, sink);
    const EVP_CIPHER* cipher = nullptr;
    if (!lookup_algorithms(cipher_name, digest_name, sink, &cipher)) return nullptr;
    cipher_key k;
    evp_cipher_ctx_ptr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || !derive_key_iv(cipher, password, k.key, k.iv) ||
        EVP_DecryptInit_ex(ctx.get(), cipher, nullptr, k.key, k.iv) != 1) {
        BIO_printf(sink, "Unable to read secure config file %s\n", path.c_str());
        return nullptr;
    }
    reliable_reader reader;
    std::string text;
    // A stream ending inside a block (or inside its signature) is a cut file, even when the
    // cut happens to leave valid cipher padding: it is reported, not silently shortened.
    bool intact = decrypt_file(fd.get(), ctx.get(), reader, text) && reader.good() && !reader.has_partial_block();
    std::unique_ptr<config_tree> tree;
    if (intact) tree = parse_config_text(text);
    OPENSSL_cleanse(text.data(), text.size());
    if (!intact) {
        BIO_printf(sink, "Unable to read secure config file %s\n", path.c_str());
        return nullptr;
    }
    return tree;
}

namespace {

// Encrypts the stream of `text` into the open temporary file.
bool write_encrypted(int fd, const std::string& text, const EVP_CIPHER* cipher, const cipher_key& k) {
    evp_cipher_ctx_ptr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, k.key, k.iv) != 1) return false;
    reliable_writer writer;
    byte_buffer stream;
    byte_buffer out;
    bool ok = true;
    auto flush = [&](bool final) {
        out.resize(stream.size() + EVP_MAX_BLOCK_LENGTH);
        int outl = 0;
        ok = ok && EVP_EncryptUpdate(ctx.get(), out.data(), &outl, stream.data(), static_cast<int>(stream.size())) == 1;
        int finl = 0;
        if (ok && final) ok = EVP_EncryptFinal_ex(ctx.get(), out.data() + outl, &finl) == 1;
        ok = ok && write_all(fd, out.data(), static_cast<size_t>(outl + finl));
        OPENSSL_cleanse(stream.data(), stream.size());
        OPENSSL_cleanse(out.data(), out.size());
        stream.clear();
    };
    for (size_t pos = 0; ok && pos < text.size(); pos += io_chunk) {
        size_t n = std::min(io_chunk, text.size() - pos);
        writer.write(text.data() + pos, n, stream);
        flush(false);
    }
    writer.close(stream);
    flush(true);
    return ok && writer.good();
}

// The file must open with the password it is saved under, so the tree's keys must be that
// password's.
bool write_strong(int fd, const std::string& text, const strong_keys& keys, const char* password) {
    if (!keys.opens_with(password)) return false;
    std::optional<std::string> file = seal_strong_file(text, keys);
    return file && write_all(fd, reinterpret_cast<const unsigned char*>(file->data()), file->size());
}

mode_t new_file_mode(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return st.st_mode & 07777;
    return 0600;  // the file holds the keys
}

void sync_directory_of(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

}  // namespace

bool save_secure_config(const config_tree& tree, const std::string& path, const char* password, const char* cipher_name,
                        const char* digest_name, BIO* sink) {
    const std::string tmp_name = path + ".tmp";
    const std::string old_name = path + ".old";
    mode_t mode = new_file_mode(path);
    fd_closer fd(::open(tmp_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        BIO_printf(sink, "Unable to set filename\n");
        return false;
    }
    const strong_keys* keys = tree.protection().get();
    const EVP_CIPHER* cipher = nullptr;
    if (keys == nullptr && !lookup_algorithms(cipher_name, digest_name, sink, &cipher)) {
        ::unlink(tmp_name.c_str());
        return false;
    }
    cipher_key k;
    std::string text = write_config_text(tree);
    bool written = keys != nullptr
                       ? write_strong(fd.get(), text, *keys, password)
                       : derive_key_iv(cipher, password, k.key, k.iv) && write_encrypted(fd.get(), text, cipher, k);
    bool ok = written && ::fchmod(fd.get(), mode) == 0 && ::fsync(fd.get()) == 0;
    OPENSSL_cleanse(text.data(), text.size());
    ok = ::close(fd.release()) == 0 && ok;
    if (!ok) {
        BIO_printf(sink, "Unable to write secure config file %s\n", tmp_name.c_str());
        ::unlink(tmp_name.c_str());
        return false;
    }
    // rename() replaces the file atomically, so there is never a moment without one.
    if (::rename(tmp_name.c_str(), path.c_str()) != 0) {
        BIO_printf(sink, "Unable to write secure config file %s\n", tmp_name.c_str());
        ::unlink(tmp_name.c_str());
        return false;
    }
    sync_directory_of(path);
    ::unlink(old_name.c_str());  // a backup left by an older save
    return true;
}

std::string default_config_path() {
    const char* home = std::getenv("HOME");
    if (home != nullptr) return std::string(home) + "/.orvrc";
    return ".orvrc";
}

}  // namespace orv
