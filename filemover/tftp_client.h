// TFTP download client: RFC 1350 read requests with the option extension (RFC 2347) and the
// blksize, timeout and tsize options (RFC 2348, RFC 2349), over IPv4 or IPv6.
#ifndef QELVO_FILEMOVER_TFTP_CLIENT_H
#define QELVO_FILEMOVER_TFTP_CLIENT_H

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#define TFTP_PORT_SIZE 10
#define TFTP_REMOTEFILE_SIZE 80
#define TFTP_SENDBUF_SIZE 250

#define TFTP_DEFAULT_BLKSIZE 512
#define TFTP_MIN_BLKSIZE 8
#define TFTP_MAX_BLKSIZE 65464
#define TFTP_DEFAULT_TIMEOUT 60
// RFC 2349 range of the timeout option.
#define TFTP_MIN_TIMEOUT 1
#define TFTP_MAX_TIMEOUT 255
// Silent waits a transfer tolerates; each lasts a fifth of the timeout.
#define TFTP_MAX_TIMEOUTS 5

enum {
    TFTP_OP_RRQ = 1,
    TFTP_OP_WRQ = 2,
    TFTP_OP_DATA = 3,
    TFTP_OP_ACK = 4,
    TFTP_OP_ERROR = 5,
    TFTP_OP_OACK = 6,
};

// Results of tftp_get.
enum {
    TFTP_OK = 0,
    TFTP_FAILED = -1,
    TFTP_BAD_PARAMETER = -2,
    TFTP_TIMED_OUT = -3,
    TFTP_NO_SPACE = -4,
};

struct tftp_options {
    uint32_t txsize;                          // transfer size sent in the request; always 0
    int32_t timeout;                          // seconds; 60 by default
    uint16_t blksize;                         // requested block size; 512 by default
    char port[TFTP_PORT_SIZE];                // server port, decimal text
    char remotefile[TFTP_REMOTEFILE_SIZE];    // remote path, starting with "/"
};

struct tftp_control {
    int socket;
    int fd;                          // the local file
    sockaddr_storage server_addr;    // where requests go; the server's transfer port once known
    socklen_t sock_len;              // 16 for IPv4, 28 for IPv6
    tftp_options options;            // working copy; the server's OACK may change it
    uint16_t block_num;              // next expected block number
    uint8_t state;                   // 0 running, 1 finished
    unsigned char *buf;              // receive buffer
    size_t buf_size;
    unsigned char sendbuf[TFTP_SENDBUF_SIZE];  // last packet sent, for retransmission
    uint16_t send_len;

    // Transfer identifier (RFC 1350): once the first reply came from the server's address,
    // only packets from that address and port belong to the transfer.
    bool tid_known;
    bool oack_seen;
    bool progress;            // the last processed packet moved the transfer on
    uint64_t blocks_done;     // DATA blocks accepted so far
    int wait_ms;              // limit of one wait
    int rcv_timeout_ms;       // receive timeout set on the socket (0: none yet)
    // Received data not yet written to the local file.
    unsigned char *wbuf;
    size_t wbuf_size;
    size_t wbuf_len;
    uint64_t space_known;     // free bytes last measured, less what was accepted since
    uint64_t since_measure;   // bytes accepted since free space was last measured
};

// Fetches options->remotefile from server (IPv4 or IPv6 literal, or host name) into the local
// file local_path, holding the file-in-use marker of local_path for the whole transfer.
// Returns TFTP_OK, TFTP_FAILED (also when local_path is in use), TFTP_BAD_PARAMETER (missing
// server or local path, a port that is not a decimal number from 1 to 65535, a remote path
// that does not fit its field or has no "/"), TFTP_TIMED_OUT or TFTP_NO_SPACE.
// After a failure past the marker the local file is removed while the marker is still held,
// so a failed transfer leaves nothing behind (and never removes a file another transfer owns).
int tftp_get(const char *server, const char *local_path, const tftp_options *options);

// Fills the remote path of options; -1 (and nothing copied) when it does not fit.
int tftp_set_remotefile(tftp_options *options, const char *remote_path);

// Replaces a block size below 8 or above 65464 by 512.
void tftp_verify_options(tftp_options *options);

// Resolves the server, opens the socket and the local file, and sends the read request.
// Returns the bytes sent (> 0), or <= 0 on failure.
int tftp_init_transfer(const char *server, const char *local_path, tftp_control *ctl);

// Waits (at most ctl->wait_ms) for a packet of the transfer. Returns its length (which may
// exceed the buffer: the datagram was then cut), 0 on timeout, negative on error.
ssize_t tftp_rcv(tftp_control *ctl);

int tftp_resend(tftp_control *ctl);

// Handles a received packet of len bytes (as tftp_rcv reported it). 0 to go on, TFTP_FAILED or
// TFTP_NO_SPACE (with state 1). A packet shorter than 4 bytes or longer than the receive buffer
// fails the transfer.
int tftp_process_data(tftp_control *ctl, ssize_t len);

// Reads the option acknowledgement of len bytes in the receive buffer. 0, TFTP_NO_SPACE when the
// announced size does not fit, TFTP_FAILED when an option value is unusable or len does not lie
// within the buffer.
int tftp_neo_option(tftp_control *ctl, ssize_t len);

int tftp_ack(tftp_control *ctl, uint16_t block);
int tftp_send_err(tftp_control *ctl, uint16_t code, const char *message);
uint16_t tftp_get_opcode(const tftp_control *ctl);
uint16_t tftp_get_block(const tftp_control *ctl);

#endif
