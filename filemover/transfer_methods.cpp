// Qelvo_FileTransferService: the transfer methods. TransferViaURL (also served as
// TransferViaTFTP) fetches a file by TFTP or SFTP into the file store, synchronously or as a job
// of the job ledger; TransferViaByteStream receives a file from the client in fragments.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <cmpidt.h>
#include <cmpift.h>
#include <cmpimacs.h>

#include "active_lock.h"
#include "filestore.h"
#include "fileutil.h"
#include "path_guard.h"
#include "provider_internal.h"
#include "sftp_client.h"
#include "tavik_log.h"
#include "tftp_client.h"
#include "url.h"
#include "xfer_status.h"
#include "xfer_worker.h"

namespace ftsvc {

namespace {

constexpr const char *kBadSourceUri = "Invalid parameter SourceURI.";
constexpr const char *kBadProtocol = "Invalid parameter - only TFTP/SFTP protocol is supported.";
constexpr const char *kJobClassName = "CIM_ConcreteJob";
constexpr size_t kMessageSize = 400;
// Pieces in which a byte-stream fragment goes to the file.
constexpr size_t kWriteChunk = 1024 * 1024;

enum class Mode { Sync, Async, Invalid };

// TransferOptions: 0 asks for a synchronous transfer, 1 for an asynchronous one; other values
// do not count. Neither (or no array) means asynchronous; both is an error.
Mode transfer_mode(const CMPIArgs *in)
{
    CMPIData d = arg_of_type(in, "TransferOptions", CMPI_uint16A);
    if (d.type != CMPI_uint16A)
        return Mode::Async;
    bool sync = false, async = false;
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    const CMPICount n = CMGetArrayCount(d.value.array, &rc);
    if (rc.rc != CMPI_RC_OK)
        return Mode::Async;
    for (CMPICount i = 0; i < n; ++i) {
        rc.rc = CMPI_RC_OK;
        CMPIData e = CMGetArrayElementAt(d.value.array, i, &rc);
        if (rc.rc != CMPI_RC_OK || e.type != CMPI_uint16 || (e.state & CMPI_nullValue) != 0)
            continue;
        if (e.value.uint16 == 0)
            sync = true;
        else if (e.value.uint16 == 1)
            async = true;
    }
    if (sync && async)
        return Mode::Invalid;
    return sync ? Mode::Sync : Mode::Async;
}

std::string destination_uri(const char *local)
{
    return std::string("file:/") + local;
}

// Wipes a buffer that held a password when it goes out of scope, on every way out.
class Wipe {
public:
    Wipe(void *p, size_t n) : p_(p), n_(n) {}
    ~Wipe() { explicit_bzero(p_, n_); }
    Wipe(const Wipe &) = delete;
    Wipe &operator=(const Wipe &) = delete;

private:
    void *p_;
    size_t n_;
};

// Copies text into a fixed field; false (field emptied) when it does not fit.
bool fill(char *field, size_t size, const char *text)
{
    const size_t n = strlen(text);
    if (n >= size) {
        field[0] = '\0';
        return false;
    }
    memcpy(field, text, n + 1);
    return true;
}

// The job of an asynchronous transfer: ledger record, running status, worker. On success the
// instance id is in inst_id and the Job reference has been added.
Answer start_job(const Call &call, xfer_thread_arg *arg, xfer_kind kind)
{
    char inst_id[XFER_JOB_ID_SIZE];
    int jobid = -1;
    if (util_create_xfer_job(inst_id, sizeof inst_id, &jobid) != 0)
        return Fail(1, "Fail to create job instance");
    arg->jobid = jobid;

    // The reference is made before the worker starts, so that a job whose reference cannot be
    // handed out never runs unseen.
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    CMPIString *ns = call.ref != nullptr ? CMGetNameSpace(call.ref, &rc) : nullptr;
    const char *ns_chars = ns != nullptr ? CMGetCharsPtr(ns, nullptr) : nullptr;
    rc.rc = CMPI_RC_OK;
    CMPIObjectPath *job = CMNewObjectPath(broker, ns_chars, kJobClassName, &rc);
    if (job == nullptr || rc.rc != CMPI_RC_OK || CMAddKey(job, "InstanceID", inst_id, CMPI_chars).rc != CMPI_RC_OK) {
        util_write_xfer_status(jobid, XFER_STATUS_FAILED);
        return Fail(1, "Fail to create job instance");
    }

    if (util_start_xfer_thread(arg, kind) != 0) {
        util_write_xfer_status(jobid, XFER_STATUS_FAILED);
        return Fail(1, "Fail to create file transfer thread.");
    }
    add_out(call.out, "Job", reinterpret_cast<const CMPIValue *>(&job), CMPI_ref);
    return Ok(6);
}

Answer transfer_tftp(const Call &call, const url_struct &url, const char *local, Mode mode)
{
    tftp_options op;
    memset(&op, 0, sizeof op);
    op.txsize = 0;
    op.blksize = TFTP_DEFAULT_BLKSIZE;
    op.timeout = TFTP_DEFAULT_TIMEOUT;
    CMPIData blksize = arg_of_type(call.in, "BlockSize", CMPI_uint16);
    if (blksize.type == CMPI_uint16)
        op.blksize = blksize.value.uint16;
    CMPIData timeout = arg_of_type(call.in, "Timeout", CMPI_sint32);
    if (timeout.type == CMPI_sint32)
        op.timeout = timeout.value.sint32;
    fill(op.port, sizeof op.port, url.port);
    // A remote path is never cut: a shortened path would fetch another file.
    if (tftp_set_remotefile(&op, url.path) != 0) {
        char msg[kMessageSize];
        const int rv = util_map_xfer_status(TFTP_BAD_PARAMETER, msg, sizeof msg, 1);
        return Fail(static_cast<CMPIUint32>(rv), msg);
    }

    if (mode == Mode::Async) {
        std::unique_ptr<xfer_thread_arg> arg(new xfer_thread_arg);
        memset(arg.get(), 0, sizeof *arg);
        if (!fill(arg->filename, sizeof arg->filename, local) ||
            !fill(arg->hostname, sizeof arg->hostname, url.hostname))
            return Fail(3, kBadSourceUri);
        arg->tftp_op = op;
        return start_job(call, arg.get(), XFER_TFTP);
    }

    // The client removes its own partial file while it still holds the file's marker; a
    // transfer refused because another one owns the file must leave that file alone.
    const int result = tftp_get(url.hostname, local, &op);
    if (result == TFTP_OK)
        return Ok(0);
    char msg[kMessageSize];
    const int rv = util_map_xfer_status(result, msg, sizeof msg, 1);
    return Fail(static_cast<CMPIUint32>(rv), msg);
}

Answer transfer_sftp(const Call &call, const url_struct &url, const char *local, Mode mode)
{
    std::unique_ptr<xfer_thread_arg> arg(new xfer_thread_arg);
    memset(arg.get(), 0, sizeof *arg);
    sftp_date_struct &rec = arg->sftp_op;
    const Wipe wipe(rec.passwd, sizeof rec.passwd);  // the worker has its own copy
    if (!fill(rec.hostname, sizeof rec.hostname, url.hostname) || !fill(rec.userid, sizeof rec.userid, url.userid) ||
        !fill(rec.passwd, sizeof rec.passwd, url.passwd) || !fill(rec.port, sizeof rec.port, url.port) ||
        !fill(rec.local_file_path, sizeof rec.local_file_path, local) ||
        !fill(rec.remote_file_path, sizeof rec.remote_file_path, url.path))
        return Fail(3, kBadSourceUri);

    if (mode == Mode::Async)
        return start_job(call, arg.get(), XFER_SFTP);

    sftp_read(&rec);
    if (rec.status == SFTP_OK)
        return Ok(0);
    rec.message[sizeof rec.message - 1] = '\0';
    const int rv = util_map_sftp_status(rec.status, nullptr, 0, 1);
    return Fail(static_cast<CMPIUint32>(rv), rec.message);
}

}  // namespace

Answer TransferViaURL(const Call &call)
{
    const char *source = arg_text(call.in, "SourceURI");
    if (source == nullptr)
        return Fail(3, kBadSourceUri);

    // A URI wrapped in double quotes is taken without them. The copy and the parsed URL hold the
    // password: both are wiped on the way out.
    std::string uri(source);
    const Wipe wipe_uri(&uri[0], uri.size());
    if (!uri.empty() && uri.back() == '"')
        uri.pop_back();
    if (!uri.empty() && uri.front() == '"')
        uri.erase(0, 1);

    url_struct url;
    const Wipe wipe_url(url.passwd, sizeof url.passwd);
    if (parse_url(uri.c_str(), &url) != 0 || (strcmp(url.protocol, "tftp") != 0 && strcmp(url.protocol, "sftp") != 0))
        return Fail(3, kBadProtocol);
    // The password never reaches the log.
    tavik_log("Filetrans :FileTransferServiceInvokeMethod, protocol:%s,hostname:%s,userid:%s,passwd:%s,port:%s,path:%s",
              url.protocol, url.hostname, url.userid, url.passwd[0] != '\0' ? "********" : "", url.port, url.path);

    // The file keeps the last component of the remote path; a name that could leave the store or
    // pass for a file-in-use marker is refused.
    const char *file = util_plain_file_name(util_get_file_from_uri(url.path));
    if (file == nullptr)
        return Fail(3, kBadSourceUri);

    const Mode mode = transfer_mode(call.in);
    if (mode == Mode::Invalid)
        return Fail(3, "Invalid TransferOptions", CMPI_RC_ERR_INVALID_PARAMETER);

    char local[XFER_FILENAME_SIZE];
    const int n = util_full_name(FILE_STORE_DIR, file, local, sizeof local);
    if (n < 0 || static_cast<size_t>(n) >= sizeof local)
        return Fail(3, kBadSourceUri);
    util_create_file_store(FILE_STORE_DIR);

    Answer answer = strcmp(url.protocol, "tftp") == 0 ? transfer_tftp(call, url, local, mode)
                                                      : transfer_sftp(call, url, local, mode);
    if (answer.rc == CMPI_RC_OK) {
        const std::string dest = destination_uri(local);
        add_out_text(call.out, "DestinationURI", dest.c_str());
    }
    return answer;
}

Answer TransferViaByteStream(const Call &call)
{
    const char *name = arg_text(call.in, "FileName");
    CMPIData image = arg_of_type(call.in, "SourceImage", CMPI_uint8A);
    CMPIData flag = arg_of_type(call.in, "FragmentationFlag", CMPI_uint8);
    CMPIData offset_arg = arg_of_type(call.in, "FragmentOffset", CMPI_uint32);

    // Both the name and the bytes are required; without them nothing is written.
    if (name == nullptr)
        return Fail(3, "Invalid parameter FileName.");
    if (image.type != CMPI_uint8A) {
        // An array of another element type is the client's wrong image, answered below as the
        // image's type; anything else is no image at all.
        CMPIStatus rc = {CMPI_RC_OK, nullptr};
        CMPIData raw = call.in != nullptr ? CMGetArg(call.in, "SourceImage", &rc) : CMPIData{};
        if (call.in != nullptr && rc.rc == CMPI_RC_OK && (raw.type & CMPI_ARRAY) != 0 &&
            (raw.state & CMPI_nullValue) == 0 && raw.value.array != nullptr)
            image = raw;
        else
            return Fail(3, "Invalid parameter SourceImage.");
    }
    if (call.in != nullptr) {
        CMPIStatus rc = {CMPI_RC_OK, nullptr};
        CMPIData raw = CMGetArg(call.in, "FragmentOffset", &rc);
        if (rc.rc == CMPI_RC_OK && (raw.state & CMPI_nullValue) == 0 && raw.type != CMPI_uint32)
            return Fail(3, "Invalid parameter FragmentOffset.");
    }
    const CMPIUint32 offset = offset_arg.type == CMPI_uint32 ? offset_arg.value.uint32 : 0;
    tavik_log("Filetrans : TransferViaByteStream FileName %s, FragmentationFlag %u, FragmentOffset %u", name,
              flag.type == CMPI_uint8 ? static_cast<unsigned>(flag.value.uint8) : 0u, static_cast<unsigned>(offset));

    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    const CMPICount count = CMGetArrayCount(image.value.array, &rc);
    if (rc.rc != CMPI_RC_OK)
        return Fail(3, "Invalid parameter SourceImage.");
    if (util_get_free_space64() < count)
        return Fail(3, "Not enough space.");

    // The name is stored as it is, directly in the store: ".." or an inner "/" would place the
    // file elsewhere.
    const char *file = util_plain_file_name(name);
    if (file == nullptr)
        return Fail(3, "Invalid parameter FileName - a plain file name is required.");
    char local[XFER_FILENAME_SIZE];
    const int n = util_full_name(FILE_STORE_DIR, file, local, sizeof local);
    if (n < 0 || static_cast<size_t>(n) >= sizeof local)
        return Fail(3, "Invalid parameter FileName - the name is too long.");
    util_create_file_store(FILE_STORE_DIR);

    if (get_active_lock(local, XFER_LOCK_OWNER) != 0)
        return Fail(1, "Could not get the file lock.");

    const int flags = offset == 0 ? O_WRONLY | O_CREAT | O_TRUNC : O_RDWR;
    const int fd = open(local, flags | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        release_active_lock(local, XFER_LOCK_OWNER);
        return Fail(1, "Could not open the file.");
    }
    if (lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(-1)) {
        close(fd);
        release_active_lock(local, XFER_LOCK_OWNER);
        return Fail(1, "Could not seek the file.");
    }

    // The bytes go out in large pieces. An element of another type than uint8 ends the call;
    // what came before it stays written.
    Answer answer = Ok(0);
    std::unique_ptr<unsigned char[]> chunk(new unsigned char[kWriteChunk]);
    size_t filled = 0;
    bool write_failed = false;
    auto flush = [&]() {
        size_t done = 0;
        while (done < filled && !write_failed) {
            const ssize_t w = write(fd, chunk.get() + done, filled - done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                write_failed = true;
            else
                done += static_cast<size_t>(w);
        }
        filled = 0;
    };
    for (CMPICount i = 0; i < count && !write_failed; ++i) {
        rc.rc = CMPI_RC_OK;
        CMPIData e = CMGetArrayElementAt(image.value.array, i, &rc);
        if (rc.rc != CMPI_RC_OK || e.type != CMPI_uint8 || (e.state & CMPI_nullValue) != 0) {
            answer = Fail(2, "Invalid source image array type.");
            break;
        }
        chunk[filled++] = e.value.uint8;
        if (filled == kWriteChunk)
            flush();
    }
    if (!write_failed)
        flush();
    if (close(fd) != 0)
        write_failed = true;
    release_active_lock(local, XFER_LOCK_OWNER);
    if (write_failed)
        return Fail(1, "Could not write the file.");
    if (answer.rc != CMPI_RC_OK)
        return answer;

    const std::string dest = destination_uri(local);
    add_out_text(call.out, "DestinationURI", dest.c_str());
    return Ok(0);
}

}  // namespace ftsvc
