#include "foundation/Scramble.h"

#include <gtest/gtest.h>

namespace tq {
namespace {

TEST(Scramble, KnownFormNeverChanges) {
    // Stored passwords depend on this exact form.
    EXPECT_EQ(ScrambleText("secret"),
              "04541fed73f52441531e9f8ed8998c6c307e06095e3a7290bedfcbb260f72a2a249bcb79"
              "52276b8b576adbe665a6edc51a55b8b6f8cc21aaf6d4937a4311d0c1074f0e656558ee7d"
              "2314a33c740623a7888986addcc6099c5068434612b2880ce84ca7813");
    EXPECT_EQ(UnscrambleText("04541fed73f52441531e9f8ed8998c6c307e06095e3a7290bedfcbb260f72a2a249bcb79"
                             "52276b8b576adbe665a6edc51a55b8b6f8cc21aaf6d4937a4311d0c1074f0e656558ee7d"
                             "2314a33c740623a7888986addcc6099c5068434612b2880ce84ca7813"),
              "secret");
}

TEST(Scramble, RoundTripsAndFixedLength) {
    const std::string texts[] = {"a", "p@ss word", "\xE5\xAF\x86\xE7\xA0\x81", std::string(100, 'x')};
    for (const std::string& t : texts) {
        const std::string s = ScrambleText(t);
        EXPECT_EQ(s.size(), 201u);
        EXPECT_EQ(s.back(), '3');
        EXPECT_EQ(s.substr(0, 200).find_first_not_of("0123456789abcdef"), std::string::npos);
        EXPECT_EQ(UnscrambleText(s), t);
    }
    EXPECT_EQ(ScrambleText(""), "");
    EXPECT_EQ(UnscrambleText(""), "");
    // Longer texts keep their first 100 bytes.
    EXPECT_EQ(UnscrambleText(ScrambleText(std::string(150, 'y'))), std::string(100, 'y'));
    // Upper-case hex digits read as well.
    std::string upper = ScrambleText("abc");
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(UnscrambleText(upper), "abc");
}

TEST(Scramble, MalformedValuesReadAsEmpty) {
    const std::string good = ScrambleText("secret");
    const std::string bad[] = {
        "plain",                                    // too short
        good.substr(0, 200),                        // no trailing mark
        good + "3",                                 // too long
        good.substr(0, 200) + "4",                  // wrong mark
        "zz" + good.substr(2),                      // not hex
        good.substr(0, 100) + "g" + good.substr(101),
    };
    for (const std::string& b : bad) EXPECT_EQ(UnscrambleText(b), "") << b;
}

} // namespace
} // namespace tq
