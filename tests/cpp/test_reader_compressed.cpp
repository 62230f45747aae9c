// Compressed feature files: gzip and zstd streams read as the text they hold,
// whatever the batch size; damaged streams fail naming the file.
#include <gtest/gtest.h>
#include <zlib.h>
#include <zstd.h>

#include <random>
#include <string>

#include "fio/reader/feature_file.hpp"
#include "fio/reader/kelvra.hpp"
#include "test_support.hpp"
#include "util/panic.hpp"

namespace orvelle {
namespace {

using test::TempDir;

std::string gzip_member(const std::string& text) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&z, uLong(text.size())) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = uInt(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string zstd_frame(const std::string& text) {
    std::string out(ZSTD_compressBound(text.size()), '\0');
    out.resize(ZSTD_compress(out.data(), out.size(), text.data(), text.size(), 3));
    return out;
}

// A skippable frame: magic 0x184D2A5A, length 3, three bytes of anything.
const std::string kSkippable("\x5A\x2A\x4D\x18\x03\x00\x00\x00xyz", 11);

// Lines of random values, long enough to span several read-ahead blocks.
std::string text_of(std::size_t lines) {
    std::mt19937_64 rng(3);
    std::string out;
    for (std::size_t i = 0; i < lines; ++i) {
        out += R"({"linex_index":)" + std::to_string(i) + R"(,"features":[{"token":"##w)" + std::to_string(i % 7) +
               R"(","layers":[{"index":0,"values":[)";
        for (int v = 0; v < 300; ++v) out += (v ? "," : "") + std::to_string(double(rng() % 100000) / 7.0);
        out += "]}]}]}\n";
    }
    return out;
}

std::string read_all(const std::string& path, std::size_t chunk) {
    FeatureFile f(path);
    std::string out(chunk, '\0'), all;
    for (long got; (got = f.read(out.data(), chunk)) > 0;) all.append(out.data(), std::size_t(got));
    return all;
}

std::string failure(const std::string& path) {
    return test::panic_message([&] { read_feature_file(path, false, ReadOptions{2, 65536}); });
}

struct Stream {
    const char* name;
    std::string (*make)(const std::string& a, const std::string& b);
    Compression kind;
};

const Stream kStreams[] = {
    {"gzip", [](const std::string& a, const std::string& b) { return gzip_member(a + b); }, Compression::gzip},
    {"gzip_members", [](const std::string& a, const std::string& b) { return gzip_member(a) + gzip_member(b); },
     Compression::gzip},
    {"zstd", [](const std::string& a, const std::string& b) { return zstd_frame(a + b); }, Compression::zstd},
    {"zstd_frames",
     [](const std::string& a, const std::string& b) { return kSkippable + zstd_frame(a) + kSkippable + zstd_frame(b); },
     Compression::zstd},
};

class CompressedTest : public ::testing::TestWithParam<Stream> {};

TEST_P(CompressedTest, ReadsAsItsTextInEveryChunkSize) {
    const std::string a = text_of(300), b = text_of(200);
    TempDir dir;
    const std::string plain = dir.write("f.jsonl", a + b), packed = dir.write("f.jsonl.x", GetParam().make(a, b));
    EXPECT_EQ(FeatureFile(packed).compression(), GetParam().kind);
    for (std::size_t chunk : {std::size_t(1), std::size_t(4093), std::size_t(4) << 20})
        EXPECT_EQ(read_all(packed, chunk), a + b) << chunk;
    const std::vector<Line> want = read_feature_file(plain, false, ReadOptions{});
    const std::vector<Line> got = read_feature_file(packed, false, ReadOptions{2, 5000});
    ASSERT_EQ(got.size(), want.size());
    EXPECT_EQ(got.back().tokens[0].embedding, want.back().tokens[0].embedding);
}

TEST_P(CompressedTest, TruncationFailsNamingTheFile) {
    TempDir dir;
    const std::string packed = GetParam().make(text_of(50), text_of(50));
    const std::string truncated = dir.write("t.jsonl.gz", packed.substr(0, packed.size() - 7));
    EXPECT_EQ(failure(truncated),
              unwrap_message(custom_error_debug(
                  "InvalidData", truncated + ": " + compression_name(GetParam().kind) +
                                     " decompression failed: unexpected end of file: the compressed stream is truncated")));
}

INSTANTIATE_TEST_SUITE_P(Streams, CompressedTest, ::testing::ValuesIn(kStreams),
                         [](const auto& info) { return std::string(info.param.name); });

// A bad line reads alike compressed or not: same message, same line.
TEST(Compressed, LineErrorsAsInPlainText) {
    std::string text = text_of(40);
    const std::size_t third = text.find('\n', text.find('\n') + 1) + 1;
    text.insert(third, R"({"linex_index":1.5,"features":[]})" "\n");
    TempDir dir;
    const std::string plain = failure(dir.write("p.jsonl", text));
    EXPECT_NE(plain, "<no panic>");
    EXPECT_EQ(failure(dir.write("g.jsonl", gzip_member(text))), plain);
    EXPECT_EQ(failure(dir.write("z.jsonl", zstd_frame(text))), plain);
}

// Damage the decompressor sees fails with its description; damage to the
// data alone shows as the malformed line it makes (or at the checksum).
TEST(Compressed, DamagedStreamsFail) {
    TempDir dir;
    std::string bad_method = gzip_member(text_of(3));
    bad_method[2] = 9;  // deflate is 8
    EXPECT_NE(failure(dir.write("m.jsonl.gz", bad_method)).find("gzip decompression failed: unknown compression method"),
              std::string::npos);
    const std::string path = dir.write("g.jsonl.gz", gzip_member(text_of(3)) + "{}\n");
    EXPECT_NE(failure(path).find(path + ": gzip decompression failed: data after the end of the compressed stream"),
              std::string::npos);
    EXPECT_NE(failure(dir.write("z.jsonl.zst", zstd_frame(text_of(3)) + "{}\n")).find("zstd decompression failed: "),
              std::string::npos);
}

}  // namespace
}  // namespace orvelle
