#include "foundation/QNZoleftpFileStream.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>

namespace tq::test {
namespace {

std::string Hex(const std::string& bytes) {
    static const char* d = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty()) out += ' ';
        out += d[c >> 4];
        out += d[c & 15];
    }
    return out;
}

struct WriteCase {
    const char* name;
    std::function<void(TQNStream&)> write;
    const char* hex;
};

TEST(RecordStreamTest, WritesItemsByteExact) {
    const WriteCase cases[] = {
        {"empty string", [](TQNStream& s) { StreamWriteString(s, ""); }, "00 00 00 00"},
        {"abc", [](TQNStream& s) { StreamWriteString(s, "abc"); }, "03 00 00 00 61 62 63"},
        {"integer -1", [](TQNStream& s) { StreamWriteInteger(s, -1); }, "FF FF FF FF"},
        {"word 65535", [](TQNStream& s) { StreamWriteCardinal(s, uint16_t{65535}); }, "FF FF 00 00"},
        {"cardinal 19546", [](TQNStream& s) { StreamWriteCardinal(s, 19546); }, "5A 4C 00 00"},
        {"int bytes", [](TQNStream& s) { StreamWriteIntBytes(s, 0x01020304); }, "04 03 02 01"},
        {"raw", [](TQNStream& s) { StreamWriteRaw(s, "ab"); }, "61 62"},
        {"chars", [](TQNStream& s) { StreamWriteChars(s, "ab"); }, "61 62"},
        {"line", [](TQNStream& s) { StreamWriteLine(s, "ab"); }, "61 62 0D 0A"},
    };
    for (const auto& c : cases) {
        TQNTMemoryStream m;
        c.write(m);
        EXPECT_EQ(Hex(m.Data()), c.hex) << c.name;
    }
}

TEST(RecordStreamTest, ReadsItemsBack) {
    TQNTMemoryStream m(std::string("\xFF\xFF\xFF\xFF" "\xFF\xFF\x12\x34" "\x00\x00\x00\x00" "\x03\x00\x00\x00" "abc", 19));
    uint32_t card = 0;
    uint16_t word = 0;
    std::string s = "junk";
    ASSERT_TRUE(StreamReadCardinal(m, card));
    EXPECT_EQ(card, 4294967295u);
    ASSERT_TRUE(StreamReadWord(m, word));
    EXPECT_EQ(word, 65535);
    ASSERT_TRUE(StreamReadString(m, s));
    EXPECT_EQ(s, "");
    ASSERT_TRUE(StreamReadString(m, s));
    EXPECT_EQ(s, "abc");
    int32_t i = 0;
    EXPECT_FALSE(StreamReadInteger(m, i));
}

TEST(RecordStreamTest, ShortAndHostileStringsFail) {
    struct Case { const char* name; std::string bytes; };
    const Case cases[] = {
        {"two count bytes", std::string("\x03\x00", 2)},
        {"negative count", std::string("\xFF\xFF\xFF\xFF" "ab", 6)},
        {"count beyond the end", std::string("\x05\x00\x00\x00" "abc", 7)},
        {"huge count", std::string("\xFF\xFF\xFF\x7F" "a", 5)},
    };
    for (const auto& c : cases) {
        TQNTMemoryStream m(c.bytes);
        std::string out = "junk";
        EXPECT_FALSE(StreamReadString(m, out)) << c.name;
        EXPECT_EQ(out, "") << c.name;
    }
}

TEST(RecordStreamTest, SeekStaysInsideTheStream) {
    TQNTMemoryStream m(std::string(10, 'x'));
    ASSERT_TRUE(StreamSeek(m, 3));
    EXPECT_TRUE(StreamSeek(m, 10));
    EXPECT_EQ(m.Position(), 10);
    ASSERT_TRUE(StreamSeek(m, 3));
    EXPECT_FALSE(StreamSeek(m, 11));
    EXPECT_FALSE(StreamSeek(m, -1));
    EXPECT_EQ(m.Position(), 3);
    EXPECT_EQ(m.Size(), 10);
}

TEST(RecordStreamTest, ReadLineSplitsAndTrims) {
    struct Case { std::string bytes; std::vector<std::pair<std::string, bool>> lines; };
    const Case cases[] = {
        {"\x61\x20\x62\x0D\x0A\x20\x20\x63\x0D\x64\x0A", {{"a b", true}, {"c d", true}, {"", false}}},
        {"x", {{"x", false}}},
        {"\n\n", {{"", true}, {"", true}, {"", false}}},
    };
    for (const auto& c : cases) {
        TQNTMemoryStream m(c.bytes);
        for (const auto& [text, result] : c.lines) {
            std::string line = "junk";
            EXPECT_EQ(StreamReadLine(m, line), result) << Hex(c.bytes);
            EXPECT_EQ(line, text) << Hex(c.bytes);
        }
    }
}

TEST(RecordStreamTest, FileStreamRoundTripAndModes) {
    TempDir dir;
    const std::string name = dir.file("rec.zld");
    {
        TQNZoleftpFileStream f(name, TQNFileMode::fmCreate);
        StreamWriteInteger(f, 7);
        StreamWriteString(f, "hello");
        EXPECT_EQ(f.Size(), 13);
        EXPECT_TRUE(f.Flush());
    }
    {
        TQNZoleftpFileStream f(name, TQNFileMode::fmOpenReadWrite);
        ASSERT_TRUE(StreamSeek(f, 4));
        StreamWriteInteger(f, 5);  // patch the count in place
        ASSERT_TRUE(StreamSeek(f, 0));
        int32_t v = 0;
        std::string s;
        ASSERT_TRUE(StreamReadInteger(f, v));
        ASSERT_TRUE(StreamReadString(f, s));
        EXPECT_EQ(v, 7);
        EXPECT_EQ(s, "hello");
    }
    {
        // A read-only handle refuses writes: the raising form raises, the byte-wise
        // form carries on.
        TQNZoleftpFileStream f(name, TQNFileMode::fmOpenRead);
        EXPECT_THROW(StreamWriteInteger(f, 1), EStreamWriteError);
        EXPECT_THROW(StreamWriteLine(f, "x"), std::runtime_error);
        EXPECT_TRUE(StreamWriteIntBytes(f, 1));
        EXPECT_EQ(f.Size(), 13);
    }
    EXPECT_THROW(TQNZoleftpFileStream(dir.file("missing"), TQNFileMode::fmOpenRead), EFOpenError);
}

TEST(RecordStreamTest, FileStreamReadsAfterWritesAndBeyond4GiB) {
    TempDir dir;
    TQNZoleftpFileStream f(dir.file("big"), TQNFileMode::fmCreate);
    StreamWriteInteger(f, 1);
    StreamWriteInteger(f, 2);
    ASSERT_TRUE(StreamSeek(f, 0));
    int32_t v = 0;
    ASSERT_TRUE(StreamReadInteger(f, v));  // fills the read-ahead buffer
    StreamWriteInteger(f, 9);              // must not be hidden by it
    ASSERT_TRUE(StreamSeek(f, 4));
    ASSERT_TRUE(StreamReadInteger(f, v));
    EXPECT_EQ(v, 9);

    const int64_t far = (int64_t{5} << 30) + 3;  // sparse, past 32-bit offsets
    f.SetPosition(far);
    StreamWriteInteger(f, 42);
    EXPECT_EQ(f.Size(), far + 4);
    ASSERT_TRUE(StreamSeek(f, far));
    ASSERT_TRUE(StreamReadInteger(f, v));
    EXPECT_EQ(v, 42);
}

} // namespace
} // namespace tq::test
