// Transfer status files and the job handlers the job ledger calls.
//
// An asynchronous transfer's worker writes its outcome as one status code into
// /tmp/sfcb/<job id>.xferstat; the ledger's refresh calls getXferStatus, which turns the code
// into a CIM job state and status text, and its removal calls xferStatusCleanup.
#ifndef QELVO_FILEMOVER_XFER_STATUS_H
#define QELVO_FILEMOVER_XFER_STATUS_H

#include <cstddef>

#define XFER_STATUS_DIR "/tmp/sfcb/"
#define XFER_STATUS_PATH_SIZE 256

enum {
    XFER_STATUS_COMPLETED = 0x20000,
    XFER_STATUS_RUNNING = 0x20001,
    XFER_STATUS_FAILED = 0x20002,
    XFER_STATUS_INVALID_PARAMETER = 0x20003,
    XFER_STATUS_NO_SPACE = 0x20004,
    XFER_STATUS_TIMEOUT = 0x20005,
    XFER_STATUS_AUTH_FAILED = 0x20006,
};

// CIM JobState values reported for transfers.
enum {
    XFER_JOB_RUNNING = 4,
    XFER_JOB_COMPLETED = 7,
    XFER_JOB_EXCEPTION = 10,
};

// "/tmp/sfcb/<jobid>.xferstat" into out; false when it does not fit.
bool util_xfer_status_path(int jobid, char *out, size_t len);

// Writes code at offset 0 of the job's status file under an exclusive lock. 0, or 1 when the
// file cannot be opened and locked or the code was not written whole.
int util_write_xfer_status(int jobid, int code);

// Copies the failure text of code into buf (at most len bytes, terminated when len > 0).
void setXferStatus(char *buf, int len, int code);

// Map a TFTP result / an SFTP status to the status code (method_rc 0) or to the method return
// value (method_rc != 0); when buf is given, the message text is written into it.
int util_map_xfer_status(int result, char *buf, int len, int method_rc);
int util_map_sftp_status(int status, char *buf, int len, int method_rc);

extern "C" {

// Job ledger update handler for "FileTransfer-<n>": reads /tmp/sfcb/<n>.xferstat under a shared
// lock. 0 with *job_state and job_status (at most size bytes, terminated) filled; 1 when the
// id has no "-" followed by a job number, the file cannot be opened and locked, or it holds no
// whole code.
__attribute__((visibility("default")))
int getXferStatus(const char *inst_id, int *job_state, char *job_status, int size);

// Job ledger clean-up handler: deletes the job's status file. 0, or 1 when the id is not
// usable or the delete failed.
__attribute__((visibility("default")))
int xferStatusCleanup(const char *inst_id);

}

#endif
