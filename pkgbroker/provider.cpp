// MORV_VMpkgInstallationService in selk/cimv2: the package broker's single instance and its
// methods InstallFromURI, ResetCimmon and DeleteSelkDebugLogFile.
#include <strings.h>

#include <cstring>
#include <string>

#include <cmpidt.h>
#include <cmpift.h>
#include <cmpimacs.h>

#include "fileutil.h"
#include "pkgbroker.h"

namespace {

const char _SelkClassName[] = "MORV_VMpkgInstallationService";
const char _SelkNameSpace[] = "selk/cimv2";
const char kBrokerClass[] = "Qelvo_PackageInstallationBroker";
const char kSystemClass[] = "CIM_ComputerSystem";
const char kInstanceName[] = "Qelvo:PackageInstallationBroker";
const char kPathName[] = "Qelvo:Qelvo_PackageInstallationBroker";
const char kJobClass[] = "CIM_ConcreteJob";
constexpr size_t kSysNameSize = 65;  // 64 characters and the terminator

enum : CMPIUint16 { kOptionSync = 32768, kOptionAsync = 32769 };
enum : CMPIUint32 { kJobStarted = 4096 };

// What a method answers: its return value and the status with its message.
struct Answer {
    CMPIUint32 rv = 0;
    CMPIrc rc = CMPI_RC_OK;
    std::string message;
};

Answer Ok(CMPIUint32 rv)
{
    Answer a;
    a.rv = rv;
    return a;
}

Answer Fail(CMPIUint32 rv, const std::string &message, CMPIrc rc = CMPI_RC_ERR_FAILED)
{
    Answer a;
    a.rv = rv;
    a.rc = rc;
    a.message = message;
    return a;
}

CMPIStatus status_of(CMPIrc rc, const char *message)
{
    CMPIStatus st = {rc, nullptr};
    if (message != nullptr && _broker != nullptr)
        st.msg = CMNewString(_broker, message, nullptr);
    return st;
}

const char *chars_of(CMPIString *s)
{
    const char *t = s != nullptr ? CMGetCharsPtr(s, nullptr) : nullptr;
    return t != nullptr ? t : "";
}

// The broker's object path in the namespace and class of ref, keyed with the given Name.
CMPIObjectPath *broker_path(const CMPIObjectPath *ref, const char *name)
{
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    const char *ns = ref != nullptr ? chars_of(CMGetNameSpace(ref, &rc)) : _SelkNameSpace;
    const char *cls = ref != nullptr ? chars_of(CMGetClassName(ref, &rc)) : _SelkClassName;
    rc.rc = CMPI_RC_OK;
    CMPIObjectPath *op = CMNewObjectPath(_broker, ns, cls[0] != '\0' ? cls : _SelkClassName, &rc);
    if (op == nullptr || rc.rc != CMPI_RC_OK)
        return nullptr;
    char sys[kSysNameSize];
    get_sys_name(sys, sizeof sys);
    if (CMAddKey(op, "SystemCreationClassName", kSystemClass, CMPI_chars).rc != CMPI_RC_OK ||
        CMAddKey(op, "SystemName", sys, CMPI_chars).rc != CMPI_RC_OK ||
        CMAddKey(op, "CreationClassName", kBrokerClass, CMPI_chars).rc != CMPI_RC_OK ||
        CMAddKey(op, "Name", name, CMPI_chars).rc != CMPI_RC_OK)
        return nullptr;
    return op;
}

CMPIStatus return_instance(const CMPIResult *rslt, const CMPIObjectPath *ref)
{
    CMPIObjectPath *op = broker_path(ref, kInstanceName);
    if (op == nullptr)
        return status_of(CMPI_RC_ERR_FAILED, "Create CMPIObjectPath failed.");
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    CMPIInstance *inst = CMNewInstance(_broker, op, &rc);
    char sys[kSysNameSize];
    get_sys_name(sys, sizeof sys);
    if (inst == nullptr || rc.rc != CMPI_RC_OK ||
        CMSetProperty(inst, "SystemCreationClassName", kSystemClass, CMPI_chars).rc != CMPI_RC_OK ||
        CMSetProperty(inst, "SystemName", sys, CMPI_chars).rc != CMPI_RC_OK ||
        CMSetProperty(inst, "CreationClassName", kBrokerClass, CMPI_chars).rc != CMPI_RC_OK ||
        CMSetProperty(inst, "Name", kInstanceName, CMPI_chars).rc != CMPI_RC_OK)
        return status_of(CMPI_RC_ERR_FAILED, "Create CMPIInstance failed.");
    CMReturnInstance(rslt, inst);
    CMReturnDone(rslt);
    return status_of(CMPI_RC_OK, nullptr);
}

// The argument name when it is present with a non-null value of exactly type; else a null data.
CMPIData arg_of_type(const CMPIArgs *in, const char *name, CMPIType type)
{
    CMPIData none;
    memset(&none, 0, sizeof none);
    none.type = CMPI_null;
    none.state = CMPI_nullValue;
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    CMPIData d = CMGetArg(in, name, &rc);
    if (rc.rc != CMPI_RC_OK || d.type != type || (d.state & CMPI_nullValue) != 0 || d.value.array == nullptr)
        return none;
    return d;
}

const char *arg_text(const CMPIArgs *in, const char *name)
{
    CMPIData d = arg_of_type(in, name, CMPI_string);
    return d.type == CMPI_string ? CMGetCharsPtr(d.value.string, nullptr) : nullptr;
}

// InstallOptions: 32768 asks for a synchronous installation; without it the installation runs
// asynchronously as a job.
bool wants_sync(const CMPIArgs *in)
{
    CMPIData d = arg_of_type(in, "InstallOptions", CMPI_uint16A);
    if (d.type != CMPI_uint16A)
        return false;
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    const CMPICount n = CMGetArrayCount(d.value.array, &rc);
    bool sync = false;
    for (CMPICount i = 0; rc.rc == CMPI_RC_OK && i < n; ++i) {
        CMPIStatus erc = {CMPI_RC_OK, nullptr};
        CMPIData e = CMGetArrayElementAt(d.value.array, i, &erc);
        if (erc.rc == CMPI_RC_OK && e.type == CMPI_uint16 && (e.state & CMPI_nullValue) == 0 &&
            e.value.uint16 == kOptionSync)
            sync = true;
    }
    return sync;
}

// The run of a synchronous request, on the request's own thread: 0 when every package ended
// installed or up to date, else 1 naming the first package that did not.
Answer install_now(const CMPIContext *ctx)
{
    syncInstallAllPkgs(ctx);
    selk_status_finish();
    const int failed = first_failed_package();
    char entry[PKG_FIELD_SIZE] = "";
    if (failed >= 0)
        memcpy(entry, pkgInstance[failed].installResult, sizeof entry);
    release_installation();
    if (failed < 0)
        return Ok(0);
    return Fail(1, std::string("Package installation failed: ") + entry);
}

Answer start_job(const CMPIContext *ctx, const CMPIObjectPath *ref, CMPIArgs *out)
{
    int jobid = -1;
    if (create_selk_job(&jobid) != 0) {
        release_installation();
        return Fail(1, "Fail to create job instance");
    }
    selk_status_job_created(jobid);

    // The reference is made before the thread starts: a job that cannot be handed out never
    // runs unseen.
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    const char *ns = ref != nullptr ? chars_of(CMGetNameSpace(ref, &rc)) : _SelkNameSpace;
    rc.rc = CMPI_RC_OK;
    CMPIObjectPath *job = CMNewObjectPath(_broker, ns, kJobClass, &rc);
    if (job == nullptr || rc.rc != CMPI_RC_OK || CMAddKey(job, "InstanceID", instanceID, CMPI_chars).rc != CMPI_RC_OK) {
        selk_status_finish();
        release_installation();
        return Fail(1, "Fail to create job instance");
    }

    selk_trace("Creating new thread\n");
    if (start_installation_thread(jobid, ctx) != 0) {
        selk_trace("Create new thread fail.\n");
        selk_status_finish();
        release_installation();
        return Fail(1, "Fail to create file transfer thread.");
    }
    selk_trace("Create new thread success.\n");
    if (out != nullptr)
        CMAddArg(out, "Job", &job, CMPI_ref);
    selk_trace("Job accomplished.\n");
    return Ok(kJobStarted);
}

Answer InstallFromURI(const CMPIContext *ctx, const CMPIObjectPath *ref, const CMPIArgs *in, CMPIArgs *out)
{
    selk_trace("calling Method: InstallFromURI.\n");
    // The run is claimed before anything is read, so that two requests can never both pass;
    // every answer below that starts nothing gives it back.
    if (!claim_installation())
        return Fail(1, "An installation process is running");
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    if (in == nullptr || CMGetArgCount(in, &rc) == 0) {
        release_installation();
        return Fail(5, "IN Parameter is NULL", CMPI_RC_ERR_METHOD_NOT_FOUND);
    }
    const char *uri = arg_text(in, "URI");
    if (uri == nullptr || check_uri_list(uri, nullptr) != 0) {
        release_installation();
        return Fail(3, "Invalid parameter URI.");
    }

    const bool sync = wants_sync(in);
    is_sync_install = sync ? 1 : 0;
    is_async_install = sync ? 0 : 1;
    const char *update_args = arg_text(in, "UpdateArgs");
    if (update_args != nullptr) {
        selk_trace("UpdateArgs = %s\n", update_args);
        if (strstr(update_args, "--backup") != nullptr) {
            selk_trace("--backup is selected.\n");
            g_is_backup_update = 1;
        } else {
            selk_trace("--backup is not selected.\n");
            g_is_backup_update = 0;
        }
    }

    initPkgInstall(uri);
    if (sync)
        return install_now(ctx);
    return start_job(ctx, ref, out);
}

Answer dispatch(const CMPIContext *ctx, const CMPIObjectPath *ref, const char *method, const CMPIArgs *in,
                CMPIArgs *out)
{
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    const char *cls = ref != nullptr ? chars_of(CMGetClassName(ref, &rc)) : "";
    if (method == nullptr || strcasecmp(cls, _SelkClassName) != 0)
        return Fail(1, "InValid Method Name", CMPI_RC_ERR_METHOD_NOT_FOUND);
    if (strcasecmp(method, "InstallFromURI") == 0)
        return InstallFromURI(ctx, ref, in, out);
    if (strcasecmp(method, "ResetCimmon") == 0) {
        reset_cimmon();
        return Ok(0);
    }
    if (strcasecmp(method, "DeleteSelkDebugLogFile") == 0) {
        DeleteSelkDebugLog();
        return Ok(0);
    }
    return Fail(1, "InValid Method Name", CMPI_RC_ERR_METHOD_NOT_FOUND);
}

void SelkInit()
{
    debug("Selk:  Initializing the Qelvo vmware package installation Provider.\n");
}

}  // namespace

static CMPIStatus Qelvo_VMWarePackageInstallationProviderCleanup(CMPIInstanceMI *, const CMPIContext *, CMPIBoolean)
{
    return status_of(CMPI_RC_NEVER_UNLOAD, nullptr);
}

static CMPIStatus Qelvo_VMWarePackageInstallationProviderEnumInstanceNames(CMPIInstanceMI *, const CMPIContext *,
                                                                          const CMPIResult *rslt,
                                                                          const CMPIObjectPath *ref)
{
    try {
        CMPIObjectPath *op = broker_path(ref, kPathName);
        if (op == nullptr)
            return status_of(CMPI_RC_ERR_FAILED, "Create CMPIObjectPath failed.");
        CMReturnObjectPath(rslt, op);
        CMReturnDone(rslt);
        return status_of(CMPI_RC_OK, nullptr);
    } catch (...) {
        return status_of(CMPI_RC_ERR_FAILED, "Create CMPIObjectPath failed.");
    }
}

static CMPIStatus Qelvo_VMWarePackageInstallationProviderEnumInstances(CMPIInstanceMI *, const CMPIContext *,
                                                                      const CMPIResult *rslt,
                                                                      const CMPIObjectPath *ref, const char **)
{
    try {
        return return_instance(rslt, ref);
    } catch (...) {
        return status_of(CMPI_RC_ERR_FAILED, "Create CMPIInstance failed.");
    }
}

static CMPIStatus Qelvo_VMWarePackageInstallationProviderGetInstance(CMPIInstanceMI *, const CMPIContext *,
                                                                    const CMPIResult *rslt,
                                                                    const CMPIObjectPath *ref, const char **)
{
    try {
        return return_instance(rslt, ref);
    } catch (...) {
        return status_of(CMPI_RC_ERR_FAILED, "Create CMPIInstance failed.");
    }
}

static CMPIStatus Qelvo_VMWarePackageInstallationProviderCreateInstance(CMPIInstanceMI *, const CMPIContext *,
                                                                       const CMPIResult *, const CMPIObjectPath *,
                                                                       const CMPIInstance *)
{
    return status_of(CMPI_RC_ERR_NOT_SUPPORTED, nullptr);
}

static CMPIStatus Qelvo_VMWarePackageInstallationProviderModifyInstance(CMPIInstanceMI *, const CMPIContext *,
                                                                       const CMPIResult *, const CMPIObjectPath *,
                                                                       const CMPIInstance *, const char **)
{
    return status_of(CMPI_RC_ERR_NOT_SUPPORTED, nullptr);
}

static CMPIStatus Qelvo_VMWarePackageInstallationProviderDeleteInstance(CMPIInstanceMI *, const CMPIContext *,
                                                                       const CMPIResult *, const CMPIObjectPath *)
{
    return status_of(CMPI_RC_ERR_NOT_SUPPORTED, nullptr);
}

static CMPIStatus Qelvo_VMWarePackageInstallationProviderExecQuery(CMPIInstanceMI *, const CMPIContext *,
                                                                  const CMPIResult *, const CMPIObjectPath *,
                                                                  const char *, const char *)
{
    return status_of(CMPI_RC_ERR_NOT_SUPPORTED, nullptr);
}

// The library may go only once a request has finished and no installation runs: the thread
// runs code of this library.
static CMPIStatus Qelvo_VMWarePackageInstallationProviderMethodCleanup(CMPIMethodMI *, const CMPIContext *,
                                                                      CMPIBoolean)
{
    debug("calling Qelvo_VMWarePackageInstallationProviderMethodCleanup.\n");
    if (Selkchild_thread_num.load() > 0)
        return status_of(CMPI_RC_DO_NOT_UNLOAD, nullptr);
    if (get_totalstatus() == 0)
        return status_of(CMPI_RC_NEVER_UNLOAD, nullptr);
    return status_of(CMPI_RC_OK, nullptr);
}

static CMPIStatus Qelvo_VMWarePackageInstallationProviderInvokeMethod(CMPIMethodMI *, const CMPIContext *ctx,
                                                                     const CMPIResult *rslt,
                                                                     const CMPIObjectPath *ref, const char *method,
                                                                     const CMPIArgs *in, CMPIArgs *out)
{
    Answer answer;
    try {
        answer = dispatch(ctx, ref, method, in, out);
    } catch (...) {
        answer = Fail(1, "Fail to process the request.");
    }
    CMReturnData(rslt, &answer.rv, CMPI_uint32);
    CMReturnDone(rslt);
    return status_of(answer.rc, answer.rc != CMPI_RC_OK ? answer.message.c_str() : nullptr);
}

// The CMPI stubs leave the factories' context and status parameters unused.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
CMInstanceMIStub(Qelvo_VMWarePackageInstallationProvider, Qelvo_VMWarePackageInstallationProvider, _broker,
                 SelkInit())

CMMethodMIStub(Qelvo_VMWarePackageInstallationProvider, Qelvo_VMWarePackageInstallationProvider, _broker,
               SelkInit())
#pragma GCC diagnostic pop
