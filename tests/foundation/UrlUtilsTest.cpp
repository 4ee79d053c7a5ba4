#include "foundation/UrlUtils.h"

#include <gtest/gtest.h>

namespace tq {
namespace {

TEST(UrlUtils, SplitURL) {
    struct Case { const char* url; const char* cur; TURLParts expected; };
    const Case cases[] = {
        {"http://user:pw@host:8080/a/b?x=1", "", {"http", "user", "pw", "host", "8080", "/a/b?x=1"}},
        {"host?x", "", {"", "", "", "host", "", "?x"}},
        {"/images/a.gif", "", {"http", "", "", "", "", "/images/a.gif"}},
        {"ftp://u@h/pub/", "", {"ftp", "u", "", "h", "", "/pub/"}},
        {"ftp://a:b:c@h", "", {"ftp", "a", "b:c", "h", "", ""}},
        {"ftp://u@x@h:21", "", {"ftp", "u@x", "", "h", "21", ""}},
        {"HTTP://Host/X", "", {"http", "", "", "Host", "", "/X"}},
        {"FTP://h/x", "", {"ftp", "", "", "h", "", "/x"}},
        {"my_scheme://h/x", "", {"http", "", "", "my_scheme", "", "//h/x"}},
        {"//cdn.example/x.js", "", {"http", "", "", "cdn.example", "", "/x.js"}},
        {"http://[::1]:8080/x", "", {"http", "", "", "[::1]", "8080", "/x"}},
        {"http://[::1]/x", "", {"http", "", "", "[::1]", "", "/x"}},
        {"mailto:someone@host", "", {"mailto", "someone", "", "host", "", ""}},
        {"./b.html", "/dir/a.html", {"", "", "", "", "", "/dir/b.html"}},
        {"./b.html", "a.html", {"", "", "", "", "", "/b.html"}},
        {"../b.html", "/x/y/a.html", {"", "", "", "", "", "/x/b.html"}},
        {"../../../b.html", "/x/a.html", {"", "", "", "", "", "/b.html"}},
        {"", "/keep", {"", "", "", "", "", ""}},
    };
    for (const Case& c : cases) {
        const TURLParts p = SplitURL(c.url, c.cur);
        EXPECT_EQ(p.Proto, c.expected.Proto) << c.url;
        EXPECT_EQ(p.User, c.expected.User) << c.url;
        EXPECT_EQ(p.Pass, c.expected.Pass) << c.url;
        EXPECT_EQ(p.Host, c.expected.Host) << c.url;
        EXPECT_EQ(p.Port, c.expected.Port) << c.url;
        EXPECT_EQ(p.Path, c.expected.Path) << c.url;
    }
}

TEST(UrlUtils, AnalyseURL) {
    struct Case { const char* url; int kind; TURLInfo expected; };
    const Case cases[] = {
        {"ftp://u@h:21/pub/a.zip", ukFtp, {"h", "21", "u", "u", "pub/a.zip", "pub", "a.zip"}},
        {"ftp://h/", ukFtp, {"h", "", "", "", "", "", ""}},
        {"http://h/dir/get.cgi?id=3&x", ukHttp, {"h", "", "", "", "dir/get.cgi?id=3&x", "dir", "get.cgi"}},
        {"http://:pw@h/a", ukHttp, {"h", "", "pw", "pw", "a", "", "a"}},
        {"HTTP://host/x/y.bin", ukHttp, {"host", "", "", "", "x/y.bin", "x", "y.bin"}},
        {"Ftp://host", ukFtp, {"host", "", "", "", "", "", ""}},
        {"https://h/x", ukUnsupported, {}},
        {"h/x", ukUnsupported, {}},
        {"ftps://h/x", ukUnsupported, {}},
    };
    for (const Case& c : cases) {
        TURLInfo info;
        info.Host = "stale";
        EXPECT_EQ(AnalyseURL(c.url, info), c.kind) << c.url;
        EXPECT_EQ(info.Host, c.expected.Host) << c.url;
        EXPECT_EQ(info.Port, c.expected.Port) << c.url;
        EXPECT_EQ(info.User, c.expected.User) << c.url;
        EXPECT_EQ(info.Pass, c.expected.Pass) << c.url;
        EXPECT_EQ(info.PathNoSlash, c.expected.PathNoSlash) << c.url;
        EXPECT_EQ(info.Dir, c.expected.Dir) << c.url;
        EXPECT_EQ(info.FileName, c.expected.FileName) << c.url;
    }
}

TEST(UrlUtilsTest, PortNumbers) {
    const struct {
        const char* text;
        bool ok;
        int32_t port;
    } rows[] = {{"1", true, 1},      {"80", true, 80},    {"65535", true, 65535}, {"08080", true, 8080},
                {"", false, 0},      {"0", false, 0},     {"65536", false, 0},    {"99999", false, 0},
                {"123456", false, 0}, {"+80", false, 0},  {"8 0", false, 0},      {"http", false, 0}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        int32_t port = -1;
        EXPECT_EQ(ParsePortNumber(r.text, port), r.ok);
        if (r.ok) {
            EXPECT_EQ(port, r.port);
        }
    }
}

} // namespace
} // namespace tq
