// Qelvo_ConcreteJob: read-only instance provider over the job ledger, with a
// method interface that rejects every method. Every enumeration and get first
// refreshes the ledger through the job handlers.
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>

#include <cmpidt.h>
#include <cmpift.h>
#include <cmpimacs.h>

#include "jobledger.h"

namespace {

const CMPIBroker *_broker;

constexpr const char *kClassName = "Qelvo_ConcreteJob";
constexpr const char *kKeyName = "InstanceID";

void ConcreteJobInit()
{
    struct stat st;
    // Only the CIMOM's user may add or replace files there (the ledger and its registry).
    if (lstat(JOB_DIR, &st) != 0)
        mkdir(JOB_DIR, 0755);
}

// Property lists are matched without regard to case; no list means all.
bool properties_exist(const char **properties, const char *name)
{
    if (properties == nullptr)
        return true;
    for (const char **p = properties; *p != nullptr; ++p) {
        if (strcasecmp(*p, name) == 0)
            return true;
    }
    return false;
}

// The datetime shown as TimeBeforeRemoval: the stored interval text, or the
// age the ledger actually allows when the text is absent or is no CIM
// datetime (5 minutes by default).
CMPIDateTime *removal_interval(const ConcreteJob_data &job)
{
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    if (job.time_before_removal[0] != '\0') {
        CMPIDateTime *dt = CMNewDateTimeFromChars(_broker, job.time_before_removal, &rc);
        if (dt != nullptr && rc.rc == CMPI_RC_OK)
            return dt;
    }
    long seconds = get_expire_time(job.time_before_removal);
    if (seconds < 0)
        seconds = DEFAULT_EXPIRE_SECONDS;
    rc.rc = CMPI_RC_OK;
    CMPIDateTime *dt = CMNewDateTimeFromBinary(
        _broker, static_cast<CMPIUint64>(seconds) * 1000000ULL, static_cast<CMPIBoolean>(1), &rc);
    return rc.rc == CMPI_RC_OK ? dt : nullptr;
}

CMPIObjectPath *make_job_objpath(const CMPIObjectPath *ref, const ConcreteJob_data &job, CMPIStatus *status)
{
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    CMPIString *ns = CMGetNameSpace(ref, &rc);
    const char *ns_chars = ns != nullptr ? CMGetCharsPtr(ns, nullptr) : nullptr;
    rc.rc = CMPI_RC_OK;
    CMPIObjectPath *op = CMNewObjectPath(_broker, ns_chars, kClassName, &rc);
    if (op == nullptr || rc.rc != CMPI_RC_OK) {
        if (status != nullptr)
            CMSetStatusWithChars(_broker, status, CMPI_RC_ERR_FAILED, "Create CMPIObjectPath failed.");
        return nullptr;
    }
    rc = CMAddKey(op, kKeyName, job.inst_id, CMPI_chars);
    if (rc.rc != CMPI_RC_OK)
        return nullptr;
    return op;
}

CMPIInstance *make_job_inst(const CMPIObjectPath *ref, const ConcreteJob_data &job, const char **properties,
                            CMPIStatus *status)
{
    CMPIObjectPath *op = make_job_objpath(ref, job, status);
    if (op == nullptr)
        return nullptr;
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    CMPIInstance *inst = CMNewInstance(_broker, op, &rc);
    if (inst == nullptr || rc.rc != CMPI_RC_OK) {
        if (status != nullptr)
            CMSetStatusWithChars(_broker, status, CMPI_RC_ERR_FAILED, "Create CMPIInstance failed.");
        return nullptr;
    }

    if (CMSetProperty(inst, kKeyName, job.inst_id, CMPI_chars).rc != CMPI_RC_OK)
        return nullptr;
    if (properties_exist(properties, "JobState")) {
        CMPIUint16 state = job.job_state;
        if (CMSetProperty(inst, "JobState", &state, CMPI_uint16).rc != CMPI_RC_OK)
            return nullptr;
    }
    if (properties_exist(properties, "JobStatus")) {
        if (CMSetProperty(inst, "JobStatus", job.job_status, CMPI_chars).rc != CMPI_RC_OK)
            return nullptr;
    }
    if (properties_exist(properties, "TimeBeforeRemoval")) {
        CMPIDateTime *dt = removal_interval(job);
        if (dt == nullptr || CMSetProperty(inst, "TimeBeforeRemoval", &dt, CMPI_dateTime).rc != CMPI_RC_OK)
            return nullptr;
    }
    return inst;
}

CMPIStatus failed(const char *message)
{
    CMPIStatus st = {CMPI_RC_ERR_FAILED, nullptr};
    st.msg = CMNewString(_broker, message, nullptr);
    return st;
}

// Enumerates paths (properties unused) or instances of every ledger record.
CMPIStatus enumerate(const CMPIResult *rslt, const CMPIObjectPath *ref, bool instances, const char **properties)
{
    ConcreteJob_data *jobs = nullptr;
    int count = 0;
    CMPIStatus status = {CMPI_RC_OK, nullptr};
    try {
        if (init_job(&jobs, &count) != 0) {
            status = failed("Enumerate Instance Names Failed");
        } else {
            for (int i = 0; i < count; ++i) {
                CMPIStatus inner = {CMPI_RC_OK, nullptr};
                if (instances) {
                    CMPIInstance *inst = make_job_inst(ref, jobs[i], properties, &inner);
                    if (inst == nullptr) {
                        status = failed("Failed To Set Properties");
                        break;
                    }
                    CMReturnInstance(rslt, inst);
                } else {
                    CMPIObjectPath *op = make_job_objpath(ref, jobs[i], &inner);
                    if (op == nullptr) {
                        status = failed("Failed to Add Keys");
                        break;
                    }
                    CMReturnObjectPath(rslt, op);
                }
            }
        }
    } catch (...) {
        status = failed(instances ? "Failed To Set Properties" : "Failed to Add Keys");
    }
    std::free(jobs);
    CMReturnDone(rslt);
    return status;
}

CMPIStatus not_supported()
{
    CMPIStatus st = {CMPI_RC_ERR_NOT_SUPPORTED, nullptr};
    st.msg = CMNewString(_broker, "CIM_ERR_NOT_SUPPORTED", nullptr);
    return st;
}

}  // namespace

static CMPIStatus Qelvo_ConcreteJobProviderCleanup(CMPIInstanceMI *, const CMPIContext *, CMPIBoolean)
{
    free_job_handler();
    CMReturn(CMPI_RC_OK);
}

static CMPIStatus Qelvo_ConcreteJobProviderEnumInstanceNames(CMPIInstanceMI *, const CMPIContext *,
                                                             const CMPIResult *rslt, const CMPIObjectPath *ref)
{
    return enumerate(rslt, ref, false, nullptr);
}

static CMPIStatus Qelvo_ConcreteJobProviderEnumInstances(CMPIInstanceMI *, const CMPIContext *,
                                                         const CMPIResult *rslt, const CMPIObjectPath *ref,
                                                         const char **properties)
{
    return enumerate(rslt, ref, true, properties);
}

static CMPIStatus Qelvo_ConcreteJobProviderGetInstance(CMPIInstanceMI *, const CMPIContext *,
                                                       const CMPIResult *rslt, const CMPIObjectPath *ref,
                                                       const char **properties)
{
    CMPIStatus status = {CMPI_RC_OK, nullptr};
    ConcreteJob_data *jobs = nullptr;
    int count = 0;
    try {
        CMPIStatus rc = {CMPI_RC_OK, nullptr};
        CMPIData key = CMGetKey(ref, kKeyName, &rc);
        const char *wanted = nullptr;
        if (rc.rc == CMPI_RC_OK && key.type == CMPI_string && !(key.state & CMPI_nullValue) &&
            key.value.string != nullptr)
            wanted = CMGetCharsPtr(key.value.string, nullptr);

        if (wanted == nullptr || *wanted == '\0') {
            status = failed("Key Value Missing");
        } else if (init_job(&jobs, &count) != 0) {
            status = failed("Enumerate Instance Names Failed");
        } else {
            int found = -1;
            for (int i = 0; i < count && found < 0; ++i) {
                if (std::strcmp(jobs[i].inst_id, wanted) == 0)
                    found = i;
            }
            if (found < 0) {
                status = failed("Get Instance Failed");
            } else {
                CMPIStatus inner = {CMPI_RC_OK, nullptr};
                CMPIInstance *inst = make_job_inst(ref, jobs[found], properties, &inner);
                if (inst == nullptr)
                    status = failed("Failed To Set Properties");
                else
                    CMReturnInstance(rslt, inst);
            }
        }
    } catch (...) {
        status = failed("Get Instance Failed");
    }
    std::free(jobs);
    CMReturnDone(rslt);
    return status;
}

static CMPIStatus Qelvo_ConcreteJobProviderCreateInstance(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *,
                                                          const CMPIObjectPath *, const CMPIInstance *)
{
    return not_supported();
}

static CMPIStatus Qelvo_ConcreteJobProviderModifyInstance(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *,
                                                          const CMPIObjectPath *, const CMPIInstance *,
                                                          const char **)
{
    return not_supported();
}

static CMPIStatus Qelvo_ConcreteJobProviderDeleteInstance(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *,
                                                          const CMPIObjectPath *)
{
    return not_supported();
}

static CMPIStatus Qelvo_ConcreteJobProviderExecQuery(CMPIInstanceMI *, const CMPIContext *, const CMPIResult *,
                                                     const CMPIObjectPath *, const char *, const char *)
{
    return not_supported();
}

static CMPIStatus Qelvo_ConcreteJobProviderMethodCleanup(CMPIMethodMI *, const CMPIContext *, CMPIBoolean)
{
    CMReturn(CMPI_RC_OK);
}

static CMPIStatus Qelvo_ConcreteJobProviderInvokeMethod(CMPIMethodMI *, const CMPIContext *, const CMPIResult *,
                                                        const CMPIObjectPath *, const char *, const CMPIArgs *,
                                                        CMPIArgs *)
{
    CMReturnWithChars(_broker, CMPI_RC_ERR_NOT_SUPPORTED, "Method Not Supported");
}

// The CMPI stubs leave the factories' context and status parameters unused.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
CMInstanceMIStub(Qelvo_ConcreteJobProvider, Qelvo_ConcreteJobProvider, _broker, ConcreteJobInit())

CMMethodMIStub(Qelvo_ConcreteJobProvider, Qelvo_ConcreteJobProvider, _broker, ConcreteJobInit())
#pragma GCC diagnostic pop
