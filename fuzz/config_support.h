// Shared by the fuzz targets of the configuration store.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include <openssl/err.h>

#include "fuzz/fuzz_support.h"
#include "store/config_text.h"
#include "store/config_tree.h"
#include "store/openssl_ptr.h"
#include "store/secure_file.h"

namespace orv::fuzz {

// The library's loader honours ".include FILE", which would read files of the machine running
// the fuzzer; no text the store writes has one, so such inputs are skipped.
inline bool reads_other_files(std::string_view text) { return text.find("include") != std::string_view::npos; }

// True for a non-empty name of letters, digits and '_': the store makes no other section or entry
// names (object names are checked, partner entries are "partner" and hex digits).
inline bool store_name(const std::string& name) {
    if (name.empty()) return false;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok) return false;
    }
    return true;
}

// The loader accepts names the store never makes (empty ones, spaces, quotes, punctuation); the
// writer has no faithful form for them, so only trees of store names are held to a round trip.
inline bool has_foreign_name(const config_tree& tree) {
    for (const config_section* s : tree.sections()) {
        if (!store_name(s->name())) return true;
        for (const config_entry& e : s->entries()) {
            if (!store_name(e.name)) return true;
        }
    }
    return false;
}

// Same sections (by name) holding the same entries in the same order.
inline bool same_tree(const config_tree& a, const config_tree& b) {
    auto sections_a = a.sections();
    if (sections_a.size() != b.sections().size()) return false;
    for (const config_section* s : sections_a) {
        const config_section* t = b.find_section(s->name());
        if (t == nullptr || s->entries().size() != t->entries().size()) return false;
        auto it = t->entries().begin();
        for (const config_entry& e : s->entries()) {
            if (e.name != it->name || e.value != it->value) return false;
            ++it;
        }
    }
    return true;
}

// Prints both trees, for the report of a failed round trip.
inline void print_trees(const config_tree& a, const config_tree& b) {
    for (const config_tree* t : {&a, &b}) {
        std::fprintf(stderr, "%s:\n", t == &a ? "before" : "after");
        for (const config_section* s : t->sections()) {
            std::fprintf(stderr, "  [%s]\n", s->name().c_str());
            for (const config_entry& e : s->entries()) {
                std::fprintf(stderr, "    \"%s\" = \"", e.name.c_str());
                for (unsigned char c : e.value) std::fprintf(stderr, c >= 32 && c < 127 ? "%c" : "\\x%02x", c);
                std::fprintf(stderr, "\"\n");
            }
        }
    }
}

// A memory file, named through /proc so that the loader can open it by path.
class memory_file {
public:
    memory_file() : fd_(::memfd_create("fuzz_config_file", MFD_CLOEXEC)) {
        FUZZ_CHECK(fd_ >= 0);
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~memory_file() { ::close(fd_); }
    memory_file(const memory_file&) = delete;
    memory_file& operator=(const memory_file&) = delete;
    const std::string& path() const { return path_; }
    void set(const std::string& bytes) {
        FUZZ_CHECK(::ftruncate(fd_, 0) == 0);
        FUZZ_CHECK(::pwrite(fd_, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()));
    }

private:
    int fd_;
    std::string path_;
};

// The file loader on `bytes`; its messages and the library's queued errors are dropped.
inline std::unique_ptr<config_tree> load_bytes(memory_file& file, const char* password, const std::string& bytes) {
    file.set(bytes);
    bio_ptr sink(BIO_new(BIO_s_mem()));
    std::unique_ptr<config_tree> tree =
        load_secure_config(file.path(), password, file_cipher_name, file_digest_name, sink.get());
    ERR_clear_error();
    return tree;
}

// How an input changes a valid file or stream: not at all, one byte flipped (by mask | 1), one
// byte removed, or cut short, at `where` (below the size).
enum class change { none, flip, remove, cut };

inline void apply_change(std::string& bytes, change how, size_t where, uint8_t mask) {
    switch (how) {
        case change::none: break;
        case change::flip: bytes[where] = static_cast<char>(bytes[where] ^ (mask | 1)); break;
        case change::remove: bytes.erase(where, 1); break;
        case change::cut: bytes.resize(where); break;
    }
}

// The verdict on an unchanged file: it loads exactly when its text parses, as the text's tree.
inline void check_loads_as_text(const config_tree* tree, const std::string& text) {
    std::unique_ptr<config_tree> expected = parse_config_text(text);
    ERR_clear_error();
    FUZZ_CHECK((tree != nullptr) == (expected != nullptr));
    if (tree) FUZZ_CHECK(same_tree(*tree, *expected));
}

}  // namespace orv::fuzz
