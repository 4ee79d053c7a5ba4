// An ftp:// job fetched through an HTTP GET proxy: THttpCli asks squid for the
// ftp:// URL and squid speaks FTP to vsftpd.

#include "download/HttpProtqn.h"
#include "tests/integration/HttpTestClient.h"
#include "tests/support/FtpServers.h"
#include "tests/support/HttpServers.h"

#include <gtest/gtest.h>

using namespace tq;
using namespace tq::test;

namespace {

TEST(HttpProxyFtp, FtpUrlThroughSquidIsByteExactFromAnOffset)
{
    TempDir work;
    std::unique_ptr<TFtpServer> ftp = StartVsftpd(work.path());
    if (!ftp) GTEST_SKIP() << "vsftpd is not available";
    const std::string bytes = PatternBytes(300 * 1024 + 5, 11);
    WriteFile(ftp->FilesDir + "/via-proxy.bin", bytes);

    Squid squid;
    ASSERT_TRUE(squid.Start({{}, "", ""})) << squid.Why();

    for (int64_t offset : {int64_t{0}, int64_t{123457}}) {
        SCOPED_TRACE(offset);
        HttpTestClient t;
        t.Target(ftp->Port, ftp->RemoteDir + "/via-proxy.bin");
        t.cli.TargetScheme = "ftp";
        t.cli.Proxy = "127.0.0.1";
        t.cli.ProxyPort = std::to_string(squid.Port());
        t.cli.ContentRangeBegin = std::to_string(offset);
        ASSERT_TRUE(t.Run(httpGET, std::chrono::seconds(30)));
        if (offset == 0) {
            ASSERT_EQ(t.out.error, 0) << t.out.status << " " << t.out.reason;
            EXPECT_TRUE(t.out.body == bytes) << t.out.body.size();
            continue;
        }
        // squid answers a range over FTP with a 206 whose body stops short of its
        // Content-Length (60291 of 183748 bytes here). What matters is that such an
        // answer never completes as a success with bytes from the wrong place.
        if (t.out.error == 0) {
            EXPECT_EQ(t.out.status, 206);
            EXPECT_TRUE(t.out.body == bytes.substr(static_cast<size_t>(offset))) << t.out.body.size();
        } else {
            EXPECT_EQ(t.out.error, httperrBodyTruncated) << t.out.status << " " << t.out.reason;
        }
    }
}

} // namespace
