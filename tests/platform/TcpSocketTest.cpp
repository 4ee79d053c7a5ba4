#include "platform/TcpSocket.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <ctime>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace tq::test {
namespace {

using namespace std::chrono_literals;

// A listener on 127.0.0.1 (any free port) whose accepted sockets echo what they read,
// or only collect it. Lives on the test's loop.
class EchoServer {
public:
    explicit EchoServer(TEventLoop& loop, bool echo = true) : listener_(loop), echo_(echo)
    {
        listener_.OnSessionAvailable = [this](int) {
            auto s = listener_.Accept();
            ASSERT_TRUE(s);
            TTcpSocket* raw = s.get();
            auto peer = std::make_unique<Peer>();
            Peer* p = peer.get();
            raw->OnDataAvailable = [this, raw, p](int) {
                char buf[65536];
                ssize_t n;
                while ((n = raw->Receive(buf, sizeof buf)) > 0) {
                    p->received.append(buf, size_t(n));
                    if (echo_)
                        raw->Send(std::string_view(buf, size_t(n)));
                }
            };
            raw->OnSessionClosed = [p](int error) {
                ++p->closed;
                p->closeError = error;
            };
            p->socket = std::move(s);
            peers.push_back(std::move(peer));
        };
        listener_.Listen("127.0.0.1", "0");
    }
    int Port() const { return listener_.LocalPort(); }

    struct Peer {
        std::unique_ptr<TTcpSocket> socket;
        std::string received;
        int closed = 0;
        int closeError = -1;
    };
    std::vector<std::unique_ptr<Peer>> peers;

private:
    TTcpSocket listener_;
    bool echo_;
};

// Records every event of a client socket, and reads what arrives.
struct Recorder {
    explicit Recorder(TTcpSocket& s, bool read = true)
    {
        s.OnDnsLookupDone = [this](int e) { events.push_back("dns:" + std::to_string(e)); };
        s.OnSessionConnected = [this](int e) {
            connected = e;
            events.push_back("connected:" + std::to_string(e));
        };
        s.OnSessionClosed = [this](int e) {
            ++closed;
            closeError = e;
            events.push_back("closed:" + std::to_string(e));
        };
        s.OnDataSent = [this](int e) { ++sent; sentError = e; };
        if (read)
            s.OnDataAvailable = [this, &s](int) {
                ++readable;
                char buf[65536];
                ssize_t n;
                while ((n = s.Receive(buf, sizeof buf)) > 0)
                    data.append(buf, size_t(n));
                if (n == 0)
                    events.push_back("eof");
                else
                    lastReadError = s.LastError();
            };
    }
    std::vector<std::string> events;
    std::string data;
    int connected = 1, closed = 0, closeError = -1, sent = 0, sentError = -1, readable = 0, lastReadError = 0;
};

class TcpSocketTest : public ::testing::Test {
protected:
    bool Pump(const std::function<bool()>& pred, std::chrono::milliseconds t = 10s) { return loop.PumpUntil(pred, t); }
    void Settle() { loop.PumpUntil([] { return false; }, 100ms); }
    // A client connected to the echo server, with its accepted peer.
    void ConnectClient(TTcpSocket& client, Recorder& rec, EchoServer& server)
    {
        client.Connect("127.0.0.1", std::to_string(server.Port()));
        ASSERT_TRUE(Pump([&] { return rec.connected == 0 && !server.peers.empty(); }));
    }
    TEventLoop loop;
};

TEST_F(TcpSocketTest, ConnectsAndEchoesOverNumericAndNamedHost)
{
    EchoServer server(loop);
    for (std::string host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        TTcpSocket client(loop);
        Recorder rec(client);
        client.Connect(host, std::to_string(server.Port()));
        EXPECT_EQ(client.State(), TSocketState::DnsLookup);
        EXPECT_TRUE(rec.events.empty());  // nothing is raised inside Connect
        ASSERT_TRUE(Pump([&] { return rec.connected != 1; }));
        ASSERT_EQ(rec.events, (std::vector<std::string>{"dns:0", "connected:0"}));
        EXPECT_EQ(client.State(), TSocketState::Connected);
        EXPECT_EQ(client.PeerAddr(), "127.0.0.1");
        EXPECT_EQ(client.PeerPort(), server.Port());
        EXPECT_EQ(client.LocalAddr(), "127.0.0.1");
        EXPECT_GT(client.LocalPort(), 0);
        EXPECT_GT(client.SendBufferSize(), 0);

        client.Send("hello ");
        client.Send(std::string("world"));
        EXPECT_EQ(rec.sent, 0);  // posted, not raised inside Send
        ASSERT_TRUE(Pump([&] { return rec.data == "hello world"; }));
        EXPECT_GE(rec.sent, 1);
        EXPECT_EQ(rec.sentError, 0);
        client.Close();
        Pump([&] { return rec.closed > 0; });
    }
}

TEST_F(TcpSocketTest, Ipv6Loopback)
{
    TTcpSocket listener(loop);
    try {
        listener.Listen("::1", "0");
    } catch (const TSocketException& e) {
        GTEST_SKIP() << "no IPv6 loopback: " << e.what();
    }
    std::unique_ptr<TTcpSocket> accepted;
    listener.OnSessionAvailable = [&](int) { accepted = listener.Accept(); };
    TTcpSocket client(loop);
    Recorder rec(client);
    client.Connect("::1", std::to_string(listener.LocalPort()));
    ASSERT_TRUE(Pump([&] { return rec.connected == 0 && accepted; }));
    EXPECT_EQ(client.PeerAddr(), "::1");
    EXPECT_EQ(accepted->PeerPort(), client.LocalPort());
}

TEST_F(TcpSocketTest, LocalAddressIsBoundBeforeConnecting)
{
    EchoServer server(loop);
    TTcpSocket client(loop);
    Recorder rec(client);
    client.Connect("127.0.0.1", std::to_string(server.Port()), "127.0.0.2");
    ASSERT_TRUE(Pump([&] { return rec.connected != 1 && !server.peers.empty(); }));
    ASSERT_EQ(rec.connected, 0);
    EXPECT_EQ(client.LocalAddr(), "127.0.0.2");
    EXPECT_EQ(server.peers[0]->socket->PeerAddr(), "127.0.0.2");
}

TEST_F(TcpSocketTest, ServiceNamePortsOnListenAndConnect)
{
    // "echo" is 7/tcp in /etc/services; binding it needs root and a free port 7.
    TTcpSocket listener(loop);
    try {
        listener.Listen("127.0.0.1", "echo");
    } catch (const TSocketException& e) {
        GTEST_SKIP() << "cannot listen on port 7: " << e.what();
    }
    EXPECT_EQ(listener.LocalPort(), 7);
    std::unique_ptr<TTcpSocket> accepted;
    listener.OnSessionAvailable = [&](int) { accepted = listener.Accept(); };
    TTcpSocket client(loop);
    Recorder rec(client);
    client.Connect("127.0.0.1", "echo");
    ASSERT_TRUE(Pump([&] { return rec.connected == 0 && accepted; }));
    EXPECT_EQ(client.PeerPort(), 7);
}

TEST_F(TcpSocketTest, FailedLookupsAndConnectsEndWithAnErrorEvent)
{
    const std::string longLabel(70, 'a');  // rejected by the resolver before any query is sent
    const std::string refusedPort = std::to_string(FreeTcpPort());
    struct Case {
        std::string host, port;
        int dnsError;
        int connectError;
    } cases[] = {
        {"127.0.0.1", refusedPort, 0, ECONNREFUSED},
        {longLabel + ".invalid", "80", kErrHostNotFound, kErrHostNotFound},
        {"127.0.0.1", "no-such-service-here", kErrServiceNotFound, kErrServiceNotFound},
        {"localhost", "99999", kErrServiceNotFound, kErrServiceNotFound},
        {"", "80", kErrHostNotFound, kErrHostNotFound},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host + ":" + c.port);
        TTcpSocket client(loop);
        Recorder rec(client);
        client.Connect(c.host, c.port);
        ASSERT_TRUE(Pump([&] { return rec.connected != 1; }));
        EXPECT_EQ(rec.events, (std::vector<std::string>{"dns:" + std::to_string(c.dnsError),
                                                        "connected:" + std::to_string(c.connectError)}));
        Settle();
        EXPECT_EQ(rec.closed, 0);  // a connection that never came up does not close
        EXPECT_EQ(client.State(), TSocketState::Closed);
        EXPECT_EQ(client.LastError(), c.connectError);
        EXPECT_FALSE(SocketErrorText(c.connectError).empty());
    }
}

TEST_F(TcpSocketTest, DnsLookupAloneGivesTheNumericAddress)
{
    TTcpSocket s(loop);
    int result = 1;
    s.OnDnsLookupDone = [&](int e) { result = e; };
    s.DnsLookup("localhost");
    ASSERT_TRUE(Pump([&] { return result != 1; }));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
    EXPECT_EQ(s.State(), TSocketState::Closed);

    // A cancelled lookup raises nothing, even once its thread is done.
    result = 1;
    s.DnsLookup("localhost");
    s.CancelDnsLookup();
    Settle();
    EXPECT_EQ(result, 1);
}

TEST_F(TcpSocketTest, ReceiveReportsWouldBlock)
{
    EchoServer server(loop);
    TTcpSocket client(loop);
    Recorder rec(client, false);
    ConnectClient(client, rec, server);
    char buf[16];
    EXPECT_EQ(client.Receive(buf, sizeof buf), -1);
    EXPECT_EQ(client.LastError(), EAGAIN);
}

// Peer close, local Close and Abort each end with exactly one OnSessionClosed, never raised
// inside the call, and after the data that arrived before.
TEST_F(TcpSocketTest, SessionClosedComesOnce)
{
    enum How { PeerClose, LocalClose, LocalAbort };
    for (How how : {PeerClose, LocalClose, LocalAbort}) {
        SCOPED_TRACE(how);
        EchoServer server(loop, false);
        TTcpSocket client(loop);
        Recorder rec(client);
        ConnectClient(client, rec, server);
        auto& peer = *server.peers[0];
        if (how == PeerClose) {
            peer.socket->Send("bye");
            peer.socket->Close();
            ASSERT_TRUE(Pump([&] { return rec.closed > 0; }));
            EXPECT_EQ(rec.data, "bye");
            EXPECT_EQ(rec.events.back(), "closed:0");
            EXPECT_EQ(rec.events[rec.events.size() - 2], "eof");
        } else {
            if (how == LocalClose)
                client.Close();
            else
                client.Abort();
            EXPECT_EQ(rec.closed, 0);
            EXPECT_EQ(client.State(), TSocketState::Closed);
            client.Close();  // closing again changes nothing
            client.Abort();
            ASSERT_TRUE(Pump([&] { return rec.closed > 0 && peer.closed > 0; }));
            EXPECT_EQ(peer.closeError, how == LocalAbort ? ECONNRESET : 0);
        }
        Settle();
        EXPECT_EQ(rec.closed, 1);
        EXPECT_EQ(client.State(), TSocketState::Closed);
    }
}

// Closing with input not yet read must still end with an orderly close at the peer: the
// kernel would otherwise answer with a reset.
TEST_F(TcpSocketTest, CloseWithUnreadInputIsOrderly)
{
    EchoServer server(loop, false);
    TTcpSocket client(loop);
    Recorder rec(client);
    ConnectClient(client, rec, server);
    client.Pause();
    server.peers[0]->socket->Send("never read");
    Settle();
    client.Close();
    ASSERT_TRUE(Pump([&] { return server.peers[0]->closed > 0; }));
    EXPECT_EQ(server.peers[0]->closeError, 0);
}

TEST_F(TcpSocketTest, ClosingBeforeConnectedEndsWithOneClosedEvent)
{
    EchoServer server(loop);
    for (TSocketState at : {TSocketState::DnsLookup, TSocketState::Connecting}) {
        for (bool abort : {false, true}) {
            SCOPED_TRACE(std::to_string(int(at)) + (abort ? " abort" : " close"));
            TTcpSocket client(loop);
            Recorder rec(client);
            client.Connect(at == TSocketState::DnsLookup ? "localhost" : "127.0.0.1", std::to_string(server.Port()));
            ASSERT_TRUE(Pump([&] { return client.State() == at; }));
            if (abort)
                client.Abort();
            else
                client.Close();
            Settle();
            std::vector<std::string> expected{"closed:0"};
            if (at == TSocketState::Connecting)
                expected.insert(expected.begin(), "dns:0");
            EXPECT_EQ(rec.events, expected);
        }
    }
}

TEST_F(TcpSocketTest, CloseSendsTheWholeQueueFirstUnlessLingerIsZero)
{
    const std::string payload = PatternBytes(8 << 20);
    for (bool resetOnClose : {false, true}) {
        SCOPED_TRACE(resetOnClose);
        EchoServer server(loop, false);
        TTcpSocket client(loop);
        Recorder rec(client);
        ConnectClient(client, rec, server);
        auto& peer = *server.peers[0];
        peer.socket->Pause();  // let the queue fill up behind a full window
        client.Send(payload);
        ASSERT_GT(client.SendQueueSize(), 0u);
        if (resetOnClose)
            client.SetLinger(true, 0);
        client.Close();
        EXPECT_EQ(client.State(), TSocketState::Closing);
        client.Send("ignored after Close");
        Settle();
        peer.socket->Resume();
        ASSERT_TRUE(Pump([&] { return peer.closed > 0 && rec.closed > 0; }));
        EXPECT_EQ(rec.closed, 1);
        EXPECT_EQ(rec.closeError, 0);
        if (resetOnClose) {
            EXPECT_EQ(peer.closeError, ECONNRESET);
        } else {
            EXPECT_EQ(peer.closeError, 0);
            EXPECT_TRUE(peer.received == payload) << peer.received.size() << " of " << payload.size();
        }
    }
}

TEST_F(TcpSocketTest, ListenOnAnyPortAndAccept)
{
    TTcpSocket listener(loop);
    listener.Listen("127.0.0.1", "0");
    EXPECT_EQ(listener.State(), TSocketState::Listening);
    ASSERT_GT(listener.LocalPort(), 0);
    EXPECT_EQ(listener.Accept(), nullptr);  // nobody waits yet
    EXPECT_EQ(listener.LastError(), EAGAIN);

    TTcpSocket busy(loop);
    EXPECT_THROW(busy.Listen("127.0.0.1", std::to_string(listener.LocalPort())), TSocketException);
    EXPECT_EQ(busy.State(), TSocketState::Closed);
    EXPECT_THROW(listener.Connect("127.0.0.1", "1"), TSocketException);

    std::unique_ptr<TTcpSocket> accepted;
    listener.OnSessionAvailable = [&](int e) {
        EXPECT_EQ(e, 0);
        accepted = listener.Accept();
        listener.Close();  // one peer only, as for an active data connection
    };
    int listenerClosed = 0;
    listener.OnSessionClosed = [&](int) { ++listenerClosed; };
    TTcpSocket client(loop);
    Recorder rec(client);
    client.Connect("127.0.0.1", std::to_string(listener.LocalPort()));
    ASSERT_TRUE(Pump([&] { return accepted && rec.connected == 0; }));
    EXPECT_EQ(accepted->State(), TSocketState::Connected);
    EXPECT_EQ(accepted->PeerPort(), client.LocalPort());
    Recorder acc(*accepted);
    accepted->Send("from the accepted side");
    ASSERT_TRUE(Pump([&] { return rec.data == "from the accepted side"; }));
    Settle();
    EXPECT_EQ(listenerClosed, 1);
}

TEST_F(TcpSocketTest, PauseHoldsDataAndCloseUntilResume)
{
    EchoServer server(loop, false);
    TTcpSocket client(loop);
    Recorder rec(client);
    ConnectClient(client, rec, server);
    client.Pause();
    server.peers[0]->socket->Send("held");
    server.peers[0]->socket->Close();
    Settle();
    EXPECT_EQ(rec.readable, 0);
    EXPECT_EQ(rec.closed, 0);
    client.Resume();
    EXPECT_EQ(rec.readable, 0);  // raised from the loop, not inside Resume
    ASSERT_TRUE(Pump([&] { return rec.closed > 0; }));
    EXPECT_EQ(rec.data, "held");
}

TEST_F(TcpSocketTest, PausedSocketWhosePeerResetsDoesNotSpin)
{
    EchoServer server(loop, false);
    TTcpSocket client(loop);
    Recorder rec(client);
    ConnectClient(client, rec, server);
    client.Pause();
    server.peers[0]->socket->Abort();
    // A loop woken over and over by EPOLLERR would burn the whole wait in CPU time.
    auto cpu = [] {
        timespec ts;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
    };
    double before = cpu();
    loop.PumpUntil([] { return false; }, 300ms);
    EXPECT_LT(cpu() - before, 100.0);
    EXPECT_EQ(rec.closed, 0);
    client.Resume();
    ASSERT_TRUE(Pump([&] { return rec.closed > 0; }));
    EXPECT_EQ(rec.closeError, ECONNRESET);
}

// The socket may be destroyed inside any of its own handlers.
TEST_F(TcpSocketTest, DestroyedInsideItsOwnHandlers)
{
    enum Where { InDns, InConnected, InData, InSent, InClosed };
    for (Where where : {InDns, InConnected, InData, InSent, InClosed}) {
        SCOPED_TRACE(where);
        EchoServer server(loop);
        auto client = std::make_unique<TTcpSocket>(loop);
        bool destroyed = false;
        std::function<void(int)> destroy = [&](int) {
            client.reset();
            destroyed = true;
        };
        TTcpSocket* c = client.get();
        c->OnDnsLookupDone = where == InDns ? destroy : nullptr;
        c->OnSessionConnected = [&, c](int) {
            if (where == InConnected)
                return destroy(0);
            c->Send("ping");
            if (where == InClosed)
                c->Close();
        };
        c->OnDataAvailable = where == InData ? destroy : nullptr;
        c->OnDataSent = where == InSent ? destroy : nullptr;
        c->OnSessionClosed = where == InClosed ? destroy : nullptr;
        c->Connect("localhost", std::to_string(server.Port()));
        ASSERT_TRUE(Pump([&] { return destroyed; }));
        Settle();  // events posted before the destruction must find nothing
    }
}

TEST_F(TcpSocketTest, ListenerDestroyedInsideSessionAvailable)
{
    auto listener = std::make_unique<TTcpSocket>(loop);
    listener->Listen("127.0.0.1", "0");
    std::unique_ptr<TTcpSocket> accepted;
    listener->OnSessionAvailable = [&](int) {
        accepted = listener->Accept();
        listener.reset();
    };
    TTcpSocket client(loop);
    Recorder rec(client);
    client.Connect("127.0.0.1", std::to_string(listener->LocalPort()));
    ASSERT_TRUE(Pump([&] { return !listener && rec.connected == 0; }));
    EXPECT_TRUE(accepted);
}

} // namespace
} // namespace tq::test
