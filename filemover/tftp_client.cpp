#include "tftp_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "active_lock.h"
#include "filestore.h"
#include "tavik_log.h"
#include "url.h"

namespace {

constexpr mode_t kLocalFileMode = 0644;
// Received data is gathered and written in pieces of this size.
constexpr size_t kWriteBufferSize = 256 * 1024;
// Free space is measured again after this much data, or sooner when it runs short.
constexpr uint64_t kSpaceRecheckBytes = 1024 * 1024;

using Clock = std::chrono::steady_clock;

// Reads a decimal number; false for an empty text or one with other characters. Values
// beyond max are reported as max.
bool parse_decimal(const char *text, uint64_t max, uint64_t *value)
{
    if (*text == '\0')
        return false;
    uint64_t v = 0;
    for (const char *c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9')
            return false;
        const uint64_t digit = static_cast<uint64_t>(*c - '0');
        v = v > (max - digit) / 10 ? max : v * 10 + digit;
    }
    *value = v;
    return true;
}

bool valid_port(const char *port, uint16_t *value)
{
    uint64_t v;
    if (!parse_decimal(port, 65536, &v) || v == 0 || v > 65535)
        return false;
    *value = static_cast<uint16_t>(v);
    return true;
}

// Timeout used for the waits; a value the option cannot carry falls back to a bounded one.
int effective_timeout(int32_t timeout)
{
    if (timeout <= 0)
        return TFTP_DEFAULT_TIMEOUT;
    return std::min<int32_t>(timeout, TFTP_MAX_TIMEOUT);
}

bool timeout_option_valid(int32_t timeout)
{
    return timeout >= TFTP_MIN_TIMEOUT && timeout <= TFTP_MAX_TIMEOUT;
}

void put16(unsigned char *p, uint16_t v)
{
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v & 0xff);
}

// Appends a zero-terminated text to the send buffer; false when it does not fit.
bool put_text(tftp_control *ctl, size_t *pos, const char *text)
{
    const size_t n = strlen(text) + 1;
    if (*pos + n > sizeof ctl->sendbuf)
        return false;
    memcpy(ctl->sendbuf + *pos, text, n);
    *pos += n;
    return true;
}

bool same_host(const sockaddr_storage &a, const sockaddr_storage &b)
{
    if (a.ss_family != b.ss_family)
        return false;
    if (a.ss_family == AF_INET) {
        const auto &x = reinterpret_cast<const sockaddr_in &>(a);
        const auto &y = reinterpret_cast<const sockaddr_in &>(b);
        return x.sin_addr.s_addr == y.sin_addr.s_addr;
    }
    if (a.ss_family == AF_INET6) {
        const auto &x = reinterpret_cast<const sockaddr_in6 &>(a);
        const auto &y = reinterpret_cast<const sockaddr_in6 &>(b);
        return memcmp(&x.sin6_addr, &y.sin6_addr, sizeof x.sin6_addr) == 0;
    }
    return false;
}

uint16_t port_of(const sockaddr_storage &a)
{
    if (a.ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in &>(a).sin_port;
    if (a.ss_family == AF_INET6)
        return reinterpret_cast<const sockaddr_in6 &>(a).sin6_port;
    return 0;
}

ssize_t send_packet(tftp_control *ctl, const unsigned char *data, size_t len)
{
    ssize_t n;
    do {
        n = sendto(ctl->socket, data, len, 0, reinterpret_cast<const sockaddr *>(&ctl->server_addr),
                   ctl->sock_len);
    } while (n < 0 && errno == EINTR);
    return n;
}

// Keeps pkt as the last packet sent and sends it.
ssize_t send_and_keep(tftp_control *ctl, const unsigned char *pkt, size_t len)
{
    if (len > sizeof ctl->sendbuf)
        return -1;
    memmove(ctl->sendbuf, pkt, len);
    ctl->send_len = static_cast<uint16_t>(len);
    return send_packet(ctl, ctl->sendbuf, len);
}

bool write_all(int fd, const unsigned char *p, size_t len)
{
    while (len > 0) {
        const ssize_t n = write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool flush_data(tftp_control *ctl)
{
    const bool ok = write_all(ctl->fd, ctl->wbuf, ctl->wbuf_len);
    ctl->wbuf_len = 0;
    return ok;
}

bool store_data(tftp_control *ctl, const unsigned char *p, size_t len)
{
    if (ctl->wbuf == nullptr)
        return write_all(ctl->fd, p, len);
    if (ctl->wbuf_len + len > ctl->wbuf_size && !flush_data(ctl))
        return false;
    if (len > ctl->wbuf_size)
        return write_all(ctl->fd, p, len);
    memcpy(ctl->wbuf + ctl->wbuf_len, p, len);
    ctl->wbuf_len += len;
    return true;
}

// Whether len more bytes fit on the file store's file system, counting what is buffered.
bool space_for(tftp_control *ctl, size_t len)
{
    if (ctl->since_measure >= kSpaceRecheckBytes || ctl->space_known < len) {
        const uint64_t free_now = util_get_free_space64();
        ctl->space_known = free_now > ctl->wbuf_len ? free_now - ctl->wbuf_len : 0;
        ctl->since_measure = 0;
    }
    if (ctl->space_known < len)
        return false;
    ctl->space_known -= len;
    ctl->since_measure += len;
    return true;
}

}  // namespace

int tftp_set_remotefile(tftp_options *options, const char *remote_path)
{
    if (options == nullptr || remote_path == nullptr)
        return -1;
    const size_t n = strlen(remote_path);
    if (n >= sizeof options->remotefile)
        return -1;
    memset(options->remotefile, 0, sizeof options->remotefile);
    memcpy(options->remotefile, remote_path, n);
    return 0;
}

void tftp_verify_options(tftp_options *options)
{
    if (options->blksize < TFTP_MIN_BLKSIZE || options->blksize > TFTP_MAX_BLKSIZE)
        options->blksize = TFTP_DEFAULT_BLKSIZE;
}

uint16_t tftp_get_opcode(const tftp_control *ctl)
{
    return static_cast<uint16_t>((ctl->buf[0] << 8) | ctl->buf[1]);
}

uint16_t tftp_get_block(const tftp_control *ctl)
{
    return static_cast<uint16_t>((ctl->buf[2] << 8) | ctl->buf[3]);
}

int tftp_ack(tftp_control *ctl, uint16_t block)
{
    // A block behind the expected one is a repeat and is acknowledged again by its own number;
    // anything else acknowledges the expected block.
    const uint16_t behind = static_cast<uint16_t>(ctl->block_num - block);
    const uint16_t number = (behind >= 1 && behind <= 0x8000) ? block : ctl->block_num;
    unsigned char pkt[4];
    put16(pkt, TFTP_OP_ACK);
    put16(pkt + 2, number);
    return static_cast<int>(send_and_keep(ctl, pkt, sizeof pkt));
}

int tftp_send_err(tftp_control *ctl, uint16_t code, const char *message)
{
    unsigned char pkt[TFTP_SENDBUF_SIZE];
    put16(pkt, TFTP_OP_ERROR);
    put16(pkt + 2, code);
    const size_t room = sizeof pkt - 5;
    const size_t n = std::min(strlen(message), room);
    memcpy(pkt + 4, message, n);
    pkt[4 + n] = '\0';
    return static_cast<int>(send_and_keep(ctl, pkt, 4 + n + 1));
}

int tftp_resend(tftp_control *ctl)
{
    if (ctl->send_len == 0)
        return -1;
    return static_cast<int>(send_packet(ctl, ctl->sendbuf, ctl->send_len));
}

int tftp_init_transfer(const char *server, const char *local_path, tftp_control *ctl)
{
    tavik_log("Filetrans : tftp_init_transfer");

    ip_addr_struct ip;
    if (get_ip_addr(server, &ip) != 0 || (ip.ip_type != AF_INET && ip.ip_type != AF_INET6))
        return -1;
    uint16_t port;
    if (!valid_port(ctl->options.port, &port))
        return -1;

    ctl->socket = socket(ip.ip_type, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (ctl->socket < 0)
        return -1;
    tavik_log("Filetrans : tftp_init_transfer port is %s", ctl->options.port);

    memset(&ctl->server_addr, 0, sizeof ctl->server_addr);
    if (ip.ip_type == AF_INET) {
        auto &sin = reinterpret_cast<sockaddr_in &>(ctl->server_addr);
        sin.sin_family = AF_INET;
        sin.sin_port = htons(port);
        memcpy(&sin.sin_addr, ip.ip, 4);
        ctl->sock_len = sizeof(sockaddr_in);
    } else {
        auto &sin6 = reinterpret_cast<sockaddr_in6 &>(ctl->server_addr);
        sin6.sin6_family = AF_INET6;
        sin6.sin6_port = htons(port);
        memcpy(&sin6.sin6_addr, ip.ip, 16);
        ctl->sock_len = sizeof(sockaddr_in6);
    }

    ctl->block_num = 0;
    ctl->buf_size = ctl->options.blksize > 511 ? ctl->options.blksize + 4u : 516u;
    ctl->buf = static_cast<unsigned char *>(malloc(ctl->buf_size));
    if (ctl->buf == nullptr)
        return -1;
    ctl->fd = open(local_path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, kLocalFileMode);
    if (ctl->fd < 0)
        return -1;

    // The file name is everything after the first "/" of the remote path.
    const char *slash = strchr(ctl->options.remotefile, '/');
    if (slash == nullptr)
        return -1;
    char number[16];
    size_t pos = 0;
    put16(ctl->sendbuf, TFTP_OP_RRQ);
    pos = 2;
    bool ok = put_text(ctl, &pos, slash + 1) && put_text(ctl, &pos, "octet");
    if (ok && ctl->options.blksize != TFTP_DEFAULT_BLKSIZE) {
        snprintf(number, sizeof number, "%d", ctl->options.blksize);
        ok = put_text(ctl, &pos, "blksize") && put_text(ctl, &pos, number);
    }
    if (ok && timeout_option_valid(ctl->options.timeout)) {
        snprintf(number, sizeof number, "%d", ctl->options.timeout);
        ok = put_text(ctl, &pos, "timeout") && put_text(ctl, &pos, number);
    }
    ok = ok && put_text(ctl, &pos, "tsize") && put_text(ctl, &pos, "0");
    if (!ok)
        return -1;
    ctl->send_len = static_cast<uint16_t>(pos);

    const ssize_t sent = send_packet(ctl, ctl->sendbuf, ctl->send_len);
    if (sent <= 0)
        return -1;
    tavik_log("Filetrans : tftp_init_transfer exit");
    return static_cast<int>(sent);
}

ssize_t tftp_rcv(tftp_control *ctl)
{
    // The wait is the socket's receive timeout, so that a block costs one system call to
    // receive; it is set again only when the time left differs (after a stray packet).
    const auto deadline = Clock::now() + std::chrono::milliseconds(ctl->wait_ms);
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline)
            return 0;
        const auto left_us = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now).count();
        const int left_ms = static_cast<int>((left_us + 999) / 1000);
        if (left_ms != ctl->rcv_timeout_ms) {
            timeval tv{left_ms / 1000, (left_ms % 1000) * 1000};
            if (setsockopt(ctl->socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0)
                return -1;
            ctl->rcv_timeout_ms = left_ms;
        }

        sockaddr_storage from;
        socklen_t from_len = sizeof from;
        const ssize_t n = recvfrom(ctl->socket, ctl->buf, ctl->buf_size, MSG_TRUNC,
                                   reinterpret_cast<sockaddr *>(&from), &from_len);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;  // the deadline decides
            return -1;
        }
        // RFC 1350 transfer identifiers: the first reply must come from the host the request
        // went to and fixes the server's port; after that only that address and port count.
        // Anything else is dropped without disturbing the transfer.
        if (!same_host(from, ctl->server_addr))
            continue;
        if (ctl->tid_known) {
            if (port_of(from) != port_of(ctl->server_addr))
                continue;
        } else {
            memcpy(&ctl->server_addr, &from, std::min<size_t>(from_len, sizeof from));
            ctl->tid_known = true;
        }
        return n;
    }
}

int tftp_neo_option(tftp_control *ctl, ssize_t len)
{
    if (len < 2 || static_cast<size_t>(len) > ctl->buf_size)
        return TFTP_FAILED;
    const char *p = reinterpret_cast<const char *>(ctl->buf) + 2;
    const char *end = reinterpret_cast<const char *>(ctl->buf) + len;
    // An option the acknowledgement leaves out is declined (RFC 2347): without "blksize" the
    // server sends 512-byte blocks, and its first block would pass for a short last one.
    bool blksize_seen = false;
    while (p < end) {
        const char *name = p;
        const char *name_end = static_cast<const char *>(memchr(name, '\0', end - name));
        if (name_end == nullptr)
            break;
        const char *value = name_end + 1;
        if (value >= end)
            break;
        const char *value_end = static_cast<const char *>(memchr(value, '\0', end - value));
        if (value_end == nullptr)
            break;
        p = value_end + 1;

        uint64_t v = 0;
        if (strcmp(name, "blksize") == 0) {
            blksize_seen = true;
            // The server may only lower the block size. A value below the protocol's minimum
            // would make the end of the file undetectable, so it ends the transfer.
            if (!parse_decimal(value, UINT64_MAX, &v) || v < TFTP_MIN_BLKSIZE)
                return TFTP_FAILED;
            if (v < ctl->options.blksize)
                ctl->options.blksize = static_cast<uint16_t>(v);
        } else if (strcmp(name, "timeout") == 0) {
            if (parse_decimal(value, UINT64_MAX, &v) && v >= TFTP_MIN_TIMEOUT &&
                v <= TFTP_MAX_TIMEOUT && static_cast<int32_t>(v) != ctl->options.timeout) {
                ctl->options.timeout = static_cast<int32_t>(v);
                ctl->wait_ms = ctl->options.timeout * 200;
            }
        } else if (strcmp(name, "tsize") == 0) {
            if (!parse_decimal(value, UINT64_MAX, &v))
                v = 0;
            if (util_get_free_space64() < v)
                return TFTP_NO_SPACE;
        }
    }
    if (!blksize_seen)
        ctl->options.blksize = TFTP_DEFAULT_BLKSIZE;
    return 0;
}

int tftp_process_data(tftp_control *ctl, ssize_t len)
{
    ctl->progress = false;
    // The receive reports a datagram's whole length even when the buffer held only its head:
    // such a packet cannot be read, whatever its kind.
    if (len < 4 || static_cast<size_t>(len) > ctl->buf_size) {
        ctl->state = 1;
        return TFTP_FAILED;
    }
    const uint16_t opcode = tftp_get_opcode(ctl);

    if (opcode == TFTP_OP_DATA) {
        const uint16_t block = tftp_get_block(ctl);
        const size_t payload = static_cast<size_t>(len) - 4;
        // Data before the option acknowledgement means the server ignored the options, and a
        // block larger than the negotiated size would arrive cut: neither can be taken.
        if (!ctl->oack_seen || payload > ctl->options.blksize) {
            ctl->state = 1;
            return TFTP_FAILED;
        }
        const uint16_t behind = static_cast<uint16_t>(ctl->block_num - block);
        if (behind != 0) {
            if (behind <= 0x8000 && behind <= ctl->blocks_done + 1) {
                tftp_ack(ctl, block);  // a repeat: acknowledged again, not written again
                return 0;
            }
            ctl->state = 1;  // ahead of the expected block
            return TFTP_FAILED;
        }

        if (!space_for(ctl, payload)) {
            ctl->state = 1;
            tftp_send_err(ctl, 3, "Not enough space");
            return TFTP_NO_SPACE;
        }
        const bool last = payload != ctl->options.blksize;
        if (!store_data(ctl, ctl->buf + 4, payload) || (last && !flush_data(ctl))) {
            ctl->state = 1;
            return TFTP_FAILED;
        }
        tftp_ack(ctl, block);
        if (last)
            ctl->state = 1;
        ++ctl->block_num;
        ++ctl->blocks_done;
        ctl->progress = true;
        return 0;
    }

    if (opcode == TFTP_OP_OACK) {
        if (ctl->oack_seen) {
            // The server repeats its OACK while our ACK 0 is lost; anything later is wrong.
            if (ctl->blocks_done == 0) {
                tftp_ack(ctl, 0);
                return 0;
            }
            ctl->state = 1;
            return TFTP_FAILED;
        }
        const int rc = tftp_neo_option(ctl, len);
        if (rc != 0) {
            ctl->state = 1;
            return rc;
        }
        ctl->oack_seen = true;
        tftp_ack(ctl, ctl->block_num);
        ++ctl->block_num;
        ctl->progress = true;
        return 0;
    }

    ctl->state = 1;
    return TFTP_FAILED;
}

int tftp_get(const char *server, const char *local_path, const tftp_options *options)
{
    if (server == nullptr || *server == '\0' || local_path == nullptr || *local_path == '\0' ||
        options == nullptr)
        return TFTP_BAD_PARAMETER;
    uint16_t port;
    if (strnlen(options->port, sizeof options->port) == sizeof options->port ||
        !valid_port(options->port, &port))
        return TFTP_BAD_PARAMETER;
    if (strnlen(options->remotefile, sizeof options->remotefile) == sizeof options->remotefile ||
        strchr(options->remotefile, '/') == nullptr)
        return TFTP_BAD_PARAMETER;

    tftp_control ctl{};
    ctl.socket = -1;
    ctl.fd = -1;
    ctl.options = *options;
    tftp_verify_options(&ctl.options);
    ctl.options.txsize = 0;
    ctl.wait_ms = effective_timeout(ctl.options.timeout) * 200;

    if (get_active_lock(local_path, XFER_LOCK_OWNER) != 0)
        return TFTP_FAILED;
    tavik_log("Filetrans : tftp get init port %s", ctl.options.port);

    int result = TFTP_FAILED;
    if (tftp_init_transfer(server, local_path, &ctl) > 0) {
        ctl.wbuf = static_cast<unsigned char *>(malloc(kWriteBufferSize));
        ctl.wbuf_size = ctl.wbuf != nullptr ? kWriteBufferSize : 0;

        int timeouts = 0;
        auto last_progress = Clock::now();
        for (;;) {
            ssize_t n = 0;
            while (timeouts < TFTP_MAX_TIMEOUTS) {
                n = tftp_rcv(&ctl);
                if (n != 0)
                    break;
                tftp_resend(&ctl);
                result = TFTP_TIMED_OUT;
                ++timeouts;
                last_progress = Clock::now();
            }
            if (n < 0) {
                result = TFTP_FAILED;
                break;
            }
            if (n > 0) {
                result = tftp_process_data(&ctl, n);
                // Packets that do not move the transfer on (repeats) must not keep it alive:
                // a wait's worth of them counts as one timeout.
                const auto now = Clock::now();
                if (ctl.progress) {
                    last_progress = now;
                } else if (ctl.state == 0 &&
                           now - last_progress >= std::chrono::milliseconds(ctl.wait_ms)) {
                    result = TFTP_TIMED_OUT;
                    ++timeouts;
                    last_progress = now;
                }
            }
            if (ctl.state == 1 || timeouts >= TFTP_MAX_TIMEOUTS)
                break;
        }
        if (ctl.state == 0 && timeouts >= TFTP_MAX_TIMEOUTS)
            result = TFTP_TIMED_OUT;
    }

    if (ctl.socket >= 0)
        close(ctl.socket);
    if (ctl.fd >= 0 && close(ctl.fd) != 0 && result == TFTP_OK)
        result = TFTP_FAILED;
    free(ctl.buf);
    free(ctl.wbuf);
    if (result != TFTP_OK)
        unlink(local_path);  // still under the marker: no other transfer owns this file now
    release_active_lock(local_path, XFER_LOCK_OWNER);
    return result;
}
