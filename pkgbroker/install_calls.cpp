// What the installers share when they call the host's installation services through the CIMOM:
// keyed object paths, texts read out of paths, instances and arguments, the InstallFromURI call
// with its answer, and reading the JobStatus of the job an update runs as.
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>

#include <cmpidt.h>
#include <cmpift.h>
#include <cmpimacs.h>

#include "pkgbroker.h"

namespace {

// This system's own jobs (transfers, package installations) are CIM_ConcreteJobs too; they never
// tell how an installation service's update goes.
const char kOwnJobClass[] = "Qelvo_ConcreteJob";

bool copy_fitting(const char *text, char *out, size_t len)
{
    if (text == nullptr || out == nullptr || len == 0)
        return false;
    const size_t n = strlen(text);
    if (n >= len)
        return false;
    memcpy(out, text, n + 1);
    return true;
}

// The string of a class name, namespace or message; "" when there is none.
const char *chars_or_empty(const CMPIString *s)
{
    const char *t = s != nullptr ? CMGetCharsPtr(s, nullptr) : nullptr;
    return t != nullptr ? t : "";
}

// The text of a string value into out; false when there is none or it does not fit.
bool data_text(const CMPIData &d, char *out, size_t len)
{
    if (d.type != CMPI_string || (d.state & CMPI_nullValue) != 0 || d.value.string == nullptr)
        return false;
    return copy_fitting(CMGetCharsPtr(d.value.string, nullptr), out, len);
}

// Whether the instance is one of this system's own jobs.
bool own_job(const CMPIInstance *inst)
{
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    const CMPIObjectPath *op = CMGetObjectPath(inst, &rc);
    if (op == nullptr || rc.rc != CMPI_RC_OK)
        return false;
    return strcasecmp(chars_or_empty(CMGetClassName(op, nullptr)), kOwnJobClass) == 0;
}

}  // namespace

CMPIObjectPath *new_keyed_path(const char *ns, const char *cls, const KeyValue *keys, size_t count)
{
    if (_broker == nullptr)
        return nullptr;
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    CMPIObjectPath *op = CMNewObjectPath(_broker, ns, cls, &rc);
    if (op == nullptr || rc.rc != CMPI_RC_OK)
        return nullptr;
    for (size_t i = 0; i < count; ++i) {
        if (CMAddKey(op, keys[i].name, keys[i].value, CMPI_chars).rc != CMPI_RC_OK) {
            CMRelease(op);
            return nullptr;
        }
    }
    return op;
}

const char *status_message(const CMPIStatus &st)
{
    return chars_or_empty(st.msg);
}

bool key_text(const CMPIObjectPath *op, const char *key, char *out, size_t len)
{
    if (op == nullptr)
        return false;
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    const CMPIData d = CMGetKey(op, key, &rc);
    return rc.rc == CMPI_RC_OK && data_text(d, out, len);
}

bool property_text(const CMPIInstance *inst, const char *name, char *out, size_t len)
{
    if (inst == nullptr)
        return false;
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    const CMPIData d = CMGetProperty(inst, name, &rc);
    return rc.rc == CMPI_RC_OK && data_text(d, out, len);
}

bool for_each_instance(const CMPIContext *ctx, const char *ns, const char *cls,
                       const std::function<void(const CMPIInstance *)> &fn, CMPIStatus *rc)
{
    CMPIStatus local = {CMPI_RC_OK, nullptr};
    CMPIStatus &st = rc != nullptr ? *rc : local;
    st = CMPIStatus{CMPI_RC_OK, nullptr};
    CMPIObjectPath *op = new_keyed_path(ns, cls, nullptr, 0);
    if (op == nullptr) {
        st.rc = CMPI_RC_ERR_FAILED;
        return false;
    }
    // Through the function table: the published CBEnumInstances macro names no broker member.
    CMPIEnumeration *en = _broker->bft->enumerateInstances(_broker, ctx, op, nullptr, &st);
    CMRelease(op);
    if (en == nullptr || st.rc != CMPI_RC_OK) {
        if (en != nullptr)
            CMRelease(en);
        if (st.rc == CMPI_RC_OK)
            st.rc = CMPI_RC_ERR_FAILED;
        return false;
    }
    while (CMHasNext(en, nullptr)) {
        const CMPIData d = CMGetNext(en, nullptr);
        if (d.type == CMPI_instance && (d.state & CMPI_nullValue) == 0 && d.value.inst != nullptr)
            fn(d.value.inst);
    }
    // Released at once: a job is looked at every few seconds for as long as its update runs.
    CMRelease(en);
    return true;
}

void invoke_install(const CMPIContext *ctx, const CMPIObjectPath *service, const CMPIArgs *in, InstallAnswer *answer)
{
    memset(answer, 0, sizeof *answer);
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    CMPIArgs *out = CMNewArgs(_broker, &rc);
    rc = CMPIStatus{CMPI_RC_OK, nullptr};
    const CMPIData ret = CBInvokeMethod(_broker, ctx, service, "InstallFromURI", in, out, &rc);
    answer->rc = rc.rc;
    snprintf(answer->message, sizeof answer->message, "%s", status_message(rc));
    if (rc.rc == CMPI_RC_OK && (ret.state & CMPI_nullValue) == 0 && ret.type == CMPI_uint32) {
        answer->has_value = true;
        answer->value = ret.value.uint32;
    }
    if (out != nullptr) {
        CMPIStatus st = {CMPI_RC_OK, nullptr};
        const CMPIData job = CMGetArg(out, "Job", &st);
        if (st.rc == CMPI_RC_OK && job.type == CMPI_ref && (job.state & CMPI_nullValue) == 0 &&
            !key_text(job.value.ref, "InstanceID", answer->job, sizeof answer->job))
            answer->job[0] = '\0';
        CMRelease(out);
    }
}

int read_job_status(const CMPIContext *ctx, const char *ns, const char *cls, const char *job, char *out, size_t len)
{
    // The job the service handed back, when the enumeration lists it; else the last one with a
    // JobStatus, as the services list their newest job last.
    struct Found {
        bool listed = false, has_status = false;
        char status[PKG_LINE_SIZE] = "";
    } mine, last;
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    const bool enumerated = for_each_instance(ctx, ns, cls, [&](const CMPIInstance *inst) {
        if (own_job(inst))
            return;
        char status[PKG_LINE_SIZE], id[PKG_FIELD_SIZE];
        const bool has_status = property_text(inst, "JobStatus", status, sizeof status);
        if (job != nullptr && job[0] != '\0' && property_text(inst, "InstanceID", id, sizeof id) &&
            strcmp(id, job) == 0) {
            mine.listed = true;
            mine.has_status = has_status;
            if (has_status)
                memcpy(mine.status, status, sizeof status);
        }
        if (has_status) {
            last.has_status = true;
            memcpy(last.status, status, sizeof status);
        }
    }, &rc);
    if (!enumerated) {
        selk_trace("enumerateInstances() of %s failed: %s\n", cls, status_message(rc));
        return JOB_ENUM_FAILED;
    }
    const Found &f = mine.listed ? mine : last;
    return f.has_status && copy_fitting(f.status, out, len) ? JOB_STATUS_READ : JOB_NO_STATUS;
}

void record_install_error(int pkgIdx, const char *message)
{
    char text[PKG_LINE_SIZE];
    snprintf(text, sizeof text, "Package installation error message: %s", message != nullptr ? message : "");
    update_Pkg_Install_status(pkgIdx, SELK_INSTALL_CALL_FAILED, text);
}

int wait_for_next_poll(int waited)
{
    struct timespec left = {SELK_JOB_POLL_SECONDS, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    waited += SELK_JOB_POLL_SECONDS;
    selk_trace("Update time elapses %d\n", waited);
    return waited;
}
