// The installation run of a request: package records from the URI list, the job in the job
// ledger, the installation thread, fetching, ordering and installing the packages one by one;
// and the maintenance operations that clear what runs leave behind.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <cmpidt.h>
#include <cmpift.h>
#include <cmpimacs.h>

#include "fileutil.h"
#include "job_client.h"
#include "pkgbroker.h"

// The CIMOM's copy of a context that outlives its request.
extern "C" CMPIContext *native_clone_CMPIContext(const CMPIContext *ctx);

char instanceID[PKG_INSTANCE_ID_SIZE];
std::atomic<int> Selkchild_thread_num{0};
int is_sync_install;
int is_async_install;
int g_is_backup_update;
int filelocation;

namespace {

const char kHypervisor[] = "Embedded Hypervisor";

struct selkthread_arg {
    int jobid;
    CMPIContext *ctx;  // the thread's own clone
};

// The next non-empty entry of a "|"-separated list; false at its end.
bool next_entry(const char *&p, const char **start, size_t *len)
{
    while (*p == '|')
        ++p;
    if (*p == '\0')
        return false;
    *start = p;
    *len = strcspn(p, "|");
    p += *len;
    return true;
}

void copy_text(char *field, size_t size, const char *text)
{
    strncpy(field, text, size);
    field[size - 1] = '\0';
}

// The directory of the ledger's files and of the run's marker; the providers that create it at
// their start-up may not have been loaded yet.
void make_sfcb_dir()
{
    struct stat st;
    if (stat("/tmp/sfcb", &st) != 0)
        mkdir("/tmp/sfcb", 0777);
}

void create_marker()
{
    make_sfcb_dir();
    const int fd = open(SELK_LOCK_FILE, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0)
        close(fd);
}

}  // namespace

bool claim_installation()
{
    int idle = 0;
    return Selkchild_thread_num.compare_exchange_strong(idle, 1);
}

void release_installation()
{
    Selkchild_thread_num.store(0);
}

int check_uri_list(const char *list, int *count)
{
    if (list == nullptr)
        return -1;
    const char *p = list, *start = nullptr;
    size_t len = 0;
    int n = 0;
    while (n < PKG_MAX_NUM && next_entry(p, &start, &len)) {
        if (len >= PKG_FIELD_SIZE)
            return -1;
        ++n;
    }
    if (n == 0)
        return -1;
    if (count != nullptr)
        *count = n;
    return 0;
}

void initPkgInstall(const char *list)
{
    selk_trace("Package URI list:");
    debug_uri(list);
    debug("\n");
    memset(pkgInstance, 0, sizeof pkgInstance);
    memset(PkgSeq, 0, sizeof PkgSeq);
    pkgnum = 0;
    selk_status_reset();

    const char *p = list != nullptr ? list : "", *start = nullptr;
    size_t len = 0;
    while (pkgnum < PKG_MAX_NUM && next_entry(p, &start, &len)) {
        if (len >= PKG_FIELD_SIZE)
            break;
        const int i = pkgnum;
        Pkg_Instance_Struct &r = pkgInstance[i];
        memcpy(r.TFTPXMLPkgURIs, start, len);
        r.TFTPXMLPkgURIs[len] = '\0';
        const char *slash = strrchr(r.TFTPXMLPkgURIs, '/');
        if (slash != nullptr) {
            const size_t dir = static_cast<size_t>(slash + 1 - r.TFTPXMLPkgURIs);
            memcpy(r.TFTPPayloadPkgURIs, r.TFTPXMLPkgURIs, dir);
            r.TFTPPayloadPkgURIs[dir] = '\0';
        }
        r.OrderFlag = ORDER_INITIAL;
        copy_text(r.supersedes, sizeof r.supersedes, "No supersedes");
        r.PrereqNum = 0;
        pkgnum = i + 1;
        update_Pkg_Install_status(i, SELK_INIT, "Package Initialization finished successfully");
        selk_trace("%d Package XML path:", i);
        debug_uri(r.TFTPXMLPkgURIs);
        debug("\n");
        selk_trace("%d Package URI address:", i);
        debug_uri(r.TFTPPayloadPkgURIs);
        debug("\n");
    }
    selk_trace("Total Package number is %d\n", pkgnum);

    const char *first = pkgInstance[0].TFTPXMLPkgURIs;
    if (strstr(first, "file://") != nullptr) {
        filelocation = LOCATION_FILE;
    } else if (strstr(first, "tftp://") != nullptr) {
        filelocation = LOCATION_TFTP;
    } else if (strstr(first, "sftp://") != nullptr) {
        filelocation = LOCATION_SFTP;
    } else if (strstr(first, "ftp://") != nullptr) {
        filelocation = LOCATION_FTP;
    } else {
        filelocation = LOCATION_UNKNOWN;
        selk_trace("Unknown file location .\n");
    }
    selk_trace("Complete initPkgInstall.\n");
}

int syncInstallAllPkgs(const CMPIContext *ctx)
{
    selk_trace("Enter syncInstallAllPkgs.\n");
    create_marker();

    for (int i = 0; i < pkgnum; ++i) {
        if (GetFileFromLocalOrTFTP(pkgInstance[i].TFTPXMLPkgURIs, i, ctx) != 0) {
            getPkgAssociation(i);
            deleteTransferedFile(pkgInstance[i].tmpDestinationPath, ctx);
        }
    }

    OrderPkgInstallation();
    int result = 1;
    for (int pos = 0; pos < pkgnum; ++pos) {
        const int p = PkgSeq[pos];
        Pkg_Instance_Struct &r = pkgInstance[p];
        // A package whose fetch failed or whose descriptor could not be read has its failure
        // recorded already; it has no payload to fetch.
        if (r.OrderFlag == ORDER_FETCH_FAILED || r.OrderFlag == ORDER_XML_UNREADABLE)
            continue;
        if (r.OrderFlag == ORDER_NOT_SUPPORTED) {
            update_Pkg_Install_status(p, SELK_NOT_SUPPORTED, "This package is not supported by current Selk provider.");
            continue;
        }
        const bool hypervisor = strcmp(r.category, kHypervisor) == 0;
        if (!hypervisor && GetFileFromLocalOrTFTP(r.TFTPPayloadPkgURIs, p, ctx) == 0)
            continue;
        result = DeployUpdate(p, ctx);
        if (!hypervisor) {
            selk_trace("prepare to delete the bin file.");
            debug_uri(r.tmpDestinationPath);
            debug("\n");
            deleteTransferedFile(r.tmpDestinationPath, ctx);
        }
    }

    selk_trace("Complete InstallAllPkgs.\n");
    if (util_remove_file(SELK_UNZIP_DIR) != 0)
        selk_trace("Fail to delete files under SELK_UNZIP_PATH. \n");
    return result;
}

void *asyncInstallAllPkgs(void *p)
{
    auto *arg = static_cast<selkthread_arg *>(p);
    selk_trace("Enter asyncInstallAllPkgs.\n");
    syncInstallAllPkgs(arg->ctx);
    CMRelease(arg->ctx);
    delete arg;
    selk_trace("asyncInstallAllPkgs finish.\n");
    // The final line goes out before the run is released, so that a client that sees the job end
    // finds the broker free.
    selk_status_finish();
    release_installation();
    return nullptr;
}

int create_selk_job(int *jobid)
{
    make_sfcb_dir();
    return ledger_create_job(SELK_JOB_TYPE, SELK_LIBRARY, "getSelkStatus", "SelkStatusCleanup", instanceID,
                             sizeof instanceID, jobid);
}

int start_installation_thread(int jobid, const CMPIContext *ctx)
{
    CMPIContext *clone = native_clone_CMPIContext(ctx);
    if (clone == nullptr)
        return -1;
    auto *arg = new (std::nothrow) selkthread_arg{jobid, clone};
    pthread_attr_t attr;
    if (arg == nullptr || pthread_attr_init(&attr) != 0) {
        CMRelease(clone);
        delete arg;
        return -1;
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t tid;
    const int rc = pthread_create(&tid, &attr, asyncInstallAllPkgs, arg);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        CMRelease(clone);
        delete arg;
        return -1;
    }
    return 0;
}

int reset_cimmon()
{
    selk_trace("Delete the files that left after update failed.\n");
    if (util_remove_file(SELK_FILESTORE) != 0)
        selk_trace("Fail to delete files under filestore.\n");
    if (unlink(SELK_LOCK_FILE) != 0) {
        selk_trace("Fail to delete SELK_LOCK_FILE.\n");
        return 0;
    }
    selk_trace("Successfully to delete %s\n", SELK_LOCK_FILE);
    return 1;
}

int DeleteSelkDebugLog()
{
    selk_trace("Delete the selk debug log file.\n");
    if (unlink(SELK_DEBUG_LOG) != 0) {
        selk_trace("Fail to delete selk debug log file.\n");
        return 0;
    }
    selk_trace("Successfully to delete %s\n", SELK_DEBUG_LOG);
    return 1;
}

int util_remove_file(const char *path)
{
    struct stat st;
    if (path == nullptr || lstat(path, &st) != 0) {
        selk_trace("In Function util_remove_file::The directory doesn't exist and the error code [1].\n");
        return 1;
    }
    // A symbolic link is removed itself, never followed out of the tree.
    if (!S_ISDIR(st.st_mode)) {
        if (unlink(path) != 0) {
            selk_trace("In Function util_remove_file::unlink failed and the error code is [-1].\n");
            return -2;
        }
        return 0;
    }
    const int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR *dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (dir == nullptr) {
        if (fd >= 0)
            close(fd);
        selk_trace("In Function util_remove_file::opendir error and the error code is [-1].\n");
        return -1;
    }
    int result = 0;
    while (const dirent *e = readdir(dir)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        char child[256];
        const int n = util_full_name(path, e->d_name, child, sizeof child);
        if (n < 0 || static_cast<size_t>(n) >= sizeof child) {
            selk_trace("In Function util_remove_file::path too long and the error code is [-1].\n");
            result = -1;
        } else {
            result = util_remove_file(child);
        }
        if (result < 0) {
            closedir(dir);
            return result;
        }
    }
    if (closedir(dir) != 0) {
        selk_trace("In Function util_remove_file::closedir error and the error code is [-1].\n");
        return -1;
    }
    if (rmdir(path) != 0) {
        selk_trace("In Function util_remove_file::rmdir error and the error code is [-1].\n");
        return -1;
    }
    return result;
}
