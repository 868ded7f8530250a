#include "xfer_worker.h"

#include "job_client.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "tavik_log.h"
#include "xfer_status.h"

namespace {

// A worker runs this library's code until its body returns, and the end of its thread may still
// call into libraries it used (their thread-exit handlers). So a worker counts as running until
// its thread has ended altogether: workers are joinable, and one is taken off the list only once
// joining it succeeds. An unload allowed on an empty list can never take code away from a worker.
std::mutex workers_mutex;
std::vector<pthread_t> workers;  // started and not yet joined; guarded by workers_mutex

// Joins the workers that have ended; the number still running. workers_mutex is held.
int reap_workers_locked()
{
    for (auto it = workers.begin(); it != workers.end();) {
        if (pthread_tryjoin_np(*it, nullptr) == 0)
            it = workers.erase(it);
        else
            ++it;
    }
    return static_cast<int>(workers.size());
}

// Ends a worker. Its record may hold a password: it is wiped before the memory goes back.
void *worker_done(xfer_thread_arg *arg)
{
    explicit_bzero(arg, sizeof *arg);
    free(arg);
    tavik_log("Filetrans : tftp thread end");
    return nullptr;
}

}  // namespace

int util_create_xfer_job(char *inst_id, int size, int *jobid)
{
    if (ledger_create_job(XFER_JOB_TYPE, FILEMOVER_LIBRARY, "getXferStatus", "xferStatusCleanup", inst_id, size,
                          jobid) != 0)
        return 1;
    util_write_xfer_status(*jobid, XFER_STATUS_RUNNING);
    return 0;
}

int util_start_xfer_thread(const xfer_thread_arg *arg, xfer_kind kind)
{
    if (arg == nullptr)
        return -1;
    auto *copy = static_cast<xfer_thread_arg *>(malloc(sizeof(xfer_thread_arg)));
    if (copy == nullptr)
        return -1;
    memcpy(copy, arg, sizeof *copy);

    // The list is held across the start, so a count never misses a worker being started.
    std::lock_guard<std::mutex> lock(workers_mutex);
    reap_workers_locked();
    pthread_t tid;
    if (pthread_create(&tid, nullptr, kind == XFER_SFTP ? start_sftp_xfer : start_xfer, copy) != 0) {
        explicit_bzero(copy, sizeof *copy);
        free(copy);
        return -1;
    }
    try {
        workers.push_back(tid);
    } catch (...) {
        // Without a place on the list the worker could not be waited for: it runs detached.
        pthread_detach(tid);
    }
    return 0;
}

int util_get_child_thread_num()
{
    std::lock_guard<std::mutex> lock(workers_mutex);
    return reap_workers_locked();
}

void *start_xfer(void *p)
{
    auto *arg = static_cast<xfer_thread_arg *>(p);
    tavik_log("Filetrans : tftp thread start");
    tavik_log("Filetrans : tftp thread port %s", arg->tftp_op.port);

    // tftp_get removes its partial file itself, under the file's marker; removing it here
    // could delete a file that another transfer owns.
    const int result = tftp_get(arg->hostname, arg->filename, &arg->tftp_op);
    util_write_xfer_status(arg->jobid, result == TFTP_OK ? XFER_STATUS_COMPLETED
                                                         : util_map_xfer_status(result, nullptr, 0, 0));
    return worker_done(arg);
}

void *start_sftp_xfer(void *p)
{
    auto *arg = static_cast<xfer_thread_arg *>(p);
    tavik_log("Filetrans : sftp thread start");

    sftp_read(&arg->sftp_op);
    if (arg->sftp_op.status == SFTP_OK) {
        util_write_xfer_status(arg->jobid, XFER_STATUS_COMPLETED);
    } else {
        tavik_log("Filetrans :  %s", arg->sftp_op.message);
        util_write_xfer_status(arg->jobid, util_map_sftp_status(arg->sftp_op.status, nullptr, 0, 0));
    }
    return worker_done(arg);
}
