// The strong file format: its header, its refusals, its stored keys and the conversion between
// the two formats. Files here use tiny scrypt parameters so that thousands of loads stay fast;
// the default parameters are exercised by the editor's end-to-end tests.
#include <sys/stat.h>

#include <cstring>
#include <map>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "cert_factory.h"
#include "store/config_store.h"
#include "store/config_text.h"
#include "store/secure_file.h"
#include "store/strong_file.h"
#include "store/strong_keys.h"
#include "store_test_util.h"

namespace orv {
namespace {

using test::make_certificate;
using test::make_rsa_key;
using test::memory_sink;
using test::read_file;
using test::scratch_dir;
using test::write_file;

constexpr kdf_params tiny{4, 1, 1};

std::unique_ptr<config_tree> load(const std::string& path, const char* password, memory_sink& sink) {
    return load_secure_config(path, password, file_cipher_name, file_digest_name, sink.get());
}

bool save(const config_tree& tree, const std::string& path, const char* password, memory_sink& sink) {
    return save_secure_config(tree, path, password, file_cipher_name, file_digest_name, sink.get());
}

std::string read_failure(const std::string& path) { return "Unable to read secure config file " + path + "\n"; }

// Values that need every escape, and enough of them for a text of several kilobytes.
config_tree sample_tree() {
    config_tree t;
    t.put_text("default", "sessions", "s1");
    t.put_text("s1", "port", "8000");
    t.put_text("s1", "partner6162", "ab\tmapped\t10.0.0.1\t255.0.0.0");
    t.put_text("values", "tricky", "back\\slash cr\rlf\n bs\b tab\t $HOME \" ' `");
    for (int i = 0; i < 200; ++i) {
        t.put_text("bulk", ("entry" + std::to_string(i)).c_str(), std::string(30, 'a' + i % 26).c_str());
    }
    return t;
}

std::string strong_file_of(const config_tree& source, const char* password, const kdf_params& params = tiny) {
    scratch_dir dir;
    memory_sink sink;
    std::unique_ptr<config_tree> t = parse_config_text(write_config_text(source));
    t->set_protection(strong_keys::create(password, params));
    EXPECT_TRUE(save(*t, dir.file("rc"), password, sink)) << sink.text();
    return read_file(dir.file("rc"));
}

bool same_text(const config_tree& a, const config_tree& b) { return write_config_text(a) == write_config_text(b); }

// Sections by name with their ordered entries: the loader gives no order to sections.
std::map<std::string, std::vector<std::pair<std::string, std::string>>> contents(const config_tree& tree) {
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> out;
    for (const config_section* s : tree.sections()) {
        for (const config_entry& e : s->entries()) out[s->name()].emplace_back(e.name, e.value);
    }
    return out;
}

uint32_t le32_at(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s[at + i]);
    return v;
}

TEST(StrongFile, RoundTripKeepsTheTextAndTheFormat) {
    scratch_dir dir;
    memory_sink sink;
    config_tree tree = sample_tree();
    std::shared_ptr<const strong_keys> keys = strong_keys::create("pw", kdf_params{5, 2, 3});
    ASSERT_TRUE(keys);
    tree.set_protection(keys);
    ASSERT_TRUE(save(tree, dir.file("rc"), "pw", sink)) << sink.text();
    std::string file = read_file(dir.file("rc"));
    const std::string text = write_config_text(tree);
    ASSERT_EQ(file.size(), strong_header_size + text.size() + gcm_tag_size);
    EXPECT_EQ(file.substr(0, 8), std::string("\x89ORV\r\n\x1a\n", 8));
    EXPECT_EQ(file.substr(8, 4), std::string("\x01\x01\x05\x01", 4));  // version, scrypt, log2 N, AES-256-GCM
    EXPECT_EQ(le32_at(file, 12), 2u);
    EXPECT_EQ(le32_at(file, 16), 3u);
    EXPECT_EQ(file.substr(20, 16), std::string(reinterpret_cast<const char*>(keys->salt()), 16));
    EXPECT_EQ(file.find("entry1"), std::string::npos) << "the text is encrypted";

    unsigned long before = strong_keys::derivations();
    std::unique_ptr<config_tree> back = load(dir.file("rc"), "pw", sink);
    ASSERT_TRUE(back) << sink.text();
    EXPECT_EQ(strong_keys::derivations(), before + 1);
    EXPECT_EQ(contents(*back), contents(tree));
    ASSERT_TRUE(back->protection());
    EXPECT_EQ(std::memcmp(back->protection()->salt(), keys->salt(), strong_salt_size), 0);
    EXPECT_EQ(back->protection()->params().r, 2u);
    EXPECT_EQ(sink.text(), "");

    // Saved again, the file keeps its format, salt and parameters; only the nonce is new.
    ASSERT_TRUE(save(*back, dir.file("rc"), "pw", sink));
    std::string again = read_file(dir.file("rc"));
    EXPECT_EQ(again.substr(0, 36), file.substr(0, 36));
    EXPECT_NE(again.substr(36, 12), file.substr(36, 12));
    EXPECT_NE(again.substr(48), file.substr(48));
}

TEST(StrongFile, EmptyTreeRoundTrips) {
    scratch_dir dir;
    memory_sink sink;
    config_tree tree;
    tree.set_protection(strong_keys::create("pw", tiny));
    ASSERT_TRUE(save(tree, dir.file("rc"), "pw", sink));
    EXPECT_EQ(read_file(dir.file("rc")).size(), strong_header_size + gcm_tag_size);
    std::unique_ptr<config_tree> back = load(dir.file("rc"), "pw", sink);
    ASSERT_TRUE(back) << sink.text();
    EXPECT_TRUE(back->protection());
    EXPECT_EQ(write_config_text(*back), "[ default ]\n\n");
}

TEST(StrongFile, WrongPasswordGivesTheClassicMessage) {
    scratch_dir dir;
    config_tree tree = sample_tree();
    for (bool strong : {false, true}) {
        memory_sink sink;
        tree.set_protection(strong ? strong_keys::create("pw", tiny) : nullptr);
        ASSERT_TRUE(save(tree, dir.file("rc"), "pw", sink));
        std::string before = read_file(dir.file("rc"));
        EXPECT_FALSE(load(dir.file("rc"), "other", sink));
        EXPECT_EQ(sink.text(), read_failure(dir.file("rc"))) << (strong ? "strong" : "classic");
        EXPECT_EQ(read_file(dir.file("rc")), before);
    }
}

// Whatever bit changes, header, ciphertext or tag, the file is refused, with the general message
// last (a changed header field may name its reason first).
TEST(StrongFile, EveryFlippedBitIsRefused) {
    scratch_dir dir;
    config_tree small;
    small.put_text("s", "k", "v");
    small.put_text("keys", "k1", "00");
    const std::string good = strong_file_of(small, "pw");
    const std::string path = dir.file("rc");
    for (size_t i = 0; i < good.size(); ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            std::string bad = good;
            bad[i] = static_cast<char>(bad[i] ^ (1 << bit));
            write_file(path, bad);
            memory_sink sink;
            EXPECT_FALSE(load(path, "pw", sink)) << "byte " << i << " bit " << bit;
            std::string text = sink.text();
            EXPECT_TRUE(text.size() >= read_failure(path).size() &&
                        text.compare(text.size() - read_failure(path).size(), std::string::npos, read_failure(path)) ==
                            0)
                << "byte " << i << " bit " << bit << ": " << text;
        }
    }
}

// A cut anywhere is refused. (Cut to nothing it is the empty file, which reads as an empty
// configuration in either format.)
TEST(StrongFile, EveryCutIsRefused) {
    scratch_dir dir;
    const std::string good = strong_file_of(sample_tree(), "pw");
    const std::string path = dir.file("rc");
    for (size_t n = 1; n < good.size(); n += (n < 100 ? 1 : 97)) {
        write_file(path, good.substr(0, n));
        memory_sink sink;
        EXPECT_FALSE(load(path, "pw", sink)) << n;
        EXPECT_EQ(sink.text(), read_failure(path)) << n;
    }
    // Bytes added after the tag are damage too.
    write_file(path, good + "x");
    memory_sink sink;
    EXPECT_FALSE(load(path, "pw", sink));
}

TEST(StrongFile, HeaderFieldsOutOfBoundsAreNamed) {
    scratch_dir dir;
    const std::string good = strong_file_of(sample_tree(), "pw");
    const std::string path = dir.file("rc");
    struct header_case {
        size_t at;
        std::string bytes;
        const char* reason;
    };
    auto le32 = [](uint32_t v) {
        std::string s(4, '\0');
        for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
        return s;
    };
    const header_case cases[] = {
        {8, "\x02", "Unsupported file format version 2\n"},
        {8, std::string(1, '\0'), "Unsupported file format version 0\n"},
        {9, "\x02", "Unsupported key derivation 2\n"},
        {11, std::string(1, '\0'), "Unsupported cipher 0\n"},
        {10, std::string(1, '\0'), "Unsupported key derivation parameters N=2^0 r=1 p=1\n"},
        {10, "\x10", "Unsupported key derivation parameters N=2^16 r=1 p=1\n"},  // N below 2^(16 r)
        {10, "\xff", "Unsupported key derivation parameters N=2^255 r=1 p=1\n"},
        {12, le32(0), "Unsupported key derivation parameters N=2^4 r=0 p=1\n"},
        {12, le32(0xffffffff), "Unsupported key derivation parameters N=2^4 r=4294967295 p=1\n"},
        {16, le32(0), "Unsupported key derivation parameters N=2^4 r=1 p=0\n"},
        {16, le32(17), "Unsupported key derivation parameters N=2^4 r=1 p=17\n"},
        // 2 GiB of memory; then 1 GiB (accepted alone) five times over.
        {10, "\x15" + std::string(1, '\x01') + le32(8), "Unsupported key derivation parameters N=2^21 r=8 p=1\n"},
        {10, "\x14" + std::string(1, '\x01') + le32(8) + le32(5),
         "Unsupported key derivation parameters N=2^20 r=8 p=5\n"},
    };
    for (const header_case& c : cases) {
        std::string bad = good;
        bad.replace(c.at, c.bytes.size(), c.bytes);
        write_file(path, bad);
        memory_sink sink;
        EXPECT_FALSE(load(path, "pw", sink)) << c.reason;
        EXPECT_EQ(sink.text(), c.reason + read_failure(path));
    }
}

TEST(StrongFile, ParameterBounds) {
    struct bound_case {
        kdf_params params;
        bool accepted;
    };
    const bound_case cases[] = {
        {default_kdf_params, true}, {{1, 1, 1}, true},   {{15, 1, 1}, true},
        {{16, 1, 1}, false},                              // N must stay below 2^(16 r)
        {{20, 8, 1}, true},                               // exactly 1 GiB
        {{20, 8, 4}, true},                               // exactly 4 GiB mixed
        {{21, 8, 1}, false},        {{17, 64, 1}, true},  // exactly 1 GiB again
        {{17, 65, 1}, false},       {{10, 1, 16}, true}, {{10, 1, 17}, false},
        {{57, 1 << 20, 1}, false},  // overflows 64 bits
        {{0, 8, 1}, false},         {{10, 0, 1}, false}, {{10, 8, 0}, false},
    };
    for (const bound_case& c : cases) {
        EXPECT_EQ(kdf_params_acceptable(c.params), c.accepted)
            << "log2 N " << c.params.log2_n << " r " << c.params.r << " p " << c.params.p;
    }
    EXPECT_EQ(kdf_memory(default_kdf_params), uint64_t{64} << 20);
}

TEST(StrongFile, OversizedFileIsRefused) {
    scratch_dir dir;
    const std::string path = dir.file("rc");
    write_file(path, strong_file_of(sample_tree(), "pw"));
    ASSERT_EQ(::truncate(path.c_str(), (off_t{64} << 20) + 1), 0);
    memory_sink sink;
    EXPECT_FALSE(load(path, "pw", sink));
    EXPECT_EQ(sink.text(), read_failure(path));
}

TEST(StrongFile, SavingUnderAnotherPasswordThanTheKeysFails) {
    scratch_dir dir;
    memory_sink sink;
    config_tree tree = sample_tree();
    tree.set_protection(strong_keys::create("pw", tiny));
    write_file(dir.file("rc"), "previous");
    EXPECT_FALSE(save(tree, dir.file("rc"), "other", sink));
    EXPECT_EQ(sink.text(), "Unable to write secure config file " + dir.file("rc.tmp") + "\n");
    EXPECT_EQ(read_file(dir.file("rc")), "previous");
    struct stat st;
    EXPECT_NE(::stat(dir.file("rc.tmp").c_str(), &st), 0);
}

class StrongKeys : public ::testing::Test {
protected:
    static void SetUpTestSuite() { key_ = make_rsa_key(1024).release(); }
    static void TearDownTestSuite() { EVP_PKEY_free(key_); }
    static EVP_PKEY* key_;
};
EVP_PKEY* StrongKeys::key_;

TEST_F(StrongKeys, OpenOnlyWhileTheirFileIsLoadedAndWithItsPassword) {
    std::optional<std::string> text;
    {
        config_tree tree;
        tree.set_protection(strong_keys::create("pw", tiny));
        config_store store(tree);
        text = store.encrypt_key_for_file(key_, "pw", file_cipher_name);
        ASSERT_TRUE(text);
        EXPECT_TRUE(is_strong_key_text(text->c_str()));
        EXPECT_EQ(text->rfind(strong_key_prefix, 0), 0u);
        // nonce, the 1024-bit key's DER form, tag
        int der_len = i2d_PrivateKey(key_, nullptr);
        EXPECT_EQ(text->size(), std::strlen(strong_key_prefix) + 2 * (12 + static_cast<size_t>(der_len) + 16));

        evp_pkey_ptr back = config_store::decrypt_key(text->c_str(), "pw", file_cipher_name);
        ASSERT_TRUE(back);
        EXPECT_EQ(EVP_PKEY_eq(back.get(), key_), 1);
        EXPECT_FALSE(config_store::decrypt_key(text->c_str(), "other", file_cipher_name));
        EXPECT_FALSE(store.encrypt_key_for_file(key_, "other", file_cipher_name)) << "keys of another password";
        // Each key gets its own nonce.
        EXPECT_NE(store.encrypt_key_for_file(key_, "pw", file_cipher_name), text);
        // A changed character of the text does not open.
        std::string bad = *text;
        bad[bad.size() - 1] = bad[bad.size() - 1] == '0' ? '1' : '0';
        EXPECT_FALSE(config_store::decrypt_key(bad.c_str(), "pw", file_cipher_name));
        // A classic key text still opens beside it.
        std::optional<std::string> classic = config_store::encrypt_key(key_, "pw", "des3");
        EXPECT_TRUE(config_store::decrypt_key(classic->c_str(), "pw", "des3"));
        EXPECT_FALSE(is_strong_key_text(classic->c_str()));
    }
    EXPECT_FALSE(config_store::decrypt_key(text->c_str(), "pw", file_cipher_name)) << "its file is no longer loaded";
}

// What an agent does in one pass: load, validate the session (which opens the key), open the key
// again for the TLS context. scrypt runs once.
TEST_F(StrongKeys, OnePassOfAnAgentDerivesOnce) {
    scratch_dir dir;
    memory_sink sink;
    evp_pkey_ptr ca_key = make_rsa_key(2048);
    x509_ptr root = make_certificate("Test CA", ca_key.get(), -1, 30);
    x509_ptr user = make_certificate("user", key_, -1, 30, root.get(), ca_key.get());
    {
        config_tree tree;
        tree.set_protection(strong_keys::create("pw", tiny));
        config_store store(tree);
        store.put_root("ca", root.get());
        store.put_certificate("user", user.get());
        tree.put_text("keys", "userkey", store.encrypt_key_for_file(key_, "pw", "des3")->c_str());
        ASSERT_TRUE(store.insert_session(test::minimal_session("s")));
        ASSERT_TRUE(save(tree, dir.file("rc"), "pw", sink));
    }
    unsigned long before = strong_keys::derivations();
    std::unique_ptr<config_tree> tree = load(dir.file("rc"), "pw", sink);
    ASSERT_TRUE(tree) << sink.text();
    config_store store(*tree);
    EXPECT_EQ(store.validate_session("s", "pw", "des3"), session_ok);
    EXPECT_EQ(store.validate_session("s", "other", "des3"), session_key_mismatch);
    evp_pkey_ptr key = config_store::decrypt_key(store.key_text("userkey"), "pw", "des3");
    ASSERT_TRUE(key);
    EXPECT_EQ(EVP_PKEY_eq(key.get(), key_), 1);
    EXPECT_EQ(strong_keys::derivations(), before + 1);
}

// Classic to strong and back through a password change that keeps the password: every entry but
// the keys keeps its text, every key its DER form; back in the classic format the keys' texts are
// the original ones again (that format has no salt and no nonce), so the whole text is.
TEST_F(StrongKeys, ConversionBothWaysKeepsEveryEntryAndKey) {
    config_tree tree = sample_tree();
    std::optional<std::string> classic = config_store::encrypt_key(key_, "pw", "des3");
    tree.put_text("keys", "k1", classic->c_str());
    tree.put_text("keys", "k2", classic->c_str());
    tree.put_text("tail", "after", "keys");
    const std::string original = write_config_text(tree);
    config_store store(tree);

    ASSERT_TRUE(store.change_protection("pw", "pw", strong_keys::create("pw", tiny), "des3"));
    ASSERT_TRUE(tree.protection());
    config_tree without_keys = sample_tree();
    for (const char* name : {"k1", "k2"}) {
        const char* text = store.key_text(name);
        ASSERT_TRUE(is_strong_key_text(text)) << name;
        evp_pkey_ptr key = config_store::decrypt_key(text, "pw", "des3");
        ASSERT_TRUE(key) << name;
        EXPECT_EQ(EVP_PKEY_eq(key.get(), key_), 1) << name;
        without_keys.put_text("keys", name, text);
    }
    without_keys.put_text("tail", "after", "keys");
    EXPECT_TRUE(same_text(tree, without_keys)) << "only the key texts changed, in place";

    ASSERT_TRUE(store.change_protection("pw", "pw", nullptr, "des3"));
    EXPECT_FALSE(tree.protection());
    EXPECT_EQ(write_config_text(tree), original);
}

TEST_F(StrongKeys, PasswordChangeInTheStrongFormatRenewsTheSalt) {
    config_tree tree;
    std::shared_ptr<const strong_keys> old_keys = strong_keys::create("old", tiny);
    tree.set_protection(old_keys);
    config_store store(tree);
    tree.put_text("keys", "k1", store.encrypt_key_for_file(key_, "old", "des3")->c_str());
    ASSERT_TRUE(store.change_protection("old", "new", strong_keys::create("new", tiny), "des3"));
    EXPECT_NE(std::memcmp(tree.protection()->salt(), old_keys->salt(), strong_salt_size), 0);
    EXPECT_TRUE(config_store::decrypt_key(store.key_text("k1"), "new", "des3"));
    EXPECT_FALSE(config_store::decrypt_key(store.key_text("k1"), "old", "des3")) << "under the new keys only";

    // A failed change leaves the format as it was.
    tree.put_text("keys", "broken", "AES256GCM:00");
    EXPECT_FALSE(store.change_protection("new", "newer", nullptr, "des3"));
    EXPECT_TRUE(tree.protection());
}

}  // namespace
}  // namespace orv
