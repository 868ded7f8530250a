// A scripted TFTP server for the cases no real server produces on request: ignored options,
// repeated and skipped blocks, odd option acknowledgements, errors, silence, and packets from
// strangers. A test drives it step by step from a thread of its own.
#ifndef QELVO_FILEMOVER_TESTS_TFTP_FAKE_SERVER_H
#define QELVO_FILEMOVER_TESTS_TFTP_FAKE_SERVER_H

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tftptest {

using Packet = std::vector<uint8_t>;

struct Request {
    uint16_t opcode = 0;
    std::string file;
    std::string mode;
    std::vector<std::pair<std::string, std::string>> options;  // in the order sent
    bool Has(const std::string &name) const;
    std::string Option(const std::string &name) const;
};

Packet Data(uint16_t block, const std::string &payload);
Packet Oack(const std::vector<std::pair<std::string, std::string>> &options);
Packet Error(uint16_t code, const std::string &message);
Packet Ack(uint16_t block);
uint16_t Opcode(const Packet &p);
uint16_t Block(const Packet &p);

// A UDP socket on an ephemeral loopback port.
class Socket {
public:
    explicit Socket(const char *ip = "127.0.0.1");
    ~Socket();
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;

    uint16_t port() const;
    const sockaddr_storage &address() const { return addr_; }
    bool SendTo(const Packet &p, const sockaddr_storage &to, socklen_t to_len) const;
    // Waits at most timeout_ms for a datagram; false on timeout.
    bool Receive(Packet *p, sockaddr_storage *from, socklen_t *from_len, int timeout_ms) const;
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    sockaddr_storage addr_{};
};

class FakeServer {
public:
    explicit FakeServer(const char *ip = "127.0.0.1");

    uint16_t port() const { return listen_.port(); }
    std::string port_text() const { return std::to_string(port()); }

    // Waits for a request on the listening port; remembers the client's address.
    bool WaitRequest(Request *rq, int timeout_ms = 3000);
    // Sends from the transfer socket (the server's transfer identifier) to the client.
    bool Send(const Packet &p);
    // Sends from the listening port instead.
    bool SendFromListenPort(const Packet &p);
    // Waits for the next packet of the client on the transfer socket.
    bool Receive(Packet *p, int timeout_ms = 3000);
    // Waits for an ACK of block; false on timeout or another packet.
    bool ExpectAck(uint16_t block, int timeout_ms = 3000);
    // True when nothing arrives on the transfer socket within timeout_ms.
    bool Silent(int timeout_ms);
    // Answers the request with an OACK carrying oack_options, then sends content in blocks of
    // blksize, each acknowledged; false at the first acknowledgement that does not come.
    bool SendFile(const std::string &content, size_t blksize,
                  const std::vector<std::pair<std::string, std::string>> &oack_options);

    const sockaddr_storage &client() const { return client_; }
    socklen_t client_len() const { return client_len_; }

private:
    Socket listen_;
    Socket transfer_;
    sockaddr_storage client_{};
    socklen_t client_len_ = 0;
};

}  // namespace tftptest

#endif
