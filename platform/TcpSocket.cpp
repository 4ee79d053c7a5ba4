#include "platform/TcpSocket.h"

#include "platform/Socks.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace tq {

struct TTcpSocket::TLookup {};
struct TTcpSocket::TSocksState {};

std::string SocketErrorText(int error) { return std::strerror(error); }

TTcpSocket::TTcpSocket(TEventLoop& loop) : loop_(loop), alive_(std::make_shared<bool>(true)) {}
TTcpSocket::~TTcpSocket() { *alive_ = false; if (fd_ >= 0) close(fd_); }
void TTcpSocket::Connect(const std::string&, const std::string&, const std::string&) {}
void TTcpSocket::DnsLookup(const std::string&) {}
void TTcpSocket::CancelDnsLookup() {}
void TTcpSocket::SetSocks(TSocksLevel, const std::string&, const std::string&, const std::string&, const std::string&) {}
void TTcpSocket::Listen(const std::string&, const std::string&) {}
std::unique_ptr<TTcpSocket> TTcpSocket::Accept() { return nullptr; }
void TTcpSocket::Send(std::string_view) {}
void TTcpSocket::Send(std::string&&) {}
ssize_t TTcpSocket::Receive(void*, size_t) { return -1; }
void TTcpSocket::Close() {}
void TTcpSocket::Abort() {}
void TTcpSocket::Shutdown(int) {}
void TTcpSocket::SetLinger(bool on, int seconds) { lingerOn_ = on; lingerSeconds_ = seconds; }
void TTcpSocket::Pause() { paused_ = true; }
void TTcpSocket::Resume() { paused_ = false; }
std::string TTcpSocket::LocalAddr() const { return ""; }
int TTcpSocket::LocalPort() const { return 0; }
std::string TTcpSocket::PeerAddr() const { return ""; }
int TTcpSocket::PeerPort() const { return 0; }
int TTcpSocket::SendBufferSize() const { return -1; }

} // namespace tq
