// 1 GiB over loopback between two TTcpSockets on two worker loops: the sender keeps the
// kernel buffer full from its data-sent events, the receiver reads into one large buffer.

#include "platform/TcpSocket.h"
#include "platform/WorkerThread.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace tq;

constexpr uint64_t kTotal = uint64_t(1) << 30;

void Transfer(size_t pieceSize, size_t readSize)
{
    TWorkerThread receiverThread, senderThread;
    receiverThread.Start();
    senderThread.Start();

    std::promise<int> listening;
    std::promise<uint64_t> received;
    std::unique_ptr<TTcpSocket> listener, peer, sender;
    std::vector<char> readBuf(readSize);
    uint64_t got = 0;

    receiverThread.Post([&] {
        listener = std::make_unique<TTcpSocket>(receiverThread.Loop());
        listener->OnSessionAvailable = [&](int) {
            peer = listener->Accept();
            peer->OnDataAvailable = [&](int) {
                ssize_t n;
                while ((n = peer->Receive(readBuf.data(), readBuf.size())) > 0)
                    got += uint64_t(n);
                if (n == 0)
                    received.set_value(got);
            };
        };
        listener->Listen("127.0.0.1", "0");
        listening.set_value(listener->LocalPort());
    });
    int port = listening.get_future().get();

    const std::string payload(pieceSize, 'x');
    uint64_t sent = 0;
    senderThread.Post([&] {
        sender = std::make_unique<TTcpSocket>(senderThread.Loop());
        auto pump = [&](int error) {
            if (error)
                return;
            // Send while the kernel takes everything; the rest waits in the queue.
            while (sent < kTotal && sender->SendQueueSize() == 0) {
                size_t n = size_t(std::min<uint64_t>(payload.size(), kTotal - sent));
                sender->Send(std::string_view(payload.data(), n));
                sent += n;
            }
            if (sent == kTotal && sender->SendQueueSize() == 0)
                sender->Close();
        };
        sender->OnSessionConnected = pump;
        sender->OnDataSent = pump;
        sender->Connect("127.0.0.1", std::to_string(port));
    });
    uint64_t total = received.get_future().get();
    if (total != kTotal)
        throw std::runtime_error("transfer incomplete");

    std::promise<void> cleaned1, cleaned2;
    senderThread.Post([&] { sender.reset(); cleaned1.set_value(); });
    receiverThread.Post([&] { peer.reset(); listener.reset(); cleaned2.set_value(); });
    cleaned1.get_future().get();
    cleaned2.get_future().get();
}

void BM_SocketThroughput(benchmark::State& state)
{
    for (auto _ : state)
        Transfer(size_t(state.range(0)), size_t(state.range(1)));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kTotal));
}

BENCHMARK(BM_SocketThroughput)
    ->Args({64 << 10, 64 << 10})
    ->Args({256 << 10, 256 << 10})
    ->Args({1 << 20, 1 << 20})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

// The same transfer with blocking sockets and two plain threads: the machine's ceiling.
void BM_BlockingBaseline(benchmark::State& state)
{
    const size_t piece = size_t(state.range(0));
    for (auto _ : state) {
        int lfd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(lfd, 1) != 0 ||
            getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("listen");
        std::thread writer([&] {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
                throw std::runtime_error("connect");
            std::string buf(piece, 'x');
            uint64_t sent = 0;
            while (sent < kTotal) {
                ssize_t n = send(fd, buf.data(), size_t(std::min<uint64_t>(buf.size(), kTotal - sent)), 0);
                if (n <= 0)
                    break;
                sent += uint64_t(n);
            }
            close(fd);
        });
        int fd = accept(lfd, nullptr, nullptr);
        std::vector<char> buf(piece);
        uint64_t got = 0;
        ssize_t n;
        while ((n = recv(fd, buf.data(), buf.size(), 0)) > 0)
            got += uint64_t(n);
        writer.join();
        close(fd);
        close(lfd);
        if (got != kTotal)
            throw std::runtime_error("baseline incomplete");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kTotal));
}

BENCHMARK(BM_BlockingBaseline)->Arg(256 << 10)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace
