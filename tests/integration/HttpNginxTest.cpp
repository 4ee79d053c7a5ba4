// THttpCli against nginx: whole files, ranges, a server without ranges, redirects,
// Basic authentication, a rate-limited location and a very long header line.

#include "download/HttpProtqn.h"
#include "tests/integration/HttpTestClient.h"
#include "tests/support/HttpServers.h"

#include <gtest/gtest.h>

using namespace tq;
using namespace tq::test;

namespace {

constexpr size_t kFileSize = 3 * 1024 * 1024 + 123;

class HttpNginx : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        nginx_ = new Nginx();
        file_ = new std::string(PatternBytes(kFileSize, 7));
        nginx_->AddFile("files/data.bin", *file_);
        nginx_->AddFile("noranges/data.bin", *file_);
        nginx_->AddFile("secret/data.bin", *file_);
        nginx_->AddFile("slow/data.bin", file_->substr(0, 300000));
        WriteFile(nginx_->Dir() + "/htpasswd", Nginx::PasswordLine("alice", "s3cret pass"));
        std::string lines =
            "    location /noranges/ { max_ranges 0; }\n"
            "    location /secret/ { auth_basic \"tarvolin\"; auth_basic_user_file " + nginx_->Dir() + "/htpasswd; }\n"
            "    location /slow/ { limit_rate 200k; }\n"
            "    location = /moved-abs { return 301 http://127.0.0.1:$server_port/files/data.bin; }\n"
            "    location = /moved-rel { absolute_redirect off; return 302 /files/data.bin; }\n"
            "    location = /files/moved-here { absolute_redirect off; return 302 data.bin; }\n"
            "    location = /long-header { add_header X-Echo $request_uri; return 200 \"ok\"; }\n";
        if (!nginx_->Start(lines))
            FAIL() << nginx_->Why();
    }
    static void TearDownTestSuite()
    {
        delete nginx_;
        delete file_;
    }
    static Nginx* nginx_;
    static std::string* file_;
};
Nginx* HttpNginx::nginx_ = nullptr;
std::string* HttpNginx::file_ = nullptr;

TEST_F(HttpNginx, Ranges)
{
    struct Case { const char* path; const char* begin; int status; size_t bodyStart; size_t bodyLen; int64_t fileLength; };
    const std::string last = std::to_string(kFileSize - 1);
    const std::string past = std::to_string(kFileSize + 10);
    const Case cases[] = {
        {"/files/data.bin", "", 200, 0, kFileSize, int64_t(kFileSize)},
        {"/files/data.bin", "0", 206, 0, kFileSize, int64_t(kFileSize)},
        {"/files/data.bin", "1000", 206, 1000, kFileSize - 1000, int64_t(kFileSize)},
        {"/files/data.bin", last.c_str(), 206, kFileSize - 1, 1, int64_t(kFileSize)},
        {"/files/data.bin", past.c_str(), 416, 0, 0, -1},
        // max_ranges 0: the whole file comes back, and the range start reads as none.
        {"/noranges/data.bin", "1000", 200, 0, kFileSize, int64_t(kFileSize)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " from " + c.begin);
        HttpTestClient t;
        t.cli.SetClient(kQNClientHttp, &t.cli);
        std::string body;
        bool done = false;
        int error = -1;
        t.cli.OSQN_OnDocData = [&](TQNComponent*, const char* b, int32_t n) { body.append(b, size_t(n)); };
        t.cli.OSQN_OnRequestDone = [&](TQNComponent*, TFtpRequest, int e, bool) {
            done = true;
            error = e;
        };
        t.Target(nginx_->Port(), c.path);
        t.cli.OS_RangeBegin(c.begin);
        t.cli.StartRequest();
        ASSERT_TRUE(t.loop.PumpUntil([&] { return done; }, std::chrono::seconds(30)));
        EXPECT_EQ(error, 0);
        EXPECT_EQ(t.cli.Os_stateCode(), c.status);
        ASSERT_EQ(body.size(), c.bodyLen);
        EXPECT_TRUE(body == file_->substr(c.bodyStart, c.bodyLen));
        if (c.status < 400)
            EXPECT_EQ(t.cli.OS_FileLength(), c.fileLength);
        else
            EXPECT_EQ(t.cli.StopReason, kStopHttpStatus);
    }
}

TEST_F(HttpNginx, Redirects)
{
    for (const char* path : {"/moved-abs", "/moved-rel", "/files/moved-here"}) {
        SCOPED_TRACE(path);
        HttpTestClient t;
        t.Target(nginx_->Port(), path);
        ASSERT_TRUE(t.Run(httpGET, std::chrono::seconds(30)));
        EXPECT_EQ(t.out.error, 0) << t.out.reason;
        EXPECT_EQ(t.out.status, 200);
        EXPECT_EQ(t.out.locationChanges, 2);
        EXPECT_EQ(t.cli.Location(), "http://127.0.0.1:" + std::to_string(nginx_->Port()) + "/files/data.bin");
        EXPECT_TRUE(t.out.body == *file_);
    }
}

TEST_F(HttpNginx, BasicAuthentication)
{
    struct Case { const char* user; const char* pass; int status; };
    const Case cases[] = {{"", "", 401}, {"alice", "wrong", 401}, {"alice", "s3cret pass", 200}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pass);
        HttpTestClient t;
        t.Target(nginx_->Port(), "/secret/data.bin");
        t.cli.TargetUser = c.user;
        t.cli.TargetPass = c.pass;
        ASSERT_TRUE(t.Run(httpGET, std::chrono::seconds(30)));
        EXPECT_EQ(t.out.status, c.status);
        if (c.status == 401) {
            ASSERT_EQ(t.cli.WWWAuthenticate().size(), 1u);
            EXPECT_EQ(t.cli.WWWAuthenticate()[0], "Basic realm=\"tarvolin\"");
        } else {
            EXPECT_TRUE(t.out.body == *file_);
        }
    }
}

TEST_F(HttpNginx, RateLimitedAndLongHeader)
{
    HttpTestClient slow;
    slow.Target(nginx_->Port(), "/slow/data.bin");
    ASSERT_TRUE(slow.Run(httpGET, std::chrono::seconds(30)));
    EXPECT_EQ(slow.out.error, 0);
    EXPECT_TRUE(slow.out.body == file_->substr(0, 300000));
    EXPECT_GT(slow.cli.BodyChunkCount(), 1);

    // nginx echoes the request target into a header line of some 6000 characters.
    const std::string target = "/long-header?" + std::string(6000, 'h');
    HttpTestClient t;
    t.Target(nginx_->Port(), target);
    ASSERT_TRUE(t.Run());
    EXPECT_EQ(t.out.error, 0) << t.out.reason;
    EXPECT_EQ(t.out.body, "ok");
    bool seen = false;
    for (const auto& line : t.cli.RcvdHeader())
        seen = seen || line == "X-Echo: " + target;
    EXPECT_TRUE(seen);
}

} // namespace
