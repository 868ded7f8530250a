// The package broker's shared state and the operations its parts call on each other: the
// package table, the descriptor and payload-description readers, installation ordering,
// downloads through the transfer service, the installation run, status entries and the debug log.
#ifndef QELVO_PKGBROKER_PKGBROKER_H
#define QELVO_PKGBROKER_PKGBROKER_H

#include <cmpidt.h>
#include <cmpift.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>

#define PKG_MAX_NUM 20
#define PKG_FIELD_SIZE 200
#define PKG_MAX_PREREQ 5
#define PKG_MAX_DFN 50
#define PKG_MAX_PAYLOAD 100
#define PKG_MAX_RESULT 10
#define PKG_LINE_SIZE 1024
#define PKG_INSTANCE_ID_SIZE 40

#define SELK_DEBUG_LOG "/tmp/selkdebug.txt"
#define SELK_STATUS_PREFIX "/tmp/selkstat"
#define SELK_STATUS_RECORD "/tmp/getSelkStatus.txt"
#define SELK_LOCK_FILE "/tmp/sfcb/selk.safelock"
#define SELK_UNZIP_PATH "/var/tmp/Qelvo/Morv/Package/"
// The same directory for its removal: without the final "/", a link put in its place is removed
// itself instead of the tree it points to.
#define SELK_UNZIP_DIR "/var/tmp/Qelvo/Morv/Package"
#define SELK_PAYLOAD_CFG "/var/tmp/Qelvo/Morv/Package/image/payload.xml"
#define SELK_FILESTORE "/var/tmp/filestore"
#define SELK_LIBRARY "/lib/cim/libpkgbroker.so"
#define SELK_JOB_TYPE "Selk"

// OrderFlag weights and markers.
enum {
    ORDER_UEFI = 250,
    ORDER_DEFAULT = 300,
    ORDER_TAVIK = 350,
    ORDER_FPGA = 400,
    ORDER_INITIAL = 450,
    ORDER_PREREQ_MISSING = 999,
    ORDER_FETCH_FAILED = 1000,
    ORDER_NOT_SUPPORTED = 1001,
    ORDER_XML_UNREADABLE = 1002,
};

// Status codes of the package entries.
enum {
    SELK_INIT = 0,
    SELK_DOWNLOADED = 10,
    SELK_DOWNLOAD_FAILED = 11,
    SELK_TIMEOUT_OR_XML = 12,
    SELK_BAD_PARAMETER = 13,
    SELK_NO_SPACE = 14,
    SELK_ASYNC_TRANSFER = 15,
    SELK_DOWNLOAD_ERROR = 16,
    SELK_DOWNLOAD_UNKNOWN = 17,
    SELK_BAD_DESTINATION = 18,
    SELK_INSTALLED = 50,
    SELK_BAD_INPUT = 54,
    SELK_NO_FILE = 55,
    SELK_INSTALL_CALL_FAILED = 56,
    SELK_INSTALL_FAILED = 57,
    SELK_UNSUPPORTED_TARGET = 58,
    SELK_UP_TO_DATE = 59,
    SELK_SCANNING = 60,
    SELK_SCAN_DONE = 61,
    SELK_INSTALLING = 62,
    SELK_NOT_SUPPORTED = 80,
};

// URI scheme of a request, taken from its first entry.
enum { LOCATION_FILE = 1, LOCATION_TFTP = 2, LOCATION_FTP = 3, LOCATION_SFTP = 4, LOCATION_UNKNOWN = 5 };

typedef int (*UpdPkgFunc_t)(int pkgIdx, const CMPIContext *ctx);

// One package of the current request. Text fields are zero-terminated and never written past.
struct Pkg_Instance_Struct {
    char TFTPXMLPkgURIs[PKG_FIELD_SIZE];
    char TFTPPayloadPkgURIs[PKG_FIELD_SIZE];
    char tmpDestinationPath[PKG_FIELD_SIZE];
    char installResult[PKG_FIELD_SIZE];
    char manufacturer[PKG_FIELD_SIZE];
    int OrderFlag;
    int PrereqNum;
    char identificationCode[PKG_FIELD_SIZE];
    char type[PKG_FIELD_SIZE];
    char name[PKG_FIELD_SIZE];
    char prereq[PKG_MAX_PREREQ][PKG_FIELD_SIZE];
    char supersedes[PKG_FIELD_SIZE];
    char category[PKG_FIELD_SIZE];
    char DFNDeviceID[PKG_MAX_DFN][2][PKG_FIELD_SIZE];
    int dfnnumber;
    char PyldDeviceID[PKG_MAX_PAYLOAD][2][PKG_FIELD_SIZE];
    UpdPkgFunc_t UpdPkgFunc;
    int payloadnum;
    int installCode;  // code of installResult, kept apart so that the job state never parses it back
};

struct payload_result_struct {
    int order;
    char payload[PKG_LINE_SIZE];
};

extern Pkg_Instance_Struct pkgInstance[PKG_MAX_NUM];
extern int pkgnum;
extern int PkgSeq[PKG_MAX_NUM];
extern payload_result_struct payload_result[PKG_MAX_RESULT];

extern const CMPIBroker *_broker;
extern char instanceID[PKG_INSTANCE_ID_SIZE];
// 1 while a request owns the installation run (from its claim until its run has ended).
extern std::atomic<int> Selkchild_thread_num;
// Mode of the current request.
extern int is_sync_install;
extern int is_async_install;
extern int g_is_backup_update;
extern int filelocation;
extern std::mutex mutex;

// ---- debug log and status (selk_status.cpp)

// Appends text to the debug log as it is.
void debug(const char *text);
// Appends "[hh:mm:ss] " and the formatted message to the debug log.
void selk_trace(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// debug() of a URI with the password of its user part written as "********".
void debug_uri(const char *uri);
// uri with its password masked, into out (at most len bytes, terminated).
void mask_uri_password(const char *uri, char *out, size_t len);

// Records the package's status entry and rewrites the status file of an asynchronous request.
void update_Pkg_Install_status(int pkgIdx, int code, const char *message);
void set_totalstatus(int flag);
int get_totalstatus();
// A new request: no job yet, run not finished.
void selk_status_reset();
// The job of the current request exists: from now on entries go to its status file.
void selk_status_job_created(int jobid);
// The run has ended: the finished-flag becomes 1 and the status file gets its final line.
void selk_status_finish();
// The status line of the current records, with finished-flag `finished`, into out (at most
// len bytes). Entries that do not fit are left out whole; entries that did not end in success are
// kept before those that did, so that the line always tells whether the run failed.
void build_status_line(int finished, char *out, size_t len);
// Job state of a status line: 4 while the finished-flag is 0; else 7 when every entry's code is
// 50 or 59, otherwise 10.
int selk_job_state(const char *line);

extern "C" {
__attribute__((visibility("default"))) int getSelkStatus(const char *inst_id, int *job_state, char *job_status,
                                                         int size);
__attribute__((visibility("default"))) int SelkStatusCleanup(const char *inst_id);
}

// ---- descriptors and payload descriptions (descriptor.cpp)

void trimXMLString(char *text);
void getXmlTagData(char *text);
void trimPackageID(char *uri);
const char *removeBlanks(const char *p);
const char *getProp(const char *line, int *len);
const char *getSubProp(const char *line, int *len);
const char *getPropValue(const char *line, int *len);
int findCfgFileName(char *buf);
void getPkgAssociation(int pkgIdx);
int parsePayloadDeviceIDArray(int pkgIdx);
// parsePayloadDeviceIDArray over the payload description at path.
int parse_payload_description(int pkgIdx, const char *path);
// Adds a {applicability value, device ID} pair of an adapter found on the host; false (nothing
// added) when the record is full or a text does not fit its field.
bool add_dfn_pair(int pkgIdx, const char *applicability, const char *device_id);

// ---- installer selection (deploy.cpp) and the installers

void getPkgProviderName(int pkgIdx);
int DeployUpdate(int pkgIdx, const CMPIContext *ctx);
int installBroadcomPkg(int pkgIdx, const CMPIContext *ctx);
int installLSIPkg(int pkgIdx, const CMPIContext *ctx);
int installESWPkg(int pkgIdx, const CMPIContext *ctx);
int installVMPkg(int pkgIdx, const CMPIContext *ctx);
int installBrocadePkg(int pkgIdx, const CMPIContext *ctx);
int installElxCNAPkg(int pkgIdx, const CMPIContext *ctx);
int installElxFCPkg(int pkgIdx, const CMPIContext *ctx);
int installQlgPkg(int pkgIdx, const CMPIContext *ctx);

// ---- calls on the host's installation services (install_calls.cpp)

// Seconds between two looks at the job of a hypervisor or controller update.
#define SELK_JOB_POLL_SECONDS 10

struct KeyValue {
    const char *name;
    const char *value;
};

// The object path ns:cls with the given string keys; null when it cannot be built.
CMPIObjectPath *new_keyed_path(const char *ns, const char *cls, const KeyValue *keys, size_t count);
// The message of a status; "" when it has none.
const char *status_message(const CMPIStatus &st);
// The text of a string key or property into out (len bytes with the terminator); false when there
// is none or it does not fit.
bool key_text(const CMPIObjectPath *op, const char *key, char *out, size_t len);
bool property_text(const CMPIInstance *inst, const char *name, char *out, size_t len);
// Calls fn with each instance of ns:cls; false when the enumeration failed (its status in *rc).
bool for_each_instance(const CMPIContext *ctx, const char *ns, const char *cls,
                       const std::function<void(const CMPIInstance *)> &fn, CMPIStatus *rc = nullptr);

// What an installation service answered to InstallFromURI.
struct InstallAnswer {
    CMPIrc rc;                      // status of the call
    char message[PKG_FIELD_SIZE];   // its message, "" when none
    bool has_value;                 // a uint32 return value came back
    CMPIUint32 value;
    char job[PKG_FIELD_SIZE];       // InstanceID of the Job handed back, "" when none
};
void invoke_install(const CMPIContext *ctx, const CMPIObjectPath *service, const CMPIArgs *in, InstallAnswer *answer);

// JobStatus of the job an update runs as, among the instances of ns:cls: the job whose InstanceID
// is `job` when it is listed, else the last one listed with a JobStatus. This system's own jobs are
// never taken.
enum { JOB_ENUM_FAILED = -1, JOB_NO_STATUS = 0, JOB_STATUS_READ = 1 };
int read_job_status(const CMPIContext *ctx, const char *ns, const char *cls, const char *job, char *out, size_t len);
// Records 56 "Package installation error message: " followed by message.
void record_install_error(int pkgIdx, const char *message);
// Waits until the next look at a job (also when signals arrive) and traces the time waited in
// all, which it returns.
int wait_for_next_poll(int waited);

// ---- ordering (ordering.cpp)

void OrderPkgInstallation();

// ---- downloads (download.cpp)

int GetFileFromLocalOrTFTP(const char *uri, int pkgIdx, const CMPIContext *ctx);
int downloadFileViaTFTP(const char *uri, int pkgIdx, const CMPIContext *ctx);
int downloadFileViaSFTP(const char *uri, int pkgIdx, const CMPIContext *ctx);
void deleteTransferedFile(const char *uri, const CMPIContext *ctx);

// ---- the run (install_run.cpp)

// Checks and splits a URI list: 0 with the entries counted in *count (at most 20 used), or -1
// when the list has no entry or one of the first 20 does not fit its field.
int check_uri_list(const char *list, int *count);
void initPkgInstall(const char *list);
int syncInstallAllPkgs(const CMPIContext *ctx);
void *asyncInstallAllPkgs(void *arg);
int reset_cimmon();
int DeleteSelkDebugLog();
int util_remove_file(const char *path);
// Creates the request's job in the job ledger: 0 with instanceID and *jobid set, 1 on failure.
int create_selk_job(int *jobid);
// Starts the detached installation thread on a clone of ctx: 0, or -1 (nothing started).
int start_installation_thread(int jobid, const CMPIContext *ctx);
// Takes the installation run for a request: false when another request holds it.
bool claim_installation();
void release_installation();
// Index of the first package whose entry did not end with 50 or 59, or -1.
int first_failed_package();

#endif
