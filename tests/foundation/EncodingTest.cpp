#include "foundation/Encoding.h"

#include <gtest/gtest.h>

namespace tq {
namespace {

TEST(Encoding, Utf8Validity) {
    struct Case { std::string bytes; bool valid; };
    const Case cases[] = {
        {"", true},
        {"plain ascii", true},
        {"\xE6\x9C\x88", true},                 // 月
        {"\xF0\x9F\x98\x80", true},             // 4-byte form
        {"\xD4\xC2", false},                    // 月 in GBK
        {"\xE6\x9C", false},                    // cut short
        {"\xC0\xAF", false},                    // overlong
        {"\xE0\x80\xAF", false},                // overlong
        {"\xED\xA0\x80", false},                // surrogate
        {"\xF4\x90\x80\x80", false},            // past U+10FFFF
        {"\x80", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsValidUtf8(c.bytes), c.valid) << c.bytes;
}

TEST(Encoding, ServerTextToUtf8) {
    struct Case { std::string in; std::string out; };
    const Case cases[] = {
        {"readme.txt", "readme.txt"},
        {"\xE6\x96\x87\xE4\xBB\xB6", "\xE6\x96\x87\xE4\xBB\xB6"},                // UTF-8 passes
        {"\xCE\xC4\xBC\xFE.txt", "\xE6\x96\x87\xE4\xBB\xB6.txt"},                  // 文件 in GBK
        {"12\xD4\xC2", "12\xE6\x9C\x88"},                                          // 月
        {"a\xFF" "b", "a\xEF\xBF\xBD" "b"},                                       // undecodable
        {"x\xCE", "x\xEF\xBF\xBD"},                                                // cut off
    };
    for (const Case& c : cases) EXPECT_EQ(ServerTextToUtf8(c.in), c.out) << c.in;
    EXPECT_TRUE(IsValidUtf8(ServerTextToUtf8("\x81\x30\xFF\xFE\x80\xA0")));
}

} // namespace
} // namespace tq
