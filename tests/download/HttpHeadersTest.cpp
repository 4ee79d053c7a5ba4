#include "download/HttpHeaders.h"

#include <gtest/gtest.h>

using namespace tq;

TEST(HttpHeaders, DecimalDigitsOnlyAnd64Bit)
{
    struct Case { const char* text; bool ok; int64_t value; };
    const Case cases[] = {
        {"0", true, 0},
        {"1000", true, 1000},
        {"4294967296", true, 4294967296LL},
        {"9223372036854775807", true, INT64_MAX},
        {"9223372036854775808", false, 0},
        {"99999999999999999999", false, 0},
        {"", false, 0},
        {"-1", false, 0},
        {"+5", false, 0},
        {" 5", false, 0},
        {"5 ", false, 0},
        {"12a", false, 0},
        {"0x10", false, 0},
    };
    for (const auto& c : cases) {
        int64_t v = -7;
        EXPECT_EQ(ParseHttpDecimal(c.text, v), c.ok) << c.text;
        if (c.ok)
            EXPECT_EQ(v, c.value) << c.text;
        else
            EXPECT_EQ(v, -7) << c.text;
    }
}

TEST(HttpHeaders, StatusLine)
{
    THttpStatusLine st;
    ASSERT_TRUE(ParseStatusLine("HTTP/1.1 206 Partial Content", st));
    EXPECT_EQ(st.Code, 206);
    EXPECT_EQ(st.Minor, 1);
    EXPECT_EQ(st.Reason, "Partial Content");
    ASSERT_TRUE(ParseStatusLine("HTTP/1.0 404", st));
    EXPECT_EQ(st.Code, 404);
    EXPECT_EQ(st.Reason, "");
    for (const char* bad : {"HTTP/1.1 20 OK", "HTTP/1.1 2000 OK", "HTTP/1.1 099 x", "HTTP/1.1 600 x",
                            "http/1.1 200 OK", "HTTP/1.1200 OK", "ICY 200 OK", "<html>", "",
                            "HTTP/1.1 abc OK", "xHTTP/1.1 200 OK"})
        EXPECT_FALSE(ParseStatusLine(bad, st)) << bad;
}

TEST(HttpHeaders, HeaderLine)
{
    std::string n, v;
    ASSERT_TRUE(SplitHeaderLine("Content-Length:   1234  ", n, v));
    EXPECT_EQ(n, "content-length");
    EXPECT_EQ(v, "1234");
    ASSERT_TRUE(SplitHeaderLine("Location: http://h/a:b", n, v));
    EXPECT_EQ(v, "http://h/a:b");
    ASSERT_TRUE(SplitHeaderLine("X-Empty:", n, v));
    EXPECT_EQ(v, "");
    EXPECT_FALSE(SplitHeaderLine("no colon here", n, v));
    EXPECT_FALSE(SplitHeaderLine(": value", n, v));
    EXPECT_FALSE(SplitHeaderLine("Bad Name: value", n, v));
}

TEST(HttpHeaders, ContentRange)
{
    struct Case { const char* text; bool ok; int64_t b, e, t; };
    const Case cases[] = {
        {"bytes 500-999/1000", true, 500, 999, 1000},
        {"bytes 0-0/1", true, 0, 0, 1},
        {"BYTES 100-199/*", true, 100, 199, -1},
        {"bytes */1000", true, -1, -1, 1000},
        {"bytes 5000000000-5000000001/6000000000", true, 5000000000LL, 5000000001LL, 6000000000LL},
        {"bytes 999-500/1000", false, 0, 0, 0},
        {"bytes 500-1000/1000", false, 0, 0, 0},
        {"bytes 500-999", false, 0, 0, 0},
        {"bytes -1-999/1000", false, 0, 0, 0},
        {"bytes 500-999/99999999999999999999", false, 0, 0, 0},
        {"items 0-1/2", false, 0, 0, 0},
        {"bytes */*", false, 0, 0, 0},
    };
    for (const auto& c : cases) {
        TContentRange r;
        EXPECT_EQ(ParseContentRange(c.text, r), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(r.Begin, c.b) << c.text;
            EXPECT_EQ(r.End, c.e) << c.text;
            EXPECT_EQ(r.Total, c.t) << c.text;
        }
    }
}

TEST(HttpHeaders, LocationResolution)
{
    struct Case { const char* value; TLocationKind kind; const char* url; const char* host; const char* port; const char* path; };
    const Case cases[] = {
        {"/new/file.zip", TLocationKind::Http, "http://example.org/new/file.zip", "example.org", "80", "/new/file.zip"},
        {"other.zip", TLocationKind::Http, "http://example.org/dir/other.zip", "example.org", "80", "/dir/other.zip"},
        {"../up.zip?x=1", TLocationKind::Http, "http://example.org/up.zip?x=1", "example.org", "80", "/up.zip?x=1"},
        {"./a/./b/../c", TLocationKind::Http, "http://example.org/dir/a/c", "example.org", "80", "/dir/a/c"},
        {"http://h2:8080/x", TLocationKind::Http, "http://h2:8080/x", "h2", "8080", "/x"},
        {"HTTP://H3/y", TLocationKind::Http, "http://H3/y", "H3", "80", "/y"},
        {"Http://h4", TLocationKind::Http, "http://h4/", "h4", "80", "/"},
        {"http://h5?q", TLocationKind::Http, "http://h5/?q", "h5", "80", "/?q"},
        {"//h6/z#frag", TLocationKind::Http, "http://h6/z", "h6", "80", "/z"},
        {"ftp://f/file", TLocationKind::Ftp, "ftp://f/file", "", "", ""},
        {"FTP://f/file", TLocationKind::Ftp, "FTP://f/file", "", "", ""},
        {"https://s/file", TLocationKind::Unsupported, "https://s/file", "", "", ""},
        {"HTTPS://s/file", TLocationKind::Unsupported, "HTTPS://s/file", "", "", ""},
        {"mailto:x@y", TLocationKind::Unsupported, "mailto:x@y", "", "", ""},
        {"http://h7:99999/x", TLocationKind::Invalid, "", "", "", ""},
        {"http://h8:8a/x", TLocationKind::Invalid, "", "", "", ""},
        {"http:///nohost", TLocationKind::Invalid, "", "", "", ""},
        {"   ", TLocationKind::Invalid, "", "", "", ""},
    };
    for (const auto& c : cases) {
        TLocationTarget t = ResolveLocation(c.value, "example.org", "", "/dir/file.bin?old=1");
        EXPECT_EQ(t.Kind, c.kind) << c.value;
        EXPECT_EQ(t.URL, c.url) << c.value;
        EXPECT_EQ(t.Host, c.host) << c.value;
        EXPECT_EQ(t.Port, c.port) << c.value;
        EXPECT_EQ(t.Path, c.path) << c.value;
    }
    // The current port stays with relative targets and shows in the URL.
    TLocationTarget t = ResolveLocation("/b", "h", "8080", "/a");
    EXPECT_EQ(t.URL, "http://h:8080/b");
    EXPECT_EQ(t.Port, "8080");
    // Credentials of the new URL are taken apart.
    t = ResolveLocation("http://u%40x:p%3Aw@h/", "h", "", "/");
    EXPECT_EQ(t.User, "u@x");
    EXPECT_EQ(t.Pass, "p:w");
}

TEST(HttpHeaders, LocationWithLineBreakOrNulIsRefused)
{
    for (std::string v : {std::string("/a\r\nSet-Cookie: x"), std::string("/a\nb"), std::string("/a\0b", 4),
                          std::string("http://h/\r")})
        EXPECT_EQ(ResolveLocation(v, "h", "", "/").Kind, TLocationKind::Invalid);
}

TEST(HttpHeaders, RequestTargetEncoding)
{
    EXPECT_EQ(EncodeRequestTarget("/a b/c%20d?x=1&y"), "/a%20b/c%20d?x=1&y");
    EXPECT_EQ(EncodeRequestTarget(std::string("/\x01\x7f\t\xe4\xb8\xad", 7)), "/%01%7F%09%E4%B8%AD");
    EXPECT_TRUE(HasLineBreakOrNul("a\rb"));
    EXPECT_TRUE(HasLineBreakOrNul(std::string("a\0b", 3)));
    EXPECT_FALSE(HasLineBreakOrNul("a\tb c"));
}

TEST(HttpHeaders, Base64AndNames)
{
    EXPECT_EQ(Base64Encode(""), "");
    EXPECT_EQ(Base64Encode("f"), "Zg==");
    EXPECT_EQ(Base64Encode("fo"), "Zm8=");
    EXPECT_EQ(Base64Encode("foo"), "Zm9v");
    EXPECT_EQ(Base64Encode("Aladdin:open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
    EXPECT_EQ(Base64Encode("\xff\xfe"), "//4=");
    EXPECT_EQ(DocNameFromPath("/a/b.zip?x=/y"), "b.zip");
    EXPECT_EQ(DocNameFromPath("/a/"), "document.htm");
    EXPECT_EQ(DocNameFromPath(""), "document.htm");
    EXPECT_TRUE(IsNotFoundStatus(404));
    EXPECT_TRUE(IsNotFoundStatus(410));
    EXPECT_FALSE(IsNotFoundStatus(403));
}
