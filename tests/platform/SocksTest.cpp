#include "platform/Socks.h"
#include "platform/TcpSocket.h"

#include "tests/support/Danted.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tq::test {
namespace {

using namespace std::chrono_literals;
using TResult = TSocksNegotiation::TResult;

std::string Bytes(std::initializer_list<int> b)
{
    std::string s;
    for (int c : b)
        s.push_back(char(c));
    return s;
}

uint32_t Ipv4(const char* text)
{
    in_addr a;
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

// One exchange of a negotiation: what the server answers, what the client must send next
// and where that leaves the negotiation.
struct Exchange {
    std::string reply;
    std::string clientSends;
    TResult result;
    int error = 0;
};

struct NegotiationCase {
    const char* name;
    TSocksVersion version;
    std::string host;
    uint16_t port;
    uint32_t ipv4;
    std::string user, password;
    std::string first;  // the greeting or request; empty when Start must refuse
    std::vector<Exchange> exchanges;
    int startError = 0;
};

TEST(SocksNegotiationTest, ExchangesByteForByte)
{
    const std::string req5Name = Bytes({5, 1, 0, 3, 9}) + "localhost" + Bytes({0x1F, 0x90});
    const std::string req5Ip = Bytes({5, 1, 0, 1, 127, 0, 0, 1, 0x1F, 0x90});
    const std::string ok5Ip = Bytes({5, 0, 0, 1, 10, 0, 0, 1, 0x04, 0x38});
    const NegotiationCase cases[] = {
        {"socks4", TSocksVersion::V4, "127.0.0.1", 8080, Ipv4("127.0.0.1"), "bob", "",
         Bytes({4, 1, 0x1F, 0x90, 127, 0, 0, 1}) + "bob" + Bytes({0}),
         {{Bytes({0, 90, 0, 0, 0, 0, 0, 0}), "", TResult::Done}}},
        {"socks4 rejected", TSocksVersion::V4, "127.0.0.1", 8080, Ipv4("127.0.0.1"), "", "",
         Bytes({4, 1, 0x1F, 0x90, 127, 0, 0, 1, 0}),
         {{Bytes({0, 91, 0, 0, 0, 0, 0, 0}), "", TResult::Failed, kErrSocks4Rejected}}},
        {"socks4 identd", TSocksVersion::V4, "127.0.0.1", 8080, Ipv4("127.0.0.1"), "", "",
         Bytes({4, 1, 0x1F, 0x90, 127, 0, 0, 1, 0}),
         {{Bytes({0, 92, 0, 0, 0, 0, 0, 0}), "", TResult::Failed, kErrSocks4NoIdentd}}},
        {"socks4 garbage", TSocksVersion::V4, "127.0.0.1", 8080, Ipv4("127.0.0.1"), "", "",
         Bytes({4, 1, 0x1F, 0x90, 127, 0, 0, 1, 0}),
         {{"HTTP/1.0", "", TResult::Failed, kErrSocksProtocol}}},
        {"socks4 needs an address", TSocksVersion::V4, "example.test", 80, 0, "", "", "", {}, kErrSocksBadRequest},
        {"socks4a", TSocksVersion::V4A, "localhost", 8080, 0, "u", "",
         Bytes({4, 1, 0x1F, 0x90, 0, 0, 0, 1}) + "u" + Bytes({0}) + "localhost" + Bytes({0}),
         {{Bytes({0, 90, 0, 0, 0, 0, 0, 0}), "", TResult::Done}}},
        {"socks5 no auth, name", TSocksVersion::V5, "localhost", 8080, 0, "", "", Bytes({5, 1, 0}),
         {{Bytes({5, 0}), req5Name, TResult::NeedMore}, {ok5Ip, "", TResult::Done}}},
        {"socks5 user/password", TSocksVersion::V5, "127.0.0.1", 8080, 0, "bob", "secret", Bytes({5, 2, 0, 2}),
         {{Bytes({5, 2}), Bytes({1, 3}) + "bob" + Bytes({6}) + "secret", TResult::NeedMore},
          {Bytes({1, 0}), req5Ip, TResult::NeedMore},
          {ok5Ip, "", TResult::Done}}},
        {"socks5 server skips offered auth", TSocksVersion::V5, "127.0.0.1", 8080, 0, "bob", "secret",
         Bytes({5, 2, 0, 2}), {{Bytes({5, 0}), req5Ip, TResult::NeedMore}, {ok5Ip, "", TResult::Done}}},
        {"socks5 auth refused", TSocksVersion::V5, "127.0.0.1", 8080, 0, "bob", "wrong", Bytes({5, 2, 0, 2}),
         {{Bytes({5, 2}), Bytes({1, 3}) + "bob" + Bytes({5}) + "wrong", TResult::NeedMore},
          {Bytes({1, 1}), "", TResult::Failed, kErrSocksAuthFailed}}},
        {"socks5 no acceptable method", TSocksVersion::V5, "127.0.0.1", 8080, 0, "", "", Bytes({5, 1, 0}),
         {{Bytes({5, 0xFF}), "", TResult::Failed, kErrSocksNoMethod}}},
        {"socks5 method not offered", TSocksVersion::V5, "127.0.0.1", 8080, 0, "", "", Bytes({5, 1, 0}),
         {{Bytes({5, 2}), "", TResult::Failed, kErrSocksProtocol}}},
        {"socks5 connection refused", TSocksVersion::V5, "127.0.0.1", 8080, 0, "", "", Bytes({5, 1, 0}),
         {{Bytes({5, 0}), req5Ip, TResult::NeedMore},
          {Bytes({5, 5, 0, 1, 0}), "", TResult::Failed, kErrSocks5ReplyBase - 5}}},
        {"socks5 domain in reply", TSocksVersion::V5, "127.0.0.1", 8080, 0, "", "", Bytes({5, 1, 0}),
         {{Bytes({5, 0}), req5Ip, TResult::NeedMore},
          {Bytes({5, 0, 0, 3, 4}) + "host" + Bytes({0, 80}), "", TResult::Done}}},
        {"socks5 ipv6 target", TSocksVersion::V5, "::1", 21, 0, "", "", Bytes({5, 1, 0}),
         {{Bytes({5, 0}), Bytes({5, 1, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 21}), TResult::NeedMore},
          {Bytes({5, 0, 0, 4}) + std::string(16, '\0') + Bytes({0, 21}), "", TResult::Done}}},
        {"socks5 bad address type", TSocksVersion::V5, "127.0.0.1", 8080, 0, "", "", Bytes({5, 1, 0}),
         {{Bytes({5, 0}), req5Ip, TResult::NeedMore}, {Bytes({5, 0, 0, 9, 0}), "", TResult::Failed, kErrSocksProtocol}}},
        {"socks5 user too long", TSocksVersion::V5, "127.0.0.1", 8080, 0, std::string(256, 'u'), "p", "", {},
         kErrSocksBadRequest},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TSocksNegotiation n(c.version, c.host, c.port, c.ipv4, c.user, c.password);
        ASSERT_EQ(n.Start(), c.first);
        if (c.first.empty()) {
            EXPECT_EQ(n.State(), TSocksNegotiation::TState::Failed);
            EXPECT_EQ(n.Error(), c.startError);
            continue;
        }
        for (const auto& ex : c.exchanges) {
            // Fed one byte at a time: replies arrive in any split.
            std::string out;
            TResult r = TResult::NeedMore;
            for (size_t i = 0; i < ex.reply.size() && r == TResult::NeedMore; ++i) {
                size_t used = 0;
                r = n.Feed(reinterpret_cast<const uint8_t*>(ex.reply.data()) + i, 1, &used, &out);
                ASSERT_EQ(used, 1u);
            }
            EXPECT_EQ(out, ex.clientSends);
            ASSERT_EQ(r, ex.result);
            EXPECT_EQ(n.Error(), ex.error);
        }
        EXPECT_EQ(n.Wanted(), 0u);
    }
}

TEST(SocksNegotiationTest, NeverTakesBytesBeyondTheReply)
{
    TSocksNegotiation n(TSocksVersion::V5, "127.0.0.1", 21, 0, "", "");
    n.Start();
    std::string out;
    size_t used = 0;
    std::string method = Bytes({5, 0});
    EXPECT_EQ(n.Feed(reinterpret_cast<const uint8_t*>(method.data()), 2, &used, &out), TResult::NeedMore);
    EXPECT_EQ(n.Wanted(), 5u);
    // The reply and the target's banner in one piece.
    std::string all = Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 21}) + "220 ready\r\n";
    EXPECT_EQ(n.Feed(reinterpret_cast<const uint8_t*>(all.data()), all.size(), &used, &out), TResult::Done);
    EXPECT_EQ(used, 10u);
}

// A scripted SOCKS server on its own thread: for each step it reads exactly the expected
// number of bytes, keeps them, and answers. It closes after the last step when told to.
class FakeSocksServer {
public:
    struct Step {
        std::string expect;
        std::string reply;
    };
    FakeSocksServer(std::vector<Step> script, bool closeAtEnd)
        : script_(std::move(script)), closeAtEnd_(closeAtEnd)
    {
        listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listenFd_, 1) != 0 ||
            getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("fake SOCKS server cannot listen");
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeSocksServer()
    {
        stop_ = true;
        thread_.join();
        close(listenFd_);
    }
    int Port() const { return port_; }
    // Everything the client sent, once the script has run (or failed).
    std::string Received()
    {
        for (int i = 0; i < 500 && !done_; ++i)
            std::this_thread::sleep_for(10ms);
        return received_;
    }

private:
    bool WaitReadable(int fd)
    {
        pollfd p{fd, POLLIN, 0};
        while (!stop_) {
            if (poll(&p, 1, 20) > 0)
                return true;
        }
        return false;
    }
    void Serve()
    {
        if (!WaitReadable(listenFd_)) {
            done_ = true;
            return;
        }
        int fd = accept(listenFd_, nullptr, nullptr);
        for (const auto& step : script_) {
            std::string got;
            while (got.size() < step.expect.size() && WaitReadable(fd)) {
                char buf[512];
                ssize_t n = recv(fd, buf, std::min(sizeof buf, step.expect.size() - got.size()), 0);
                if (n <= 0)
                    break;
                got.append(buf, size_t(n));
            }
            received_ += got;
            if (got != step.expect)
                break;
            if (!step.reply.empty() && send(fd, step.reply.data(), step.reply.size(), MSG_NOSIGNAL) < 0)
                break;
        }
        done_ = true;
        if (!closeAtEnd_) {
            while (WaitReadable(fd)) {
                char buf[512];
                if (recv(fd, buf, sizeof buf, 0) <= 0)
                    break;
            }
        }
        close(fd);
    }

    std::vector<Step> script_;
    bool closeAtEnd_;
    int listenFd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false}, done_{false};
    std::string received_;
};

class SocksSocketTest : public ::testing::Test {
protected:
    // Connects through the SOCKS server and returns the OnSessionConnected error; data that
    // arrives after the connect is collected in `data`.
    int ConnectThrough(TTcpSocket& s, TSocksLevel level, int socksPort, const std::string& host, int port,
                       const std::string& user = "", const std::string& password = "")
    {
        int result = 1;
        s.SetSocks(level, "127.0.0.1", std::to_string(socksPort), user, password);
        s.OnSessionConnected = [&](int e) { result = e; };
        s.OnDataAvailable = [&](int) {
            char buf[4096];
            ssize_t n;
            while ((n = s.Receive(buf, sizeof buf)) > 0)
                data.append(buf, size_t(n));
        };
        s.Connect(host, std::to_string(port));
        EXPECT_TRUE(loop.PumpUntil([&] { return result != 1; }, 15s));
        return result;
    }
    TEventLoop loop;
    std::string data;
};

// The fake checks every byte the socket sends; the target's first bytes arrive in the same
// piece as the SOCKS reply and must reach the caller.
TEST_F(SocksSocketTest, ExactBytesAndDataRightAfterTheReply)
{
    struct Case {
        const char* name;
        TSocksLevel level;
        std::string host;
        std::vector<FakeSocksServer::Step> script;
    } cases[] = {
        {"socks5 user/password", TSocksLevel::Socks5, "127.0.0.1",
         {{Bytes({5, 2, 0, 2}), Bytes({5, 2})},
          {Bytes({1, 3}) + "bob" + Bytes({6}) + "s3cr3t", Bytes({1, 0})},
          {Bytes({5, 1, 0, 1, 127, 0, 0, 1, 0x1F, 0x90}),
           Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90}) + "220 ready\r\n"}}},
        // danted has no 4A, so the name form is checked here only.
        {"socks4a", TSocksLevel::Socks4A, "ftp.example.test",
         {{Bytes({4, 1, 0x1F, 0x90, 0, 0, 0, 1}) + "bob" + Bytes({0}) + "ftp.example.test" + Bytes({0}),
           Bytes({0, 90, 0x1F, 0x90, 1, 2, 3, 4}) + "220 ready\r\n"}}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        data.clear();
        FakeSocksServer server(c.script, false);
        TTcpSocket s(loop);
        EXPECT_EQ(ConnectThrough(s, c.level, server.Port(), c.host, 8080, "bob", "s3cr3t"), 0);
        EXPECT_EQ(s.State(), TSocketState::Connected);
        EXPECT_TRUE(loop.PumpUntil([&] { return data == "220 ready\r\n"; }, 5s)) << data;
        std::string expected;
        for (const auto& step : c.script)
            expected += step.expect;
        EXPECT_EQ(server.Received(), expected);
    }
}

TEST_F(SocksSocketTest, FailuresFromTheServerEndTheConnect)
{
    struct Case {
        const char* name;
        TSocksLevel level;
        std::vector<FakeSocksServer::Step> script;
        int error;
        bool closeAtEnd = true;
    } cases[] = {
        {"auth refused", TSocksLevel::Socks5,
         {{Bytes({5, 2, 0, 2}), Bytes({5, 2})}, {Bytes({1, 3}) + "bob" + Bytes({6}) + "s3cr3t", Bytes({1, 1})}},
         kErrSocksAuthFailed},
        {"socks4 rejected", TSocksLevel::Socks4,
         {{Bytes({4, 1, 0x1F, 0x90, 127, 0, 0, 1}) + "bob" + Bytes({0}), Bytes({0, 91, 0, 0, 0, 0, 0, 0})}},
         kErrSocks4Rejected},
        {"closed during negotiation", TSocksLevel::Socks5, {{Bytes({5, 2, 0, 2}), ""}}, kErrSocksClosed},
        {"silent server", TSocksLevel::Socks5, {{Bytes({5, 2, 0, 2}), ""}}, kErrSocksTimeout, false},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSocksServer server(c.script, c.closeAtEnd);
        TTcpSocket s(loop);
        s.SetSocksTimeout(300);
        int closed = 0;
        s.OnSessionClosed = [&](int) { ++closed; };
        EXPECT_EQ(ConnectThrough(s, c.level, server.Port(), "127.0.0.1", 8080, "bob", "s3cr3t"), c.error);
        EXPECT_EQ(s.State(), TSocketState::Closed);
        EXPECT_EQ(s.LastError(), c.error);
        loop.PumpUntil([] { return false; }, 50ms);
        EXPECT_EQ(closed, 0);
    }
}

// Through a real SOCKS server to an echo server on the same loop.
TEST_F(SocksSocketTest, ThroughDanted)
{
    Danted danted;
    if (!danted.Start())
        GTEST_SKIP() << danted.Why();

    TTcpSocket listener(loop);
    listener.Listen("127.0.0.1", "0");
    std::vector<std::unique_ptr<TTcpSocket>> peers;
    listener.OnSessionAvailable = [&](int) {
        peers.push_back(listener.Accept());
        TTcpSocket* p = peers.back().get();
        p->OnDataAvailable = [p](int) {
            char buf[4096];
            ssize_t n;
            while ((n = p->Receive(buf, sizeof buf)) > 0)
                p->Send(std::string_view(buf, size_t(n)));
        };
    };
    const int closedPort = FreeTcpPort();
    struct Case {
        TSocksLevel level;
        const char* host;
    } cases[] = {
        {TSocksLevel::Socks4, "127.0.0.1"}, {TSocksLevel::Socks4, "localhost"},
        {TSocksLevel::Socks5, "127.0.0.1"}, {TSocksLevel::Socks5, "localhost"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(int(c.level)) + " " + c.host);
        data.clear();
        TTcpSocket s(loop);
        ASSERT_EQ(ConnectThrough(s, c.level, danted.Port(), c.host, listener.LocalPort()), 0) << danted.Log();
        EXPECT_EQ(s.PeerPort(), danted.Port());  // the connection itself goes to the relay
        s.Send("through the relay");
        EXPECT_TRUE(loop.PumpUntil([&] { return data == "through the relay"; }, 5s)) << data;

        // A target that refuses is reported as a SOCKS failure, not as success.
        TTcpSocket refused(loop);
        int error = ConnectThrough(refused, c.level, danted.Port(), c.host, closedPort);
        EXPECT_TRUE(error == (c.level == TSocksLevel::Socks5 ? kErrSocks5ReplyBase - 5 : kErrSocks4Rejected))
            << error << " " << SocketErrorText(error);
    }
}

} // namespace
} // namespace tq::test
