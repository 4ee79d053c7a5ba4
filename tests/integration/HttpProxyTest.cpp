// THttpCli through real proxies: squid as GET proxy and CONNECT proxy, with and
// without proxy authentication, and danted for SOCKS 4 and 5; nginx serves the file.

#include "download/HttpProtqn.h"
#include "tests/integration/HttpTestClient.h"
#include "tests/support/Danted.h"
#include "tests/support/HttpServers.h"

#include <functional>
#include <gtest/gtest.h>

using namespace tq;
using namespace tq::test;

namespace {

constexpr size_t kFileSize = 1024 * 1024 + 17;

class HttpProxy : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        file_ = new std::string(PatternBytes(kFileSize, 3));
        nginx_ = new Nginx();
        nginx_->AddFile("f/data.bin", *file_);
        if (!nginx_->Start(""))
            FAIL() << nginx_->Why();
        squid_ = new Squid();
        if (!squid_->Start({{nginx_->Port()}, "", ""}))
            FAIL() << squid_->Why();
        authSquid_ = new Squid();
        if (!authSquid_->Start({{nginx_->Port()}, "proxyuser", "proxy pass"}))
            FAIL() << authSquid_->Why();
        danted_ = new Danted();
        if (!danted_->Start())
            FAIL() << danted_->Why();
    }
    static void TearDownTestSuite()
    {
        delete danted_;
        delete authSquid_;
        delete squid_;
        delete nginx_;
        delete file_;
    }
    static std::string* file_;
    static Nginx* nginx_;
    static Squid* squid_;
    static Squid* authSquid_;
    static Danted* danted_;
};
std::string* HttpProxy::file_ = nullptr;
Nginx* HttpProxy::nginx_ = nullptr;
Squid* HttpProxy::squid_ = nullptr;
Squid* HttpProxy::authSquid_ = nullptr;
Danted* HttpProxy::danted_ = nullptr;

TEST_F(HttpProxy, Routes)
{
    struct Case {
        const char* name;
        std::function<void(THttpCli&)> setup;
        int error, status;
        bool wholeFile;
    };
    auto squid = [](Squid* s, bool tunnel, const char* user, const char* pass) {
        return [=](THttpCli& c) {
            c.Proxy = "127.0.0.1";
            c.ProxyPort = std::to_string(s->Port());
            c.UseQNExProxyMode = tunnel;
            c.ProxyUsername = user;
            c.ProxyPassword = pass;
        };
    };
    auto socks = [](const char* level) {
        return [=](THttpCli& c) {
            c.SocksServer = "127.0.0.1";
            c.SocksPort = std::to_string(danted_->Port());
            c.SocksLevel = level;
        };
    };
    const Case cases[] = {
        {"GET proxy", squid(squid_, false, "", ""), 0, 200, true},
        {"CONNECT proxy", squid(squid_, true, "", ""), 0, 200, true},
        {"GET proxy, credentials", squid(authSquid_, false, "proxyuser", "proxy pass"), 0, 200, true},
        {"CONNECT proxy, credentials", squid(authSquid_, true, "proxyuser", "proxy pass"), 0, 200, true},
        {"GET proxy, no credentials", squid(authSquid_, false, "", ""), 0, 407, false},
        {"CONNECT proxy, no credentials", squid(authSquid_, true, "", ""), httperrTunnelRefused, 407, false},
        {"CONNECT proxy, wrong password", squid(authSquid_, true, "proxyuser", "nope"), httperrTunnelRefused, 407, false},
        {"SOCKS 4", socks("4"), 0, 200, true},
        {"SOCKS 5", socks("5"), 0, 200, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HttpTestClient t;
        t.Target(nginx_->Port(), "/f/data.bin");
        t.cli.ContentRangeBegin = "0";
        c.setup(t.cli);
        ASSERT_TRUE(t.Run(httpGET, std::chrono::seconds(30)));
        EXPECT_EQ(t.out.error, c.error) << t.out.reason;
        EXPECT_EQ(t.out.status, c.wholeFile ? 206 : c.status) << t.out.reason;
        if (c.wholeFile) {
            EXPECT_TRUE(t.out.body == *file_) << t.out.body.size();
        }
    }
}

TEST_F(HttpProxy, TunnelRefusedForAPortTheProxyDoesNotAllow)
{
    HttpTestClient t;
    t.Target(FreeTcpPort(), "/f/data.bin");
    t.cli.Proxy = "127.0.0.1";
    t.cli.ProxyPort = std::to_string(squid_->Port());
    t.cli.UseQNExProxyMode = true;
    ASSERT_TRUE(t.Run(httpGET, std::chrono::seconds(30)));
    EXPECT_EQ(t.out.error, httperrTunnelRefused);
    EXPECT_EQ(t.out.status, 403);
    EXPECT_TRUE(t.out.body.empty());
}

} // namespace
