#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include "store/config_store.h"
#include "store/config_text.h"
#include "store/reliable_stream.h"
#include "store/secure_file.h"
#include "store_test_util.h"

namespace orv {
namespace {

using test::memory_sink;
using test::read_file;
using test::scratch_dir;
using test::write_file;

std::unique_ptr<config_tree> load(const std::string& path, const char* password, memory_sink& sink) {
    return load_secure_config(path, password, file_cipher_name, file_digest_name, sink.get());
}

bool save(const config_tree& tree, const std::string& path, const char* password, memory_sink& sink) {
    return save_secure_config(tree, path, password, file_cipher_name, file_digest_name, sink.get());
}

// Encrypts raw stream bytes the way the file's cipher layer does, for hand-made streams.
std::string encrypt_stream(const byte_buffer& stream, const char* password) {
    const EVP_CIPHER* cipher = EVP_des_ede3_cbc();
    unsigned char key[EVP_MAX_KEY_LENGTH], iv[EVP_MAX_IV_LENGTH];
    derive_key_iv(cipher, password, key, iv);
    evp_cipher_ctx_ptr ctx(EVP_CIPHER_CTX_new());
    std::string out(stream.size() + 16, '\0');
    int len = 0, fin = 0;
    EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key, iv);
    EVP_EncryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &len, stream.data(),
                      static_cast<int>(stream.size()));
    EVP_EncryptFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(out.data()) + len, &fin);
    out.resize(static_cast<size_t>(len + fin));
    return out;
}

byte_buffer stream_of(const std::string& text) {
    reliable_writer w;
    byte_buffer s;
    w.write(text.data(), text.size(), s);
    w.close(s);
    return s;
}

// A tree large enough for several stream blocks.
config_tree big_tree() {
    config_tree t;
    for (int i = 0; i < 300; ++i) {
        t.put_text("bulk", ("entry" + std::to_string(i)).c_str(), std::string(30, 'a' + i % 26).c_str());
    }
    return t;
}

TEST(SecureFile, RoundTripKeepsEveryEscapedCharacter) {
    scratch_dir dir;
    memory_sink sink;
    const std::string tricky[] = {
        "back\\slash",
        "cr\rlf\nend",
        "bs\bx\ttab",
        "dollar $HOME and ${x}",
        "quotes \" ' `",
        "hash # not a comment",
        "  leading spaces",
        "trailing spaces  ",
        "   ",
        "",
        "\\",
        "end\\",
        "semi;colon=equals[brackets]",
        std::string("high\xe9\xff bytes"),
    };
    config_tree tree;
    // Names built with append: GCC 12 reports a false -Wrestrict on "v" + std::to_string(i) at -O3.
    auto name = [](size_t i) { return std::string("v").append(std::to_string(i)); };
    for (size_t i = 0; i < std::size(tricky); ++i) {
        tree.put_text("values", name(i).c_str(), tricky[i].c_str());
    }
    tree.put_text(nullptr, "sessions", "a,b");
    ASSERT_TRUE(save(tree, dir.file("rc"), "secret", sink)) << sink.text();
    auto back = load(dir.file("rc"), "secret", sink);
    ASSERT_TRUE(back) << sink.text();
    for (size_t i = 0; i < std::size(tricky); ++i) {
        const char* v = back->get_text("values", name(i).c_str());
        ASSERT_NE(v, nullptr) << i;
        EXPECT_EQ(std::string(v), tricky[i]) << i;
    }
    EXPECT_STREQ(back->get_text("default", "sessions"), "a,b");
    EXPECT_EQ(back->section_names("values").size(), std::size(tricky));
    EXPECT_EQ(sink.text(), "");
}

TEST(SecureFile, SaveLeavesNoCompanionsAndKeepsPermissions) {
    scratch_dir dir;
    memory_sink sink;
    config_tree tree;
    tree.put_text("s", "k", "v");
    const std::string path = dir.file("rc");
    write_file(path + ".old", "stale backup");
    ASSERT_TRUE(save(tree, path, "pw", sink));
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    EXPECT_FALSE(std::filesystem::exists(path + ".old"));
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "a new file holds keys: owner only";
    ::chmod(path.c_str(), 0640);
    ASSERT_TRUE(save(tree, path, "pw", sink));
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(SecureFile, SameTreeSavedTwiceDiffersAndBothLoad) {
    scratch_dir dir;
    memory_sink sink;
    config_tree tree;
    tree.put_text("s", "k", "v");
    ASSERT_TRUE(save(tree, dir.file("a"), "pw", sink));
    ASSERT_TRUE(save(tree, dir.file("b"), "pw", sink));
    EXPECT_NE(read_file(dir.file("a")), read_file(dir.file("b")));
    EXPECT_TRUE(load(dir.file("a"), "pw", sink));
    EXPECT_TRUE(load(dir.file("b"), "pw", sink));
}

TEST(SecureFile, WrongPasswordFailsWithoutTouchingTheFile) {
    scratch_dir dir;
    memory_sink sink;
    config_tree tree;
    tree.put_text("s", "k", "v");
    const std::string path = dir.file("rc");
    ASSERT_TRUE(save(tree, path, "right", sink));
    const std::string before = read_file(path);
    EXPECT_FALSE(load(path, "wrong", sink));
    EXPECT_EQ(sink.text(), "Unable to read secure config file " + path + "\n");
    EXPECT_EQ(read_file(path), before);
}

TEST(SecureFile, EmptyFileIsAnEmptyDefaultSection) {
    scratch_dir dir;
    memory_sink sink;
    write_file(dir.file("rc"), "");
    for (const char* pw : {"any", "other"}) {
        auto tree = load(dir.file("rc"), pw, sink);
        ASSERT_TRUE(tree);
        ASSERT_EQ(tree->sections().size(), 1u);
        EXPECT_EQ(tree->sections()[0]->name(), "default");
        EXPECT_TRUE(tree->sections()[0]->empty());
    }
}

TEST(SecureFile, MissingFileAndUnknownAlgorithms) {
    scratch_dir dir;
    memory_sink sink;
    EXPECT_FALSE(load(dir.file("none"), "pw", sink));
    EXPECT_EQ(sink.text(), "Unable to set filename\n");
    write_file(dir.file("rc"), "");
    memory_sink s2;
    EXPECT_FALSE(load_secure_config(dir.file("rc"), "pw", "nocipher", "md5", s2.get()));
    EXPECT_EQ(s2.text(), "Unsupported cipher nocipher\n");
    memory_sink s3;
    EXPECT_FALSE(load_secure_config(dir.file("rc"), "pw", "des3", "nodigest", s3.get()));
    EXPECT_EQ(s3.text(), "Unsupported digestname nodigest\n");
}

TEST(SecureFile, EveryFlippedByteIsDetected) {
    scratch_dir dir;
    memory_sink sink;
    const std::string path = dir.file("rc");
    ASSERT_TRUE(save(big_tree(), path, "pw", sink));
    const std::string good = read_file(path);
    ASSERT_GT(good.size(), 2u * 4116);  // several stream blocks
    for (size_t pos = 0; pos < good.size(); pos += (pos + 40 > good.size() ? 1 : 5)) {
        std::string bad = good;
        bad[pos] ^= 0x01;
        write_file(path, bad);
        memory_sink s;
        EXPECT_FALSE(load(path, "pw", s)) << "flipped byte " << pos;
        EXPECT_EQ(s.text(), "Unable to read secure config file " + path + "\n");
    }
}

TEST(SecureFile, SwappedCipherBlocksAreDetected) {
    scratch_dir dir;
    memory_sink sink;
    const std::string path = dir.file("rc");
    ASSERT_TRUE(save(big_tree(), path, "pw", sink));
    const std::string good = read_file(path);
    const size_t blocks = good.size() / 8;
    for (auto [a, b] : {std::pair<size_t, size_t>{0, 1}, {5, 6}, {10, 300}, {600, 601}, {blocks - 3, blocks - 2}}) {
        std::string bad = good;
        std::swap_ranges(bad.begin() + a * 8, bad.begin() + a * 8 + 8, bad.begin() + b * 8);
        write_file(path, bad);
        EXPECT_FALSE(load(path, "pw", sink)) << a << "<->" << b;
    }
}

TEST(SecureFile, CutFiles) {
    scratch_dir dir;
    memory_sink sink;
    const std::string path = dir.file("rc");
    ASSERT_TRUE(save(big_tree(), path, "pw", sink));
    const std::string good = read_file(path);
    // Cut ciphertext: damage wherever the cut falls, including cuts whose last block happens
    // to decrypt to valid padding.
    for (size_t len = 1; len < good.size(); len += (len < 64 ? 1 : 97)) {
        write_file(path, good.substr(0, len));
        EXPECT_FALSE(load(path, "pw", sink)) << len;
    }
    // A stream cut at a block boundary and encrypted whole is a shorter valid stream.
    const std::string text = write_config_text(big_tree());
    byte_buffer stream = stream_of(text);
    stream.resize(reliable_signature_size + 4116);
    write_file(path, encrypt_stream(stream, "pw"));
    memory_sink s;
    EXPECT_TRUE(load(path, "pw", s)) << s.text();
    // A stream that ends inside a block is damage, whatever the cipher layer says.
    stream = stream_of(text);
    stream.resize(reliable_signature_size + 4116 + 100);
    write_file(path, encrypt_stream(stream, "pw"));
    EXPECT_FALSE(load(path, "pw", s));
    stream.resize(20);
    write_file(path, encrypt_stream(stream, "pw"));
    EXPECT_FALSE(load(path, "pw", s));
    // Only the signature: an empty text.
    stream = stream_of(text);
    stream.resize(reliable_signature_size);
    write_file(path, encrypt_stream(stream, "pw"));
    auto tree = load(path, "pw", s);
    ASSERT_TRUE(tree);
    EXPECT_EQ(tree->sections().size(), 1u);
}

TEST(SecureFile, UnparsableTextFailsWithReasonOnTheErrorQueue) {
    scratch_dir dir;
    memory_sink sink;
    const std::string path = dir.file("rc");
    for (const char* text : {"[ open\n", "name value\n", "a=${nothing}\n"}) {
        write_file(path, encrypt_stream(stream_of(text), "pw"));
        ERR_clear_error();
        EXPECT_FALSE(load(path, "pw", sink)) << text;
        EXPECT_NE(ERR_peek_error(), 0u) << text;
        EXPECT_EQ(sink.text(), "") << text;
    }
    ERR_clear_error();
}

TEST(SecureFile, UnwritableTargetKeepsTheOldFile) {
    scratch_dir dir;
    memory_sink sink;
    config_tree tree;
    tree.put_text("s", "k", "v");
    // The directory of the file does not exist: the temporary file cannot be created.
    EXPECT_FALSE(save(tree, dir.file("missing/rc"), "pw", sink));
    EXPECT_EQ(sink.text(), "Unable to set filename\n");
}

TEST(SecureFile, FullDiskKeepsTheOldFile) {
    scratch_dir dir;
    memory_sink ok_sink;
    const std::string path = dir.file("rc");
    config_tree small;
    small.put_text("s", "k", "v");
    ASSERT_TRUE(save(small, path, "pw", ok_sink));
    const std::string before = read_file(path);

    // A file size limit makes the write fail the way a full disk does.
    struct rlimit old_limit;
    ::getrlimit(RLIMIT_FSIZE, &old_limit);
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit tiny = {1024, old_limit.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
    memory_sink sink;
    bool saved = save(big_tree(), path, "pw", sink);
    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);

    EXPECT_FALSE(saved);
    EXPECT_EQ(sink.text(), "Unable to write secure config file " + path + ".tmp\n");
    EXPECT_EQ(read_file(path), before);
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    EXPECT_TRUE(load(path, "pw", sink));
}

}  // namespace
}  // namespace orv
