// SFTP download client: one libssh2 session per call of sftp_read, from the TCP connect to the
// copy of the remote file into the file store.
#include "sftp_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libssh2.h>
#include <libssh2_sftp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "active_lock.h"
#include "tavik_log.h"

namespace {

// The copy fills buffers of kChunkSize bytes and a second thread writes them to the local
// file, so that the thread running the session (receiving, decrypting, checking) never waits
// on the file system; kChunkBuffers of them bound the memory. libssh2 keeps up to four times
// the size asked of libssh2_sftp_read requested ahead (a fresh chunk asks for all of it), which
// keeps the server busy without bounding the memory any worse.
constexpr size_t kChunkSize = 1024 * 1024;
constexpr size_t kChunkBuffers = 3;
// Bound of the TCP connect and of every wait of the SSH session.
constexpr int kConnectTimeoutMs = 60 * 1000;
constexpr long kSessionTimeoutMs = 60 * 1000;
constexpr size_t kPromptCopySize = 1024;
constexpr int kDisconnectByApplication = 11;

// libssh2_init and libssh2_exit keep a plain counter; concurrent downloads must not race on it.
std::mutex g_libssh2_init_mutex;

void set_result(sftp_date_struct *rec, int status, const char *message)
{
    rec->status = status;
    snprintf(rec->message, sizeof rec->message, "%s", message);
}

bool terminated(const char *field, size_t size)
{
    return strnlen(field, size) < size;
}

bool parse_port(const char *text, uint16_t *port)
{
    if (*text == '\0' || strlen(text) > 5)
        return false;
    long v = 0;
    for (const char *c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9')
            return false;
        v = v * 10 + (*c - '0');
    }
    if (v < 1 || v > 65535)
        return false;
    *port = static_cast<uint16_t>(v);
    return true;
}

int connect_with_timeout(const char *host, uint16_t port)
{
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    if (inet_pton(AF_INET, host, &sin.sin_addr) != 1)
        return -1;
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0)
        return -1;
    // Every SFTP read request is a small packet of its own. With Nagle's algorithm a request
    // waits for the acknowledgement of the one before, which the server delays, and the
    // pipeline of requests stalls; a failure here only costs speed.
    const int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int rc = connect(s, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd p{s, POLLOUT, 0};
        do {
            rc = poll(&p, 1, kConnectTimeoutMs);
        } while (rc < 0 && errno == EINTR);
        int err = 0;
        socklen_t len = sizeof err;
        rc = (rc == 1 && getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) ? 0 : -1;
    }
    // libssh2 runs the session in blocking mode on this socket.
    if (rc != 0 || fcntl(s, F_SETFL, fcntl(s, F_GETFL) & ~O_NONBLOCK) != 0) {
        close(s);
        return -1;
    }
    return s;
}

bool write_all(int fd, const char *p, size_t len)
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

// Writes filled buffers to a file on a thread of its own, so that writing one chunk overlaps
// with receiving and decrypting the next. The buffers form a ring: the caller fills the one
// Fill gives, hands it over with Queue, and the writer frees them in the same order. Without
// a thread (none could be started) Queue writes in the caller.
class ChunkWriter {
public:
    explicit ChunkWriter(int fd) : fd_(fd) {}
    ~ChunkWriter() { Finish(); }
    ChunkWriter(const ChunkWriter &) = delete;
    ChunkWriter &operator=(const ChunkWriter &) = delete;

    // Allocates the buffers and starts the writer; false when the memory is not there.
    bool Start()
    {
        memory_.reset(new (std::nothrow) char[kChunkSize * kChunkBuffers]);
        if (!memory_)
            return false;
        try {
            thread_ = std::thread(&ChunkWriter::Run, this);
        } catch (const std::system_error &) {
            // Writing in the caller is slower, not wrong.
        }
        return true;
    }

    // The next buffer to fill (kChunkSize bytes), once the writer has freed it; nullptr after a
    // failed write.
    char *Fill()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return queued_ < kChunkBuffers || failed_; });
        return failed_ ? nullptr : Slot((first_ + queued_) % kChunkBuffers);
    }

    // Hands the buffer Fill gave, holding len bytes, to the writer.
    void Queue(size_t len)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        const size_t slot = (first_ + queued_) % kChunkBuffers;
        length_[slot] = len;
        ++queued_;
        if (thread_.joinable()) {
            changed_.notify_all();
            return;
        }
        lock.unlock();
        WriteFirst();
    }

    // Gives up the download: what is still queued is not written.
    void Drop()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        failed_ = true;
    }

    // Waits until every queued buffer is written; false when a write failed or after Drop.
    bool Finish()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finishing_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable())
            thread_.join();
        return !failed_;
    }

private:
    char *Slot(size_t i) { return memory_.get() + i * kChunkSize; }

    void Run()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return queued_ > 0 || finishing_; });
            if (queued_ == 0)
                return;
            lock.unlock();
            WriteFirst();
            lock.lock();
        }
    }

    // Writes the oldest queued buffer (skipped after a failure or Drop) and frees it.
    void WriteFirst()
    {
        size_t slot, len;
        bool failed;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            slot = first_;
            len = length_[slot];
            failed = failed_;
        }
        const bool ok = failed || write_all(fd_, Slot(slot), len);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!ok)
                failed_ = true;
            first_ = (first_ + 1) % kChunkBuffers;
            --queued_;
        }
        changed_.notify_all();
    }

    const int fd_;
    std::unique_ptr<char[]> memory_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    size_t length_[kChunkBuffers] = {};
    size_t first_ = 0;   // the oldest queued buffer
    size_t queued_ = 0;  // buffers queued or being written
    bool failed_ = false;
    bool finishing_ = false;
};

// Fills buf with up to len bytes of the remote file, fewer only at its end. Returns the count,
// or -1 when a read failed (a failed read must not pass for the end of the file).
ssize_t read_chunk(LIBSSH2_SFTP_HANDLE *handle, char *buf, size_t len)
{
    size_t filled = 0;
    while (filled < len) {
        fprintf(stderr, "libssh2_sftp_read()!\n");
        const ssize_t n = libssh2_sftp_read(handle, buf + filled, len - filled);
        if (n == 0)
            break;
        if (n < 0)
            return -1;
        filled += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(filled);
}

// Logs in; returns 0, or sets the failure in rec and returns -1.
int authenticate(LIBSSH2_SESSION *session, sftp_date_struct *rec, sftp_kbd_context *kbd)
{
    const unsigned user_len = static_cast<unsigned>(strlen(rec->userid));
    const char *methods = libssh2_userauth_list(session, rec->userid, user_len);
    if (methods == nullptr && libssh2_userauth_authenticated(session))
        return 0;  // the server let the user in without a method
    fprintf(stderr, "Authentication methods: %s\n", methods != nullptr ? methods : "");

    if (methods != nullptr && strstr(methods, "password") != nullptr) {
        if (libssh2_userauth_password_ex(session, rec->userid, user_len, rec->passwd,
                                         static_cast<unsigned>(strlen(rec->passwd)), nullptr) != 0) {
            printf("Authentication by password failed.\n");
            set_result(rec, SFTP_ERR_AUTH, "Authentication by password failed.");
            return -1;
        }
        return 0;
    }
    if (methods != nullptr && strstr(methods, "keyboard-interactive") != nullptr) {
        snprintf(kbd->password, sizeof kbd->password, "%s", rec->passwd);
        const int rc = libssh2_userauth_keyboard_interactive_ex(session, rec->userid, user_len,
                                                                kbd_callback);
        explicit_bzero(kbd->password, sizeof kbd->password);
        if (rc != 0) {
            set_result(rec, SFTP_ERR_AUTH, "\tAuthentication by keyboard-interactive failed!\n");
            return -1;
        }
        return 0;
    }
    set_result(rec, SFTP_ERR_AUTH,
               "Do not support the sftp authentication methods found! Only support password and "
               "keyboard-interactive \n");
    return -1;
}

// Copies the remote file; returns 0, or sets the failure in rec and returns -1.
int copy_file(LIBSSH2_SESSION *session, sftp_date_struct *rec)
{
    fprintf(stderr, "libssh2_sftp_init()!\n");
    LIBSSH2_SFTP *sftp = libssh2_sftp_init(session);
    if (sftp == nullptr) {
        fprintf(stderr, "Unable to init SFTP session\n");
        set_result(rec, SFTP_ERR_SESSION, "Unable to init SFTP session.");
        return -1;
    }

    fprintf(stderr, "libssh2_sftp_open()!\n");
    LIBSSH2_SFTP_HANDLE *handle =
        libssh2_sftp_open_ex(sftp, rec->remote_file_path,
                             static_cast<unsigned>(strlen(rec->remote_file_path)), LIBSSH2_FXF_READ,
                             0, LIBSSH2_SFTP_OPENFILE);
    if (handle == nullptr) {
        fprintf(stderr, "Unable to open file with SFTP: %ld\n",
                static_cast<long>(libssh2_sftp_last_error(sftp)));
        set_result(rec, SFTP_ERR_REMOTE_FILE, "Unable to open file with SFTP.");
        libssh2_sftp_shutdown(sftp);
        return -1;
    }
    fprintf(stderr, "libssh2_sftp_open() is done, now receive data!\n");

    int rc = 0;
    const int fd = open(rec->local_file_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        fprintf(stderr, "Unable to open local file \n");
        set_result(rec, SFTP_ERR_LOCAL_FILE, "Unable to open local file.");
        rc = -1;
    } else {
        ChunkWriter writer(fd);
        if (!writer.Start()) {
            set_result(rec, SFTP_ERR_LOCAL_FILE, "Unable to write local file.");
            rc = -1;
        }
        while (rc == 0) {
            char *buf = writer.Fill();
            if (buf == nullptr)
                break;  // a write failed; Finish says so
            const ssize_t n = read_chunk(handle, buf, kChunkSize);
            if (n < 0) {
                set_result(rec, SFTP_ERR_REMOTE_FILE, "Unable to read file with SFTP.");
                writer.Drop();
                rc = -1;
                break;
            }
            if (n > 0)
                writer.Queue(static_cast<size_t>(n));
            if (static_cast<size_t>(n) < kChunkSize)
                break;  // the end of the file
        }
        if (!writer.Finish() && rc == 0) {
            set_result(rec, SFTP_ERR_LOCAL_FILE, "Unable to write local file.");
            rc = -1;
        }
        if (close(fd) != 0 && rc == 0) {
            set_result(rec, SFTP_ERR_LOCAL_FILE, "Unable to write local file.");
            rc = -1;
        }
    }
    libssh2_sftp_close_handle(handle);
    libssh2_sftp_shutdown(sftp);
    return rc;
}

void download(sftp_date_struct *rec)
{
    int init_rc;
    {
        std::lock_guard<std::mutex> lock(g_libssh2_init_mutex);
        init_rc = libssh2_init(0);
    }
    if (init_rc != 0) {
        set_result(rec, SFTP_ERR_LIBSSH2_INIT, "libssh2_init failed");
        tavik_log("SFTP: libssh2_init failed");
        return;
    }

    uint16_t port = 0;
    parse_port(rec->port, &port);
    const int sock = connect_with_timeout(rec->hostname, port);
    if (sock < 0) {
        set_result(rec, SFTP_ERR_CONNECT, "connect sock failed");
        tavik_log("SFTP: connect sock failed");
    } else {
        sftp_kbd_context kbd{};
        LIBSSH2_SESSION *session = libssh2_session_init_ex(nullptr, nullptr, nullptr, &kbd);
        if (session == nullptr) {
            set_result(rec, SFTP_ERR_SESSION, "libssh2_session_init failed");
            tavik_log("SFTP: libssh2_session_init failed");
        } else {
            libssh2_session_set_blocking(session, 1);
            libssh2_session_set_timeout(session, kSessionTimeoutMs);
            if (libssh2_session_handshake(session, sock) != 0) {
                set_result(rec, SFTP_ERR_SESSION, "libssh2_session_startup failed");
                tavik_log("SFTP: libssh2_session_startup failed");
            } else {
                const char *fp = libssh2_hostkey_hash(session, LIBSSH2_HOSTKEY_HASH_SHA1);
                fprintf(stderr, "Fingerprint: ");
                for (int i = 0; fp != nullptr && i < 20; ++i)
                    fprintf(stderr, "%02X ", static_cast<unsigned char>(fp[i]));
                fprintf(stderr, "\n");

                if (authenticate(session, rec, &kbd) != 0) {
                    tavik_log("SFTP: %s", rec->message);
                } else if (copy_file(session, rec) != 0) {
                    tavik_log("SFTP: %s", rec->message);
                } else {
                    set_result(rec, SFTP_OK, "SUCCESS");
                    fprintf(stderr, "all done\n");
                    tavik_log("SFTP: SUCCESS.");
                }
            }
            libssh2_session_disconnect_ex(session, kDisconnectByApplication,
                                          "Normal Shutdown, Thank you for playing", "");
            libssh2_session_free(session);
        }
        close(sock);
    }

    std::lock_guard<std::mutex> lock(g_libssh2_init_mutex);
    libssh2_exit();
}

}  // namespace

LIBSSH2_USERAUTH_KBDINT_RESPONSE_FUNC(kbd_callback)
{
    (void)name;
    (void)name_len;
    (void)instruction;
    (void)instruction_len;
    const auto *ctx = abstract != nullptr ? static_cast<const sftp_kbd_context *>(*abstract) : nullptr;
    for (int i = 0; i < num_prompts; ++i) {
        char prompt[kPromptCopySize];
        size_t n = prompts[i].length;
        if (n > sizeof prompt - 1)
            n = sizeof prompt - 1;
        if (prompts[i].text != nullptr)
            memcpy(prompt, prompts[i].text, n);
        else
            n = 0;
        prompt[n] = '\0';
        fprintf(stderr, "auth prompt %d: %s\n", i, prompt);
        if (ctx == nullptr || strcasestr(prompt, "Password") == nullptr)
            continue;
        // libssh2 releases the response with its allocator (free by default).
        const size_t len = strlen(ctx->password);
        char *answer = static_cast<char *>(malloc(len + 1));
        if (answer == nullptr)
            continue;
        memcpy(answer, ctx->password, len + 1);
        responses[i].text = answer;
        responses[i].length = static_cast<unsigned int>(len);
    }
}

void sftp_read(sftp_date_struct *rec)
{
    if (rec == nullptr)
        return;
    uint16_t port;
    if (!terminated(rec->hostname, sizeof rec->hostname) ||
        !terminated(rec->userid, sizeof rec->userid) ||
        !terminated(rec->passwd, sizeof rec->passwd) || !terminated(rec->port, sizeof rec->port) ||
        !terminated(rec->local_file_path, sizeof rec->local_file_path) ||
        !terminated(rec->remote_file_path, sizeof rec->remote_file_path) ||
        rec->local_file_path[0] == '\0' || rec->remote_file_path[0] == '\0' ||
        !parse_port(rec->port, &port)) {
        set_result(rec, SFTP_ERR_PARAMETERS, "error parameters");
        tavik_log("SFTP: error parameters");
        return;
    }
    set_result(rec, SFTP_ERR_PARAMETERS, "");

    if (get_active_lock(rec->local_file_path, XFER_LOCK_OWNER) != 0) {
        fprintf(stderr, "Unable to open local file \n");
        set_result(rec, SFTP_ERR_LOCAL_FILE, "Unable to open local file.");
        tavik_log("SFTP: Unable to open local file.");
        return;
    }
    download(rec);
    // A failed download leaves no file behind; the marker is still held, so the file removed
    // is this download's own.
    if (rec->status != SFTP_OK)
        unlink(rec->local_file_path);
    release_active_lock(rec->local_file_path, XFER_LOCK_OWNER);
}
