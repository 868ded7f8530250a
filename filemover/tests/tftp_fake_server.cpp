#include "tftp_fake_server.h"

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace tftptest {

namespace {

void put16(Packet &p, uint16_t v)
{
    p.push_back(static_cast<uint8_t>(v >> 8));
    p.push_back(static_cast<uint8_t>(v & 0xff));
}

void put_text(Packet &p, const std::string &s)
{
    p.insert(p.end(), s.begin(), s.end());
    p.push_back(0);
}

}  // namespace

bool Request::Has(const std::string &name) const
{
    for (const auto &o : options)
        if (o.first == name)
            return true;
    return false;
}

std::string Request::Option(const std::string &name) const
{
    for (const auto &o : options)
        if (o.first == name)
            return o.second;
    return "";
}

Packet Data(uint16_t block, const std::string &payload)
{
    Packet p;
    put16(p, 3);
    put16(p, block);
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

Packet Oack(const std::vector<std::pair<std::string, std::string>> &options)
{
    Packet p;
    put16(p, 6);
    for (const auto &o : options) {
        put_text(p, o.first);
        put_text(p, o.second);
    }
    return p;
}

Packet Error(uint16_t code, const std::string &message)
{
    Packet p;
    put16(p, 5);
    put16(p, code);
    put_text(p, message);
    return p;
}

Packet Ack(uint16_t block)
{
    Packet p;
    put16(p, 4);
    put16(p, block);
    return p;
}

uint16_t Opcode(const Packet &p)
{
    return p.size() >= 2 ? static_cast<uint16_t>(p[0] << 8 | p[1]) : 0;
}

uint16_t Block(const Packet &p)
{
    return p.size() >= 4 ? static_cast<uint16_t>(p[2] << 8 | p[3]) : 0;
}

Socket::Socket(const char *ip)
{
    const bool v6 = strchr(ip, ':') != nullptr;
    fd_ = socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        throw std::runtime_error("socket");
    socklen_t len;
    if (v6) {
        auto &a = reinterpret_cast<sockaddr_in6 &>(addr_);
        a.sin6_family = AF_INET6;
        inet_pton(AF_INET6, ip, &a.sin6_addr);
        len = sizeof a;
    } else {
        auto &a = reinterpret_cast<sockaddr_in &>(addr_);
        a.sin_family = AF_INET;
        inet_pton(AF_INET, ip, &a.sin_addr);
        len = sizeof a;
    }
    if (bind(fd_, reinterpret_cast<sockaddr *>(&addr_), len) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr *>(&addr_), &len) != 0) {
        close(fd_);
        throw std::runtime_error(std::string("bind ") + ip);
    }
}

Socket::~Socket()
{
    if (fd_ >= 0)
        close(fd_);
}

uint16_t Socket::port() const
{
    if (addr_.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 &>(addr_).sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in &>(addr_).sin_port);
}

bool Socket::SendTo(const Packet &p, const sockaddr_storage &to, socklen_t to_len) const
{
    return sendto(fd_, p.data(), p.size(), 0, reinterpret_cast<const sockaddr *>(&to), to_len) ==
           static_cast<ssize_t>(p.size());
}

bool Socket::Receive(Packet *p, sockaddr_storage *from, socklen_t *from_len, int timeout_ms) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() < 0)
            return false;
        pollfd pf{fd_, POLLIN, 0};
        const int r = poll(&pf, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p->resize(70000);
        *from_len = sizeof *from;
        const ssize_t n =
            recvfrom(fd_, p->data(), p->size(), 0, reinterpret_cast<sockaddr *>(from), from_len);
        if (n < 0)
            return false;
        p->resize(static_cast<size_t>(n));
        return true;
    }
}

FakeServer::FakeServer(const char *ip) : listen_(ip), transfer_(ip) {}

bool FakeServer::WaitRequest(Request *rq, int timeout_ms)
{
    Packet p;
    if (!listen_.Receive(&p, &client_, &client_len_, timeout_ms) || p.size() < 2)
        return false;
    *rq = Request();
    rq->opcode = Opcode(p);
    std::vector<std::string> texts;
    size_t i = 2;
    while (i < p.size()) {
        size_t j = i;
        while (j < p.size() && p[j] != 0)
            ++j;
        texts.emplace_back(reinterpret_cast<const char *>(p.data()) + i, j - i);
        i = j + 1;
    }
    if (texts.size() >= 1)
        rq->file = texts[0];
    if (texts.size() >= 2)
        rq->mode = texts[1];
    for (size_t k = 2; k + 1 < texts.size(); k += 2)
        rq->options.emplace_back(texts[k], texts[k + 1]);
    return true;
}

bool FakeServer::Send(const Packet &p)
{
    return transfer_.SendTo(p, client_, client_len_);
}

bool FakeServer::SendFromListenPort(const Packet &p)
{
    return listen_.SendTo(p, client_, client_len_);
}

bool FakeServer::Receive(Packet *p, int timeout_ms)
{
    sockaddr_storage from;
    socklen_t from_len;
    return transfer_.Receive(p, &from, &from_len, timeout_ms);
}

bool FakeServer::ExpectAck(uint16_t block, int timeout_ms)
{
    Packet p;
    return Receive(&p, timeout_ms) && Opcode(p) == 4 && Block(p) == block;
}

bool FakeServer::Silent(int timeout_ms)
{
    Packet p;
    return !Receive(&p, timeout_ms);
}

bool FakeServer::SendFile(const std::string &content, size_t blksize,
                          const std::vector<std::pair<std::string, std::string>> &oack_options)
{
    if (!Send(Oack(oack_options)) || !ExpectAck(0))
        return false;
    for (uint16_t block = 1;; ++block) {
        const std::string piece = content.substr(std::min(content.size(), (block - 1) * blksize), blksize);
        if (!Send(Data(block, piece)) || !ExpectAck(block))
            return false;
        if (piece.size() < blksize)
            return true;
    }
}

}  // namespace tftptest
