// The job record that get and add make from a URL and their options.
#include "cli/JobSession.h"

#include <gtest/gtest.h>

namespace tq::test {
namespace {

using cli::MakeJobRecord;
using cli::TJobOptions;

TEST(JobArgs, RecordFromTheUrlAsTheNewDownloadDialogFillsIt) {
    struct Row {
        const char* url;
        const char* name;  // -o
        const char* storedUrl;
        int protocol, port;
        const char* user;
        const char* password;
        const char* fileName;
        const char* referer;
    };
    const Row rows[] = {
        {"http://u:p%40w@h:8080/a/b/c.zip", "", "http://h:8080/a/b/c.zip", 2, 8080, "u", "p@w", "c.zip",
         "http://h:8080/a/b"},
        {"ftp://h/", "", "ftp://h/", 1, 21, "", "", "index.htm", "ftp://h"},
        {"http://h/dl/%E4%B8%8B%E8%BD%BD.bin?x=1", "", "http://h/dl/%E4%B8%8B%E8%BD%BD.bin?x=1", 2, 80, "", "",
         "下载.bin", "http://h/dl"},
        {"http://h/a/..%2F..%2Fetc", "", "http://h/a/..%2F..%2Fetc", 2, 80, "", "", ".._.._etc", "http://h/a"},
        {"http://h/x.bin", "mine.dat", "http://h/x.bin", 2, 80, "", "", "mine.dat", "http://h"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.url);
        TJobOptions options;
        options.Name = r.name;
        options.Dir = "/srv/dl/";
        TDLMangeData rec;
        std::string error;
        ASSERT_TRUE(MakeJobRecord(r.url, options, kOptNotSet, rec, error)) << error;
        EXPECT_EQ(rec.URL, r.storedUrl) << "the login is kept out of the stored URL";
        EXPECT_EQ(rec.Protocol, r.protocol);
        EXPECT_EQ(rec.Port, r.port);
        EXPECT_EQ(rec.UserName, r.user);
        EXPECT_EQ(rec.Password, r.password);
        EXPECT_EQ(rec.UseLogin, *r.user ? 1 : 0);
        EXPECT_EQ(rec.FileName, r.fileName);
        EXPECT_EQ(rec.UseServerName, *r.name ? 0 : 1) << "a name given by the user stays";
        EXPECT_EQ(rec.Referer, r.referer);
        EXPECT_EQ(rec.SavePath, "/srv/dl");
        EXPECT_EQ(rec.MaxConnections, 5) << "no usable default: five";
        EXPECT_EQ(rec.StartMode, 0);
    }
}

TEST(JobArgs, UrlsThatCannotBeDownloadedAreRefused) {
    for (const char* url : {"https://h/x", "h/x", "http://h:99999/x", "http://h:8a/x", "http:///x", "mailto:a@b"}) {
        TDLMangeData rec;
        std::string error;
        EXPECT_FALSE(MakeJobRecord(url, TJobOptions{}, 5, rec, error)) << url;
        EXPECT_NE(error.find(url), std::string::npos) << error;
    }
}

TEST(JobArgs, ConnectionsAndProxyFields) {
    TJobOptions options;
    options.Connections = 3;
    options.UseProxy = true;
    options.Proxy.ID = 10011;
    TDLMangeData rec;
    std::string error;
    ASSERT_TRUE(MakeJobRecord("ftp://h/f.iso", options, 8, rec, error)) << error;
    EXPECT_EQ(rec.MaxConnections, 3);
    EXPECT_EQ(rec.UseProxy, 1);
    EXPECT_EQ(rec.HttpProxyID, 10011);
    EXPECT_EQ(rec.FtpProxyID, 10011);
    options.Connections = 0;
    ASSERT_TRUE(MakeJobRecord("ftp://h/f.iso", options, 8, rec, error));
    EXPECT_EQ(rec.MaxConnections, 8) << "the new-download default";
}

} // namespace
} // namespace tq::test
