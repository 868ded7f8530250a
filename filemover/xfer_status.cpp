#include "xfer_status.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "filelock.h"
#include "sftp_client.h"
#include "tftp_client.h"

namespace {

const char kFailed[] = "Fail to transfer files";
const char kInvalid[] = "Fail to transfer files - Invalid parameter";
const char kNoSpace[] = "Fail to transfer files - Not enough space";
const char kTimeout[] = "Fail to transfer files - Timeout";
const char kAuthFailed[] = "Fail to transfer files - authentication failed";
const char kAuthFailedMethod[] = "Fail to transfer files - authenticate fail";

void put_text(char *buf, int len, const char *text)
{
    if (buf == nullptr || len <= 0)
        return;
    snprintf(buf, static_cast<size_t>(len), "%s", text);
}

// The job number of "<type>-<n>": the decimal number after the first "-". Anything else
// after the "-" (no digits, a sign, trailing text, a value beyond int) is refused, so a
// malformed id never reads another job's file.
bool job_id_of(const char *inst_id, int *jobid)
{
    if (inst_id == nullptr)
        return false;
    const char *dash = strchr(inst_id, '-');
    if (dash == nullptr || dash[1] < '0' || dash[1] > '9')
        return false;
    errno = 0;
    char *end = nullptr;
    const long v = strtol(dash + 1, &end, 10);
    if (errno != 0 || *end != '\0' || v < 0 || v > INT_MAX)
        return false;
    *jobid = static_cast<int>(v);
    return true;
}

}  // namespace

bool util_xfer_status_path(int jobid, char *out, size_t len)
{
    const int n = snprintf(out, len, "%s%d.xferstat", XFER_STATUS_DIR, jobid);
    return n > 0 && static_cast<size_t>(n) < len;
}

int util_write_xfer_status(int jobid, int code)
{
    char path[XFER_STATUS_PATH_SIZE];
    if (!util_xfer_status_path(jobid, path, sizeof path))
        return 1;
    int fd;
    if (GetFileLock(path, FILELOCK_EXCLUSIVE, &fd) != 0)
        return 1;
    ssize_t n;
    do {
        n = pwrite(fd, &code, sizeof code, 0);
    } while (n < 0 && errno == EINTR);
    ReleaseFileLock(fd);
    return n == static_cast<ssize_t>(sizeof code) ? 0 : 1;
}

void setXferStatus(char *buf, int len, int code)
{
    const char *text = kFailed;
    switch (code) {
    case XFER_STATUS_INVALID_PARAMETER: text = kInvalid; break;
    case XFER_STATUS_NO_SPACE: text = kNoSpace; break;
    case XFER_STATUS_TIMEOUT: text = kTimeout; break;
    case XFER_STATUS_AUTH_FAILED: text = kAuthFailed; break;
    default: break;
    }
    if (buf == nullptr || len <= 0)
        return;
    strncpy(buf, text, static_cast<size_t>(len));
    buf[len - 1] = '\0';
}

int util_map_xfer_status(int result, char *buf, int len, int method_rc)
{
    int code, rc;
    const char *text;
    switch (result) {
    case TFTP_OK: code = XFER_STATUS_COMPLETED; rc = 0; text = ""; break;
    case TFTP_TIMED_OUT: code = XFER_STATUS_TIMEOUT; rc = 2; text = kTimeout; break;
    case TFTP_BAD_PARAMETER: code = XFER_STATUS_INVALID_PARAMETER; rc = 3; text = kInvalid; break;
    case TFTP_NO_SPACE: code = XFER_STATUS_NO_SPACE; rc = 4; text = kNoSpace; break;
    default: code = XFER_STATUS_FAILED; rc = 1; text = kFailed; break;
    }
    put_text(buf, len, text);
    return method_rc ? rc : code;
}

int util_map_sftp_status(int status, char *buf, int len, int method_rc)
{
    int code, rc;
    const char *text;
    switch (status) {
    case SFTP_OK: code = XFER_STATUS_COMPLETED; rc = 0; text = ""; break;
    case SFTP_ERR_AUTH: code = XFER_STATUS_AUTH_FAILED; rc = 2; text = kAuthFailedMethod; break;
    case SFTP_ERR_PARAMETERS: code = XFER_STATUS_INVALID_PARAMETER; rc = 3; text = kInvalid; break;
    default: code = XFER_STATUS_FAILED; rc = 1; text = kFailed; break;
    }
    put_text(buf, len, text);
    return method_rc ? rc : code;
}

extern "C" int getXferStatus(const char *inst_id, int *job_state, char *job_status, int size)
{
    int jobid;
    if (job_state == nullptr || job_status == nullptr || size <= 0 || !job_id_of(inst_id, &jobid))
        return 1;
    char path[XFER_STATUS_PATH_SIZE];
    if (!util_xfer_status_path(jobid, path, sizeof path))
        return 1;
    int fd;
    if (GetFileLock(path, 0, &fd) != 0)
        return 1;
    int code = 0;
    ssize_t n;
    do {
        n = pread(fd, &code, sizeof code, 0);
    } while (n < 0 && errno == EINTR);
    ReleaseFileLock(fd);
    if (n != static_cast<ssize_t>(sizeof code))
        return 1;

    const size_t len = static_cast<size_t>(size);
    switch (code) {
    case XFER_STATUS_COMPLETED:
        *job_state = XFER_JOB_COMPLETED;
        strncpy(job_status, "Process Completed", len);
        break;
    case XFER_STATUS_RUNNING:
        *job_state = XFER_JOB_RUNNING;
        strncpy(job_status, "Process Running", len);
        break;
    default:
        *job_state = XFER_JOB_EXCEPTION;
        setXferStatus(job_status, size, code);
        break;
    }
    job_status[size - 1] = '\0';
    return 0;
}

extern "C" int xferStatusCleanup(const char *inst_id)
{
    int jobid;
    if (!job_id_of(inst_id, &jobid))
        return 1;
    char path[XFER_STATUS_PATH_SIZE];
    if (!util_xfer_status_path(jobid, path, sizeof path))
        return 1;
    return unlink(path) == 0 ? 0 : 1;
}
