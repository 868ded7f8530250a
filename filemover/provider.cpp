// Qelvo_FileTransferService: the provider frame. One instance per host; the work is done by the
// extrinsic methods, dispatched here by name.
#include <strings.h>
#include <sys/stat.h>

#include <cstring>
#include <exception>

#include <cmpidt.h>
#include <cmpift.h>
#include <cmpimacs.h>

#include "active_lock.h"
#include "filestore.h"
#include "fileutil.h"
#include "provider_internal.h"
#include "tavik_log.h"
#include "xfer_status.h"
#include "xfer_worker.h"

namespace ftsvc {

const CMPIBroker *broker;

CMPIData arg_of_type(const CMPIArgs *in, const char *name, CMPIType type)
{
    CMPIData none;
    memset(&none, 0, sizeof none);
    none.type = CMPI_null;
    none.state = CMPI_nullValue;
    if (in == nullptr)
        return none;
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    CMPIData d = CMGetArg(in, name, &rc);
    if (rc.rc != CMPI_RC_OK || d.type != type || (d.state & CMPI_nullValue) != 0)
        return none;
    if ((type == CMPI_string && d.value.string == nullptr) || ((type & CMPI_ARRAY) != 0 && d.value.array == nullptr) ||
        (type == CMPI_ref && d.value.ref == nullptr))
        return none;
    return d;
}

const char *arg_text(const CMPIArgs *in, const char *name)
{
    CMPIData d = arg_of_type(in, name, CMPI_string);
    if (d.type != CMPI_string)
        return nullptr;
    return CMGetCharsPtr(d.value.string, nullptr);
}

CMPIStatus add_out(CMPIArgs *out, const char *name, const CMPIValue *value, CMPIType type)
{
    if (out == nullptr) {
        CMPIStatus st = {CMPI_RC_ERR_INVALID_HANDLE, nullptr};
        return st;
    }
    return CMAddArg(out, name, value, type);
}

CMPIStatus add_out_text(CMPIArgs *out, const char *name, const char *text)
{
    return add_out(out, name, reinterpret_cast<const CMPIValue *>(text), CMPI_chars);
}

}  // namespace ftsvc

using ftsvc::Answer;
using ftsvc::broker;

namespace {

constexpr const char *kClassName = "Qelvo_FileTransferService";
constexpr const char *kServiceName = "Qelvo:FileTransferService";
constexpr const char *kSystemClassName = "CIM_ComputerSystem";
constexpr size_t kSysNameSize = 65;  // 64 characters and the terminator

// Start-up of the method interface: markers that an earlier process left in the store would
// block their files for ever, so they go. Markers are cleared only while no worker of this
// process runs: a CIMOM may drop and re-create this interface while transfers go on, and their
// markers must stay.
void FileTransferServiceInit()
{
    if (util_get_child_thread_num() <= 0)
        release_all_active_locks(FILE_STORE_DIR, XFER_LOCK_OWNER);
    struct stat st;
    // Only the CIMOM's user may add or replace files there (status files, the job ledger).
    if (stat(XFER_STATUS_DIR, &st) != 0 && mkdir(XFER_STATUS_DIR, 0755) != 0)
        tavik_log("Filetrans : FileTransfer mkdir /tmp/sfcb failed");
}

CMPIStatus status_of(CMPIrc rc, const char *message)
{
    CMPIStatus st = {rc, nullptr};
    if (message != nullptr)
        st.msg = CMNewString(broker, message, nullptr);
    return st;
}

// The object path of the single instance, in the namespace of ref; null when it cannot be made.
CMPIObjectPath *service_path(const CMPIObjectPath *ref)
{
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    CMPIString *ns = ref != nullptr ? CMGetNameSpace(ref, &rc) : nullptr;
    const char *ns_chars = ns != nullptr ? CMGetCharsPtr(ns, nullptr) : nullptr;
    rc.rc = CMPI_RC_OK;
    CMPIObjectPath *op = CMNewObjectPath(broker, ns_chars, kClassName, &rc);
    if (op == nullptr || rc.rc != CMPI_RC_OK)
        return nullptr;
    char sys_name[kSysNameSize];
    get_sys_name(sys_name, sizeof sys_name);
    if (CMAddKey(op, "SystemCreationClassName", kSystemClassName, CMPI_chars).rc != CMPI_RC_OK ||
        CMAddKey(op, "SystemName", sys_name, CMPI_chars).rc != CMPI_RC_OK ||
        CMAddKey(op, "CreationClassName", kClassName, CMPI_chars).rc != CMPI_RC_OK ||
        CMAddKey(op, "Name", kServiceName, CMPI_chars).rc != CMPI_RC_OK)
        return nullptr;
    return op;
}

// Returns the single instance into rslt.
CMPIStatus return_instance(const CMPIResult *rslt, const CMPIObjectPath *ref)
{
    CMPIObjectPath *op = service_path(ref);
    if (op == nullptr)
        return status_of(CMPI_RC_ERR_FAILED, "Create CMPIObjectPath failed.");
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    CMPIInstance *inst = CMNewInstance(broker, op, &rc);
    if (inst == nullptr || rc.rc != CMPI_RC_OK)
        return status_of(CMPI_RC_ERR_FAILED, "Create CMPIInstance failed.");
    char sys_name[kSysNameSize];
    get_sys_name(sys_name, sizeof sys_name);
    if (CMSetProperty(inst, "SystemCreationClassName", kSystemClassName, CMPI_chars).rc != CMPI_RC_OK ||
        CMSetProperty(inst, "SystemName", sys_name, CMPI_chars).rc != CMPI_RC_OK ||
        CMSetProperty(inst, "CreationClassName", kClassName, CMPI_chars).rc != CMPI_RC_OK ||
        CMSetProperty(inst, "Name", kServiceName, CMPI_chars).rc != CMPI_RC_OK)
        return status_of(CMPI_RC_ERR_FAILED, "Create CMPIInstance failed.");
    CMReturnInstance(rslt, inst);
    CMReturnDone(rslt);
    return status_of(CMPI_RC_OK, nullptr);
}

using MethodBody = Answer (*)(const ftsvc::Call &);

struct MethodEntry {
    const char *name;
    bool exact;  // matched with case; the others without regard to case
    MethodBody body;
};

const MethodEntry kMethods[] = {
    {"CheckFreeSpace", false, ftsvc::CheckFreeSpace},
    {"GetVersionNumber", false, ftsvc::GetVersionNumber},
    {"DeleteTransferredFile", false, ftsvc::DeleteTransferredFile},
    {"EmptyFileStore", false, ftsvc::EmptyFileStore},
    {"CheckFileIntegrityViaMD5", false, ftsvc::CheckFileIntegrityViaMD5},
    {"ListFileStore", false, ftsvc::ListFileStore},
    {"TransferViaByteStream", false, ftsvc::TransferViaByteStream},
    {"TransferViaTFTP", false, ftsvc::TransferViaURL},
    {"TransferViaURL", false, ftsvc::TransferViaURL},
    {"DownloadViaByteStream", false, ftsvc::DownloadViaByteStream},
    {"EnableSSH", true, ftsvc::EnableSSHMethod},
    {"DisableSSH", true, ftsvc::DisableSSHMethod},
    {"GetSSHStatus", true, ftsvc::GetSSHStatusMethod},
};

MethodBody find_method(const char *name)
{
    if (name == nullptr)
        return nullptr;
    for (const MethodEntry &m : kMethods) {
        if (m.exact ? strcmp(m.name, name) == 0 : strcasecmp(m.name, name) == 0)
            return m.body;
    }
    return nullptr;
}

}  // namespace

namespace {

// Workers run code of this library: it must stay loaded until they are done. Both interfaces
// answer so, because a CIMOM asks only the interfaces it has used, and asynchronous transfers
// are started through the method interface alone.
CMPIStatus unload_answer(CMPIBoolean terminating)
{
    if (terminating || util_get_child_thread_num() <= 0)
        return status_of(CMPI_RC_OK, nullptr);
    return status_of(CMPI_RC_DO_NOT_UNLOAD, nullptr);
}

}  // namespace

static CMPIStatus FileTransferServiceCleanup(CMPIInstanceMI *, const CMPIContext *, CMPIBoolean terminating)
{
    return unload_answer(terminating);
}

static CMPIStatus FileTransferServiceEnumInstanceNames(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *rslt,
                                                       const CMPIObjectPath *ref)
{
    try {
        CMPIObjectPath *op = service_path(ref);
        if (op == nullptr)
            return status_of(CMPI_RC_ERR_FAILED, "Create CMNewObjectPath failed.");
        CMReturnObjectPath(rslt, op);
        CMReturnDone(rslt);
        return status_of(CMPI_RC_OK, nullptr);
    } catch (...) {
        return status_of(CMPI_RC_ERR_FAILED, "Create CMNewObjectPath failed.");
    }
}

static CMPIStatus FileTransferServiceEnumInstances(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *rslt,
                                                   const CMPIObjectPath *ref, const char **)
{
    try {
        return return_instance(rslt, ref);
    } catch (...) {
        return status_of(CMPI_RC_ERR_FAILED, "Create CMPIInstance failed.");
    }
}

static CMPIStatus FileTransferServiceGetInstance(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *rslt,
                                                 const CMPIObjectPath *ref, const char **)
{
    try {
        return return_instance(rslt, ref);
    } catch (...) {
        return status_of(CMPI_RC_ERR_FAILED, "Create CMPIInstance failed.");
    }
}

static CMPIStatus FileTransferServiceCreateInstance(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *,
                                                    const CMPIObjectPath *, const CMPIInstance *)
{
    return status_of(CMPI_RC_ERR_NOT_SUPPORTED, "NOT_SUPPORTED");
}

static CMPIStatus FileTransferServiceModifyInstance(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *,
                                                    const CMPIObjectPath *, const CMPIInstance *, const char **)
{
    return status_of(CMPI_RC_ERR_NOT_SUPPORTED, "NOT_SUPPORTED");
}

static CMPIStatus FileTransferServiceDeleteInstance(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *,
                                                    const CMPIObjectPath *)
{
    return status_of(CMPI_RC_ERR_NOT_SUPPORTED, "NOT_SUPPORTED");
}

static CMPIStatus FileTransferServiceExecQuery(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *,
                                               const CMPIObjectPath *, const char *, const char *)
{
    return status_of(CMPI_RC_ERR_NOT_SUPPORTED, "NOT_SUPPORTED");
}

static CMPIStatus FileTransferServiceMethodCleanup(CMPIMethodMI *, const CMPIContext *, CMPIBoolean terminating)
{
    return unload_answer(terminating);
}

static CMPIStatus FileTransferServiceInvokeMethod(CMPIMethodMI *, const CMPIContext *ctx, const CMPIResult *rslt,
                                                  const CMPIObjectPath *ref, const char *method_name,
                                                  const CMPIArgs *in, CMPIArgs *out)
{
    tavik_log("Filetrans :FileTransferServiceInvokeMethod enter , methodname is %s",
              method_name != nullptr ? method_name : "");
    const MethodBody body = find_method(method_name);
    if (body == nullptr)
        return status_of(CMPI_RC_ERR_METHOD_NOT_FOUND, method_name != nullptr ? method_name : "");

    Answer answer;
    try {
        answer = body(ftsvc::Call{ctx, ref, in, out});
    } catch (const std::exception &e) {
        answer = ftsvc::Fail(1, std::string("Fail to process the request: ") + e.what());
    } catch (...) {
        answer = ftsvc::Fail(1, "Fail to process the request.");
    }
    if (answer.rc != CMPI_RC_OK)
        tavik_log("Filetrans : %s", answer.message.c_str());
    CMReturnData(rslt, &answer.rv, CMPI_uint32);
    CMReturnDone(rslt);
    return status_of(answer.rc, answer.rc != CMPI_RC_OK ? answer.message.c_str() : nullptr);
}

// The CMPI stubs leave the factories' context and status parameters unused.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
CMInstanceMIStub(FileTransferService, FileTransferService, broker, (void)0)

CMMethodMIStub(FileTransferService, FileTransferService, broker, FileTransferServiceInit())
#pragma GCC diagnostic pop
