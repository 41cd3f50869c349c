#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "store/config_store.h"
#include "store/reliable_stream.h"
#include "store/running_md5.h"

namespace orv {
namespace {

// The standard MD5 initial values, in the byte order of the stream's seed.
const unsigned char standard_seed[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                         0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};

std::string hex(const unsigned char* p, size_t n) { return hex_encode(p, n); }

TEST(RunningDigest, CheckValuesOfSignatureAndFirstBlock) {
    running_md5 md;
    md.reset(standard_seed);
    md.update(reliable_signature_text, std::strlen(reliable_signature_text));
    unsigned char out[16];
    md.result(out);
    EXPECT_EQ(hex(out, 16), "92D42302D738083D695046F014A22D2B");
    md.update("abc", 3);
    md.result(out);
    EXPECT_EQ(hex(out, 16), "28904DA417E8EF551AC75C3145B7BDA3");
}

TEST(RunningDigest, SignatureTextIs52Bytes) { EXPECT_EQ(std::strlen(reliable_signature_text), 52u); }

// Splits a stream into its signature and block payload lengths, checking each block's framing.
std::vector<size_t> block_lengths(const byte_buffer& stream) {
    std::vector<size_t> lengths;
    size_t pos = reliable_signature_size;
    while (pos < stream.size()) {
        size_t len = stream[pos] | stream[pos + 1] << 8 | stream[pos + 2] << 16 | stream[pos + 3] << 24;
        lengths.push_back(len);
        pos += 4 + len + 16;
    }
    EXPECT_EQ(pos, stream.size());
    return lengths;
}

struct boundary_case {
    size_t text_size;
    std::vector<size_t> blocks;
};

class StreamBoundaries : public ::testing::TestWithParam<boundary_case> {};

TEST_P(StreamBoundaries, BlocksAndRoundTrip) {
    const boundary_case& c = GetParam();
    std::string text(c.text_size, 'x');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
    reliable_writer writer;
    byte_buffer stream;
    writer.write(text.data(), text.size(), stream);
    writer.close(stream);
    EXPECT_EQ(block_lengths(stream), c.blocks);

    // Reading back in odd-sized pieces gives the text and leaves nothing over.
    reliable_reader reader;
    std::string back;
    for (size_t pos = 0; pos < stream.size(); pos += 777) {
        reader.feed(stream.data() + pos, std::min<size_t>(777, stream.size() - pos), back);
    }
    EXPECT_TRUE(reader.good());
    EXPECT_FALSE(reader.has_partial_block());
    EXPECT_EQ(back, text);
}

INSTANTIATE_TEST_SUITE_P(Sizes, StreamBoundaries,
                         ::testing::Values(boundary_case{0, {0}}, boundary_case{1, {1}}, boundary_case{4095, {4095}},
                                           boundary_case{4096, {4096}}, boundary_case{4097, {4096, 1}},
                                           boundary_case{3 * 4096, {4096, 4096, 4096}},
                                           boundary_case{3 * 4096 + 5, {4096, 4096, 4096, 5}}),
                         [](const auto& info) { return "text" + std::to_string(info.param.text_size); });

TEST(ReliableStream, WrittenInPiecesEqualsWrittenWhole) {
    std::string text(9000, 'q');
    byte_buffer whole, pieces;
    reliable_writer a, b;
    a.start(standard_seed, whole);
    a.write(text.data(), text.size(), whole);
    a.close(whole);
    b.start(standard_seed, pieces);
    for (size_t pos = 0; pos < text.size(); pos += 100)
        b.write(text.data() + pos, 100 > text.size() - pos ? text.size() - pos : 100, pieces);
    b.close(pieces);
    EXPECT_EQ(whole, pieces);
}

// Cuts and damage at the stream level (below the cipher).
TEST(ReliableStream, CutsAndDamage) {
    std::string text(2 * 4096 + 100, 'z');
    reliable_writer writer;
    byte_buffer stream;
    writer.write(text.data(), text.size(), stream);
    writer.close(stream);
    const size_t block = 4 + 4096 + 16;

    auto read = [](const byte_buffer& s, std::string& out) {
        reliable_reader r;
        r.feed(s.data(), s.size(), out);
        return std::make_pair(r.good(), r.has_partial_block());
    };
    std::string out;
    // Cut at a block boundary: a shorter valid stream.
    byte_buffer cut(stream.begin(), stream.begin() + reliable_signature_size + block);
    EXPECT_EQ(read(cut, out), std::make_pair(true, false));
    EXPECT_EQ(out, text.substr(0, 4096));
    // Cut inside the second block: the first is delivered, the rest is left over.
    out.clear();
    cut.assign(stream.begin(), stream.begin() + reliable_signature_size + block + 50);
    EXPECT_EQ(read(cut, out), std::make_pair(true, true));
    EXPECT_EQ(out.size(), 4096u);
    // Cut inside the signature.
    out.clear();
    cut.assign(stream.begin(), stream.begin() + 20);
    EXPECT_EQ(read(cut, out), std::make_pair(true, true));
    // A changed payload byte, signature byte or digest byte: status 0, nothing more delivered.
    for (size_t pos :
         {size_t{3}, size_t{20}, reliable_signature_size + 10, reliable_signature_size + block + 4 + 4096 + 3}) {
        byte_buffer bad = stream;
        bad[pos] ^= 0x40;
        out.clear();
        reliable_reader r;
        r.feed(bad.data(), bad.size(), out);
        EXPECT_FALSE(r.good()) << pos;
    }
    // A length above 4096 is damage.
    byte_buffer bad = stream;
    bad[reliable_signature_size + 1] = 0x10;  // 4096 -> 4096 + 0x1000 - 0x10...
    bad[reliable_signature_size + 2] = 0x01;
    reliable_reader r;
    out.clear();
    r.feed(bad.data(), bad.size(), out);
    EXPECT_FALSE(r.good());
}

}  // namespace
}  // namespace orv
