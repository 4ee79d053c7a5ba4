#include "foundation/TextUtils.h"

#include <gtest/gtest.h>

namespace tq {
namespace {

TEST(TextUtils, CaseAndTrimAreAsciiOnly) {
    EXPECT_EQ(UpperCase("abz\xC3\xA9"), "ABZ\xC3\xA9");
    EXPECT_EQ(LowerCase("ABZ\xE6\x9C\x88"), "abz\xE6\x9C\x88");
    EXPECT_EQ(Trim(" \t\r\na b\x01 "), "a b");
    EXPECT_EQ(TrimLeft("  a "), "a ");
    EXPECT_EQ(TrimRight("  a "), "  a");
    // High bytes are not blanks.
    EXPECT_EQ(Trim("\xE6\x9C\x88 "), "\xE6\x9C\x88");
}

TEST(TextUtils, PosNth) {
    struct Case { const char* sub; const char* s; int n; size_t expected; };
    const Case cases[] = {
        {":", "a:b:c", 1, 2},   {":", "a:b:c", 2, 4},  {":", "a:b:c", 3, 6},
        {":", "a:b:c", -1, 4},  {":", "a:b:c", -2, 2}, {":", "a:b:c", -3, 0},
        {"aa", "aaa", 2, 2},    {"aa", "aaa", -1, 2},  {":", "abc", 0, 0},
        {":", "", 1, 1},        {":", "", -1, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(PosNth(c.sub, c.s, c.n), c.expected) << c.sub << " in " << c.s << " n=" << c.n;
}

TEST(TextUtils, MatchWildcardAndFileMask) {
    struct Case { const char* text; const char* mask; bool wildcard; };
    const Case wild[] = {
        {"AB", "A?C", true},      // "?" running past the end accepts at once
        {"ABCD", "A?", false},
        {"ABCD", "A*", true},
        {"abcd", "A*D", true},
        {"abcd", "A*X", false},
        {"", "", true},
        {"a", "", false},
        {"", "*", true},
        {"ab", "ab", true},
        {"abc", "ab", false},
    };
    for (const Case& c : wild) EXPECT_EQ(MatchWildcard(c.text, c.mask), c.wildcard) << c.text << " ~ " << c.mask;
    EXPECT_TRUE(MatchWildcard(std::string("ab\0cd", 5), "ab"));

    struct MaskCase { const char* name; const char* mask; bool match; };
    const MaskCase masks[] = {
        {"readme", "*.", true},
        {"readme.txt", "*.", false},
        {"a.tar.gz", "*.GZ", true},     // extension after the last "."
        {"a.tar.gz", "*.tar.gz", true},
        {"a.tar.gz", "*.tar", false},
        {"Report.DOC", "r*.doc", true},
        {"a.txt", "*.*", true},
        {"a.txt", "*", true},           // a mask without "." takes the whole name
        {"readme", "*.txt", false},
    };
    for (const MaskCase& c : masks) EXPECT_EQ(MatchFileMask(c.name, c.mask), c.match) << c.name << " ~ " << c.mask;
}

TEST(TextUtils, SemicolonLists) {
    EXPECT_TRUE(InSemicolonList("zip", ".ZIP;.EXE"));
    EXPECT_TRUE(InSemicolonList("exe", ".ZIP;.EXE"));
    EXPECT_FALSE(InSemicolonList("rar", ".ZIP;.EXE"));
    EXPECT_TRUE(InSemicolonList("x", ""));
    EXPECT_FALSE(InSemicolonList("", "a"));
    EXPECT_FALSE(InSemicolonList("  ", "a"));

    EXPECT_TRUE(ExtInSemicolonList("a.tar.gz", ".GZ;.ZIP"));
    EXPECT_TRUE(ExtInSemicolonList("A.ZIP", "zip"));
    EXPECT_FALSE(ExtInSemicolonList("a.tar.gz", ".TAR"));
    EXPECT_FALSE(ExtInSemicolonList("readme", ".TXT"));
    EXPECT_FALSE(ExtInSemicolonList("", ".TXT"));
    EXPECT_TRUE(ExtInSemicolonList("readme", ""));

    std::vector<std::string> list = {"keep"};
    EXPECT_EQ(SplitSemicolonList("  ", list, false), 0);
    EXPECT_EQ(list, std::vector<std::string>{"keep"});
    EXPECT_EQ(SplitSemicolonList("a; ;b", list, false), 3);
    EXPECT_EQ(list, (std::vector<std::string>{"a", " ", "b"}));
    EXPECT_EQ(SplitSemicolonList("a; ;b;", list, true), 2);
    EXPECT_EQ(list, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(JoinSemicolonList({"a", " ", "b"}, false), "a; ;b;");
    EXPECT_EQ(JoinSemicolonList({"a", " ", "b"}, true), "a;b;");

    int index = -1;
    EXPECT_TRUE(FindInList({"http://x/A.zip", "ftp://y/b.ZIP"}, "b.zip", index));
    EXPECT_EQ(index, 1);
    EXPECT_FALSE(FindInList({"abc"}, "d", index));
}

TEST(TextUtils, SizesTimesAndPercentages) {
    EXPECT_EQ(FormatSize(0), "0 byte");
    EXPECT_EQ(FormatSize(1023), "1023 byte");
    EXPECT_EQ(FormatSize(1024), "1 KB");
    EXPECT_EQ(FormatSize(1025), "2 KB");
    EXPECT_EQ(FormatSize(5ull << 32), "20971520 KB");  // beyond 32 bits

    uint64_t h = 0;
    int m = 0, s = 0;
    SplitMilliseconds(3723999, h, m, s);
    EXPECT_EQ(h, 1u); EXPECT_EQ(m, 2); EXPECT_EQ(s, 3);
    SplitMilliseconds(100ull * 3600000 + 59000, h, m, s);
    EXPECT_EQ(h, 100u); EXPECT_EQ(m, 0); EXPECT_EQ(s, 59);
    SplitMilliseconds(5000000000ull, h, m, s);  // past 32 bits
    EXPECT_EQ(h, 1388u); EXPECT_EQ(m, 53); EXPECT_EQ(s, 20);

    EXPECT_EQ(PercentOf(5, 0), 0);
    EXPECT_EQ(PercentOf(1, 3), 33);
    // 30 000 000 * 100 no longer wraps in 32 bits.
    EXPECT_EQ(PercentOf(30000000, 60000000), 50);
    EXPECT_EQ(PercentOf(3000000000ll, 6000000000ll), 50);
}

TEST(TextUtils, HexAndPercentDecoding) {
    EXPECT_EQ(HexDigitValue('7'), 7);
    EXPECT_EQ(HexDigitValue('a'), 10);
    EXPECT_EQ(HexDigitValue('F'), 15);
    EXPECT_EQ(HexDigitValue('g'), -1);
    uint8_t b = 0;
    EXPECT_TRUE(HexPairToByte('c', '3', b));
    EXPECT_EQ(b, 0xC3);
    EXPECT_FALSE(HexPairToByte('x', '3', b));

    struct Case { const char* in; const char* out; };
    const Case cases[] = {
        {"a%20b", "a b"},
        {"%E6%9C%88", "\xE6\x9C\x88"},
        {"100%%", "100%"},
        {"%zz", "%zz"},         // not hex: kept as it stands
        {"%g1x", "%g1x"},
        {"%4%", "%4%"},
        {"50%", "50%"},
        {"%4", "%4"},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(DecodePercentText(c.in), c.out) << c.in;
}

} // namespace
} // namespace tq
