// Worker threads of asynchronous transfers, and the job each of them runs under.
#ifndef QELVO_FILEMOVER_XFER_WORKER_H
#define QELVO_FILEMOVER_XFER_WORKER_H

#include <cstddef>

#include "sftp_client.h"
#include "tftp_client.h"

#define XFER_FILENAME_SIZE 256
#define XFER_HOSTNAME_SIZE 64
#define XFER_JOB_ID_SIZE 40

#define FILEMOVER_LIBRARY "/lib/cim/libfilemover.so"
#define XFER_JOB_TYPE "FileTransfer"

// What a worker needs; each worker owns its own copy.
struct xfer_thread_arg {
    int jobid;
    char filename[XFER_FILENAME_SIZE];   // local file in the file store (TFTP)
    char hostname[XFER_HOSTNAME_SIZE];   // server (TFTP)
    tftp_options tftp_op;
    sftp_date_struct sftp_op;            // carries its own local path (SFTP)
};

enum xfer_kind { XFER_TFTP = 0, XFER_SFTP = 1 };

// Creates a "FileTransfer" job through the job ledger library at its fixed path and marks it
// running (status 0x20001). Returns 0 with the instance id in inst_id (at most size bytes) and
// the job id in *jobid; 1 when the ledger library or its entry point is missing, the job
// cannot be created, or its id is not usable.
int util_create_xfer_job(char *inst_id, int size, int *jobid);

// Starts a worker on a copy of arg. A count taken meanwhile already includes it. Returns 0,
// or -1 when the thread cannot be created (the count is then unchanged).
int util_start_xfer_thread(const xfer_thread_arg *arg, xfer_kind kind);

// Number of workers whose threads have not ended yet. A worker leaves the count only once its
// thread is gone, so 0 means that no worker can still run code of this library.
int util_get_child_thread_num();

// Worker bodies; arg is a heap copy made by util_start_xfer_thread, wiped and freed by the
// worker.
void *start_xfer(void *arg);
void *start_sftp_xfer(void *arg);

#endif
